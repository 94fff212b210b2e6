// Handles of files, as every operation uses them: opened with their
// facts, read and written in chunks, stamped and closed; and the KERNEL32
// functions looked up rather than imported.
#include "win32_internal.h"

AnyFunction kernel_function(const char* name) {
  HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
  return kernel != nullptr ? reinterpret_cast<AnyFunction>(GetProcAddress(kernel, name)) : nullptr;
}

static const DWORD PROTECTING_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

static std::uint64_t joined(DWORD high, DWORD low) { return (std::uint64_t)high << 32 | low; }
static FileStamp stamp_of(FILETIME time) {
  FileStamp stamp = {(std::int64_t)joined(time.dwHighDateTime, time.dwLowDateTime), 0};
  return stamp;
}
static FILETIME filetime_of(FileStamp stamp) {
  FILETIME time = {(DWORD)stamp.count, (DWORD)((std::uint64_t)stamp.count >> 32)};
  return time;
}

bool read_change_time(HANDLE handle, FileStamp* changed) {
  typedef BOOL(WINAPI * ReadInformation)(HANDLE, int, LPVOID, DWORD);
  struct BasicInformation {  // FILE_BASIC_INFO, asked for as FileBasicInfo (0)
    LARGE_INTEGER created, accessed, written, changed;
    DWORD attributes;
  } basic;
  ReadInformation read = reinterpret_cast<ReadInformation>(kernel_function("GetFileInformationByHandleEx"));
  *changed = FileStamp{0, 0};
  if (read == nullptr) return true;
  bool fails = CALL_FAULT(GetFileInformationByHandleEx);
  if (fails) SetLastError(ERROR_GEN_FAILURE);
  if (fails || !read(handle, 0, &basic, sizeof basic)) return false;
  changed->count = basic.changed.QuadPart;
  return true;
}

static bool read_facts(SystemHandle handle, FileFacts* facts) {
  BY_HANDLE_FILE_INFORMATION found;
  if (!SYSTEM_CALL(GetFileInformationByHandle, FALSE, handle_of(handle), &found)) return false;
  if (!read_change_time(handle_of(handle), &facts->changed)) return false;
  facts->identity.volume = found.dwVolumeSerialNumber;
  // On NTFS the file index carries a number that tells a reused one apart.
  facts->identity.index = joined(found.nFileIndexHigh, found.nFileIndexLow);
  facts->identity.birth = 0;
  facts->size = joined(found.nFileSizeHigh, found.nFileSizeLow);
  facts->links = found.nNumberOfLinks;
  facts->times.created = stamp_of(found.ftCreationTime);
  facts->times.accessed = stamp_of(found.ftLastAccessTime);
  facts->times.written = stamp_of(found.ftLastWriteTime);
  facts->write_protected = (found.dwFileAttributes & PROTECTING_ATTRIBUTES) != 0;
  facts->attributes = found.dwFileAttributes;
  return true;
}

Reason open_with_facts(const char* path, DWORD access, DWORD sharing, SystemHandle* handle, FileFacts* facts) {
  HANDLE opened = SYSTEM_CALL(CreateFileA, INVALID_HANDLE_VALUE, path, access, sharing, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  *handle = (SystemHandle)opened;
  if (opened != INVALID_HANDLE_VALUE && read_facts(*handle, facts)) return done_reason();
  // A directory is refused as a file is that may not be read: told apart here.
  Reason why = last_error_reason();
  DWORD attributes = why.number == ERROR_ACCESS_DENIED ? SYSTEM_CALL(GetFileAttributesA, INVALID_FILE_ATTRIBUTES, path)
                                                       : INVALID_FILE_ATTRIBUTES;
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
             ? own_reason(REASON_NOT_REGULAR)
             : why;
}

Reason close_handle(SystemHandle* handle) {
  bool fails = *handle != NO_HANDLE && CALL_FAULT(CloseHandle);
  bool closed = *handle == NO_HANDLE || CloseHandle(handle_of(*handle));
  *handle = NO_HANDLE;
  if (fails) SetLastError(ERROR_GEN_FAILURE);
  return closed && !fails ? done_reason() : last_error_reason();
}

bool read_chunk(SystemHandle handle, void* buffer, unsigned wanted, DWORD* got) {
  return SYSTEM_CALL(ReadFile, FALSE, handle_of(handle), buffer, wanted, got, nullptr);
}

// A short write with no error is what a full disk gives.
bool write_chunk(SystemHandle handle, const void* buffer, DWORD count) {
  DWORD written = 0;
  if (!SYSTEM_CALL(WriteFile, FALSE, handle_of(handle), buffer, count, &written, nullptr)) return false;
  if (written != count) SetLastError(ERROR_DISK_FULL);
  return written == count;
}

bool set_times(SystemHandle handle, const FileTimes* times) {
  FILETIME created = filetime_of(times->created);
  FILETIME accessed = filetime_of(times->accessed);
  FILETIME written = filetime_of(times->written);
  return SYSTEM_CALL(SetFileTime, FALSE, handle_of(handle), &created, &accessed, &written);
}
