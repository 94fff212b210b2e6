// The Win32 operations the tool uses, implemented over POSIX.
// Names, types and constants follow Win32 so the logic reads the same on
// both platforms; what each one promises is what the logic relies on.
//
// The implementation is Linux's, not portable POSIX: it needs statx (Linux
// 4.11), O_TMPFILE, copy_file_range, file leases, getrandom and a mounted
// /proc (to reopen a descriptor), and uses openat2 (5.6) where the kernel
// has it. Where a file system refuses one of them there is a fallback: a
// ".part" name for O_TMPFILE, sendfile and then read and write for
// copy_file_range, an exclusive lock and a re-check for leases.
#ifndef BODYCUT_POSIX_WIN32_API_H
#define BODYCUT_POSIX_WIN32_API_H

#include <cstddef>
#include <cstdint>

typedef std::uint32_t DWORD;
typedef unsigned int UINT;
typedef int BOOL;
typedef std::int32_t LONG;
typedef void* HANDLE;
typedef char* LPSTR;
typedef const char* LPCSTR;

#define TRUE 1
#define FALSE 0

#define MAX_PATH 260

// Buffers that hold a path hold this many bytes, the NUL included.
#define PATH_CAPACITY 4096
#define PATH_SEPARATOR '/'
// Console lines end the way the platform's tools expect.
#define LINE_END "\n"
// A name's byte takes up to four in a report: "\x1b" for ESC.
#define REPORT_EXPANSION 4
// A temporary name is only chosen: the file is the run's once named.
#define TEMPORARY_NAME_MAKES_FILE 0
// A report line goes out in one write once its outcome is known, so that
// lines of several runs or workers never interleave mid-line.
#define WHOLE_REPORT_LINES 1

inline int is_path_separator(char c) { return c == '/'; }
// POSIX paths have no drive prefix.
inline unsigned drive_prefix_length(const char*) { return 0; }

#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)0xFFFFFFFF)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define NO_ERROR 0

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3

#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_NO_MORE_FILES 18
#define ERROR_WRITE_FAULT 29
#define ERROR_READ_FAULT 30
#define ERROR_GEN_FAILURE 31
#define ERROR_SHARING_VIOLATION 32
#define ERROR_LOCK_VIOLATION 33
#define ERROR_HANDLE_EOF 38
#define ERROR_INVALID_PARAMETER 87
#define ERROR_ENVVAR_NOT_FOUND 203
#define ERROR_DISK_FULL 112
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_OPERATION_ABORTED 995

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_FAILED 0xFFFFFFFFu
#define WINAPI

#define FILE_BEGIN 0
#define INVALID_SET_FILE_POINTER ((DWORD)0xFFFFFFFF)

// A time stamp to the nanosecond, only read and written back by the logic.
typedef struct _FILETIME {
  std::int64_t seconds;
  std::int32_t nanoseconds;
} FILETIME;

typedef struct _WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  char cFileName[MAX_PATH];
  char cAlternateFileName[14];
  // Mounted from elsewhere than the directory searched; -1: not looked at yet.
  int on_other_file_system;
  int listed_at;                // the directory searched, while its search is open
  std::uint64_t listed_device;  // its file system
  std::uint64_t listed_mount;   // its mount, 0 where the kernel does not tell
} WIN32_FIND_DATAA;

// Whether an entry a search found is on another file system, or another
// mount, than the directory searched: a mount point, or a file in one.
// The entry of a regular file or a directory carries its type alone (its
// times, size and read-only bit are not looked up), and is looked at here
// when asked.
int found_on_other_file_system(const WIN32_FIND_DATAA* found);

// What GetFileInformationByHandle tells of an open file: the volume serial
// number and file index are the device and inode numbers.
typedef struct _BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION;

LPSTR GetCommandLineA(void);
DWORD GetLastError(void);
void SetLastError(DWORD code);

DWORD GetFileAttributesA(LPCSTR path);

DWORD GetTempPathA(DWORD capacity, LPSTR buffer);
UINT GetTempFileNameA(LPCSTR directory, LPCSTR prefix, UINT unique, LPSTR name);

// Only regular files are opened, and only after the path was resolved to
// one: what the path names is never opened otherwise (a device, a FIFO).
// OPEN_EXISTING never creates. A handle opened for writing with no sharing
// holds a write lease, so it is refused while any other process has the
// file open, and while it is held others cannot open the file.
// CREATE_ALWAYS makes a temporary file that has no name until
// name_temporary_file gives it the one GetTempFileNameA chose.
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD sharing, void* security, DWORD disposition, DWORD flags,
                   HANDLE template_file);
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information);
BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* last_access, const FILETIME* last_write);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD method);
BOOL SetEndOfFile(HANDLE file);
LONG CompareFileTime(const FILETIME* first, const FILETIME* second);
BOOL read_file_buffered(HANDLE file, void* buffer, DWORD wanted, DWORD* read);

// The part of a file handle the inline read below sees. The header scan
// reads one byte per call; served from the handle's buffer, such a read is
// a few instructions. Bytes below fast_limit may be taken this way; a
// platform that must see every call (fault injection) keeps it at zero.
struct FileReadView {
  const unsigned char* buffer;
  DWORD position;
  DWORD fast_limit;
};

// A handle that cannot be a file's is not looked into here.
inline BOOL ReadFile(HANDLE file, void* buffer, DWORD wanted, DWORD* read, void*) {
  FileReadView* view = static_cast<FileReadView*>(file);
  if (wanted == 1 && file != INVALID_HANDLE_VALUE && file != nullptr && view->position < view->fast_limit) {
    *static_cast<unsigned char*>(buffer) = view->buffer[view->position++];
    *read = 1;
    return TRUE;
  }
  return read_file_buffered(file, buffer, wanted, read);
}
BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written, void* overlapped);
BOOL CloseHandle(HANDLE handle);

BOOL DeleteFileA(LPCSTR path);

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* found);
BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA* found);
BOOL FindClose(HANDLE search);

LPSTR CharNextA(LPCSTR position);

// Threads and what they wait on, for a walk that strips with several
// workers. A handle of each is closed with CloseHandle.
typedef DWORD (*LPTHREAD_START_ROUTINE)(void* parameter);
HANDLE CreateThread(void* security, std::size_t stack_size, LPTHREAD_START_ROUTINE start, void* parameter, DWORD flags,
                    DWORD* thread_id);
HANDLE CreateEventA(void* security, BOOL manual_reset, BOOL initial_state, LPCSTR name);
BOOL SetEvent(HANDLE event);
HANDLE CreateSemaphoreA(void* security, LONG initial_count, LONG maximum_count, LPCSTR name);
BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LONG* previous_count);
// A thread: until it has ended; an event or a semaphore: until signalled.
// Only INFINITE is waited for.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
void Sleep(DWORD milliseconds);

// Room for the system's lock, which the logic never looks into.
typedef struct _CRITICAL_SECTION {
  alignas(16) unsigned char opaque[64];
} CRITICAL_SECTION;
void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);

typedef struct _SYSTEM_INFO {
  DWORD dwNumberOfProcessors;
} SYSTEM_INFO;
void GetSystemInfo(SYSTEM_INFO* information);

#endif
