// File handles: a descriptor plus a read buffer, so that the one-byte reads
// of the header scan cost no system call each.
#include "posix_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

// Room for every worker's source, temporary and target handles at once.
enum { FILE_POOL_SIZE = 4 + 3 * 64, READ_BUFFER_SIZE = 65536 };

// A handle points at its object, whose first member is what the inline
// ReadFile sees.
struct FileObject {
  FileReadView view;  // buffer, next unread byte, limit of the inline path
  DWORD filled;       // bytes of buffer that hold file data
  int in_use;
  int fd;
  // The descriptor's offset and the file's size as this handle left them,
  // kept here so that no call is spent asking for them.
  off_t offset;
  off_t size;
  LeaseWatch lease;
  int holes;    // may have holes: only its data is copied
  int unnamed;  // a temporary file still without its name...
  int partial;  // ...or, where files cannot be unnamed, under name + ".part"
  char name[PATH_CAPACITY];
  // Taken when the handle was opened; serves GetFileInformationByHandle
  // until the handle itself changes the file.
  struct statx status;
  bool status_current;
  unsigned char buffer[READ_BUFFER_SIZE];
};

// Shared by the threads, each object taken whole by one of them; the first
// free one is taken, so a run touches the memory of a few objects only.
static FileObject file_pool[FILE_POOL_SIZE];

// Without fault injection every buffered byte may be read inline.
static const bool inline_reads = !BODYCUT_FAULT_INJECTION;

static FileObject* file_object(HANDLE handle) {
  std::uintptr_t offset = (std::uintptr_t)handle - (std::uintptr_t)file_pool;
  if (offset >= sizeof file_pool || offset % sizeof(FileObject) != 0) return nullptr;
  FileObject* file = &file_pool[offset / sizeof(FileObject)];
  // Another thread may be taking or releasing a neighbour meanwhile.
  return __atomic_load_n(&file->in_use, __ATOMIC_ACQUIRE) ? file : nullptr;
}

static void set_filled(FileObject* file, DWORD filled) {
  file->view.position = 0;
  file->filled = filled;
  file->view.fast_limit = inline_reads ? filled : 0;
}

static FileObject* take_file_object(int fd) {
  for (int i = 0; i < FILE_POOL_SIZE; ++i) {
    FileObject* file = &file_pool[i];
    int free_object = 0;
    if (!__atomic_compare_exchange_n(&file->in_use, &free_object, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
      continue;
    file->fd = fd;
    file->offset = 0;
    file->size = 0;
    file->lease.leased = 0;
    file->holes = 0;
    file->unnamed = 0;
    file->partial = 0;
    file->name[0] = '\0';
    file->status_current = false;
    file->view.buffer = file->buffer;
    set_filled(file, 0);
    return file;
  }
  return nullptr;
}

static void release_file_object(FileObject* file) {
  file->fd = -1;
  set_filled(file, 0);
  __atomic_store_n(&file->in_use, 0, __ATOMIC_RELEASE);
}

// The handle's status, read again when the handle has changed the file.
static bool current_status(FileObject* file) {
  if (file->status_current) return true;
  if (statx(file->fd, "", AT_EMPTY_PATH, STATUS_FIELDS, &file->status) != 0) {
    set_last_error_from_errno(errno);
    return false;
  }
  file->status_current = true;
  return true;
}

// Nothing is written to a file whose lease may have run out.
static bool may_write(FileObject* file) {
  if (lease_still_held(file->fd, &file->lease)) return true;
  set_last_error(ERROR_LOCK_VIOLATION);
  return false;
}

// Only a regular file is ever opened, and the very one the path resolved
// to. Opening does not wait: a lease held elsewhere is a sharing violation.
// A handle with neither read nor write access only tells what the file is:
// it keeps the O_PATH descriptor, which opens nothing. An exclusive handle
// takes the write lease; another process that has the file open for a
// moment only (another run reading it) is waited out for a little while,
// so that two runs do not refuse each other the same file.
static int open_existing(LPCSTR path, DWORD access, bool exclusive, FileObject* file) {
  enum { LEASE_ATTEMPTS = 25 };
  int path_fd = resolve_path(path, &file->status);
  if (path_fd < 0) return -1;
  int fd = -1;
  if (!S_ISREG(file->status.stx_mode)) {
    set_last_error(S_ISDIR(file->status.stx_mode) ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
    set_failure_reason(REASON_NOT_REGULAR);
  } else if ((access & (GENERIC_READ | GENERIC_WRITE)) == 0) {
    return path_fd;
  } else {
    int flags = O_NONBLOCK;
    if ((access & GENERIC_WRITE) != 0)
      flags |= (access & GENERIC_READ) != 0 ? O_RDWR : O_WRONLY;
    else
      flags |= O_RDONLY;
    for (int attempt = 1; attempt <= LEASE_ATTEMPTS; ++attempt) {
      fd = reopen_descriptor(path_fd, flags);
      if (fd < 0) {
        set_last_error_from_errno(errno);
        break;
      }
      file->fd = fd;
      if (!exclusive || take_write_lease(fd, &file->lease)) break;
      close(fd);
      fd = -1;
      if (GetLastError() != ERROR_SHARING_VIOLATION || attempt == LEASE_ATTEMPTS) break;
      // A pause of its own length, so that two runs do not meet again.
      struct timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      Sleep((DWORD)(1 + now.tv_nsec / 1000 % 5));
    }
  }
  close(path_fd);
  return fd;
}

// The directory part of path, "." when it has none.
static void directory_of(LPCSTR path, char* directory) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::strcpy(directory, ".");
    return;
  }
  size_t length = slash == path ? 1 : (size_t)(slash - path);
  std::memcpy(directory, path, length);
  directory[length] = '\0';
}

static int create_unnamed(LPCSTR path, FileObject* file) {
  char directory[PATH_CAPACITY];
  size_t length = std::strlen(path);
  if (length + sizeof ".part" > PATH_CAPACITY) {
    set_last_error(ERROR_FILENAME_EXCED_RANGE);
    return -1;
  }
  directory_of(path, directory);
  std::memcpy(file->name, path, length + 1);
  int fd = open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    char partial[PATH_CAPACITY];
    std::snprintf(partial, sizeof partial, "%s.part", path);
    fd = open(partial, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    file->partial = fd >= 0;
  }
  if (fd < 0) {
    set_last_error_from_errno(errno);
    return -1;
  }
  file->unnamed = 1;
  return fd;
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD sharing, void*, DWORD disposition, DWORD, HANDLE) {
  if (fault_fires(FAULT_CreateFileA)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition != OPEN_EXISTING && disposition != CREATE_ALWAYS) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  FileObject* file = take_file_object(-1);
  if (file == nullptr) {
    set_last_error(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition == CREATE_ALWAYS) {
    file->fd = create_unnamed(path, file);
  } else {
    bool exclusive = (access & GENERIC_WRITE) != 0 && (sharing & (FILE_SHARE_READ | FILE_SHARE_WRITE)) == 0;
    file->fd = open_existing(path, access, exclusive, file);
    file->status_current = !exclusive;
    file->size = (off_t)file->status.stx_size;
    // Fewer blocks than bytes: a sparse file (or a compressed one).
    file->holes = (file->status.stx_mask & STATX_BLOCKS) != 0 && file->status.stx_blocks * 512 < file->status.stx_size;
  }
  if (file->fd < 0) {
    release_file_object(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

static BOOL fail_invalid_handle() {
  set_last_error(ERROR_INVALID_HANDLE);
  return FALSE;
}

// One read(2), retried when a signal interrupts it: -1 on error.
static ssize_t read_some(int fd, void* buffer, size_t wanted) {
  ssize_t got;
  do got = read(fd, buffer, wanted);
  while (got < 0 && errno == EINTR);
  return got;
}

// Fills the read buffer anew with one read(2): the bytes read, 0 at the
// end, -1 with the error recorded.
static ssize_t refill(FileObject* file) {
  ssize_t got = read_some(file->fd, file->buffer, READ_BUFFER_SIZE);
  if (got < 0) {
    set_last_error_from_errno(errno);
    set_filled(file, 0);
    return -1;
  }
  file->offset += got;
  set_filled(file, (DWORD)got);
  return got;
}

// At most one read(2) a call, into the handle's buffer; buffered bytes are
// served first and alone.
BOOL read_file_buffered(HANDLE handle, void* buffer, DWORD wanted, DWORD* read) {
  FileObject* file = file_object(handle);
  *read = 0;
  if (file == nullptr) return fail_invalid_handle();
  if (fault_fires(FAULT_ReadFile)) {
    set_last_error(ERROR_READ_FAULT);
    return FALSE;
  }
  if (stop_requested()) {
    set_last_error(ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  if (file->view.position == file->filled && refill(file) < 0) return FALSE;
  DWORD buffered = file->filled - file->view.position;
  DWORD served = buffered < wanted ? buffered : wanted;
  std::memcpy(buffer, file->buffer + file->view.position, served);
  file->view.position += served;
  *read = served;
  return TRUE;
}

// The bytes before the wanted one are passed over in the read buffer with
// memchr. The fault-injection build reads them one ReadFile at a time, so
// that every read still reaches its fault point.
BOOL read_through_byte(HANDLE handle, unsigned char wanted) {
#if BODYCUT_FAULT_INJECTION
  unsigned char byte = 0;
  DWORD read = 0;
  do
    if (!ReadFile(handle, &byte, 1, &read, nullptr) || read != 1) return FALSE;
  while (byte != wanted);
  return TRUE;
#else
  FileObject* file = file_object(handle);
  if (file == nullptr) return fail_invalid_handle();
  for (;;) {
    const unsigned char* from = file->buffer + file->view.position;
    const void* found = std::memchr(from, wanted, file->filled - file->view.position);
    if (found != nullptr) {
      file->view.position = (DWORD)(static_cast<const unsigned char*>(found) - file->buffer) + 1;
      return TRUE;
    }
    if (stop_requested()) {
      set_last_error(ERROR_OPERATION_ABORTED);
      return FALSE;
    }
    ssize_t got = refill(file);
    if (got <= 0) {
      if (got == 0) set_last_error(ERROR_HANDLE_EOF);
      return FALSE;
    }
  }
#endif
}

// Writes all of count bytes to fd at its offset; false with errno else.
static bool write_all(int fd, const unsigned char* bytes, size_t count) {
  while (count > 0) {
    ssize_t put = write(fd, bytes, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      return false;
    }
    bytes += put;
    count -= (size_t)put;
  }
  return true;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* written, void*) {
  FileObject* file = file_object(handle);
  *written = 0;
  if (file == nullptr) return fail_invalid_handle();
  if (fault_fires(FAULT_WriteFile)) {
    set_last_error(ERROR_WRITE_FAULT);
    return FALSE;
  }
  if (!may_write(file)) return FALSE;
  file->status_current = false;
  if (!write_all(file->fd, static_cast<const unsigned char*>(buffer), count)) {
    set_last_error_from_errno(errno);
    return FALSE;
  }
  file->offset += count;
  if (file->offset > file->size) file->size = file->offset;
  *written = count;
  return TRUE;
}

BOOL copy_rest_of_file(HANDLE from_handle, HANDLE to_handle) {
  FileObject* from = file_object(from_handle);
  FileObject* to = file_object(to_handle);
  if (from == nullptr || to == nullptr) return fail_invalid_handle();
  bool fail = fault_fires(FAULT_copy_rest_of_file);
  bool stop_halfway = fault_fires(FAULT_copy_rest_of_file_short);
  if (fail) {
    set_last_error(ERROR_WRITE_FAULT);
    return FALSE;
  }
  if (!may_write(to)) return FALSE;
  to->status_current = false;
  // Bytes the header scan read ahead go first, then the rest in the kernel.
  off_t buffered = from->filled - from->view.position;
  off_t wanted = buffered + (from->size > from->offset ? from->size - from->offset : 0);
  off_t limit = stop_halfway ? wanted / 2 : wanted;
  off_t first = buffered < limit ? buffered : limit;
  if (first > 0 && !write_all(to->fd, from->buffer + from->view.position, (size_t)first)) {
    set_last_error_from_errno(errno);
    return FALSE;
  }
  set_filled(from, 0);
  to->offset += first;
  if (to->offset > to->size) to->size = to->offset;
  // Work a stop can throw away is thrown away: a file still without a name.
  CopyJob job = {from->fd, to->fd,           from->offset,     to->offset, limit - first,
                 to->size, from->holes != 0, to->unnamed != 0, &to->lease};
  to->holes |= from->holes;
  off_t copied = copy_descriptor_bytes(&job);
  if (copied < 0) {
    set_last_error_from_errno(errno);
    // Where the descriptors stand is no longer known; they are not used again.
    return FALSE;
  }
  from->offset += copied;
  to->offset += copied;
  if (to->offset > to->size) to->size = to->offset;
  copied += first;
  // Some file systems report the end early: fewer bytes is a failed copy.
  if (copied < wanted) {
    set_last_error(ERROR_WRITE_FAULT);
    return FALSE;
  }
  return TRUE;
}

BOOL name_temporary_file(HANDLE handle, LPSTR name) {
  FileObject* file = file_object(handle);
  if (file == nullptr) return fail_invalid_handle();
  if (fault_fires(FAULT_name_temporary_file)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (stop_requested()) {
    set_last_error(ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  if (!file->unnamed) return TRUE;
  int result;
  if (file->partial) {
    char partial[PATH_CAPACITY];
    std::snprintf(partial, sizeof partial, "%s.part", file->name);
    result = renameat2(AT_FDCWD, partial, AT_FDCWD, file->name, RENAME_NOREPLACE);
  } else {
    result = link_temporary_file(file->fd, file->name);
    std::strcpy(name, file->name);
  }
  if (result != 0) {
    set_last_error_from_errno(errno);
    return FALSE;
  }
  file->unnamed = 0;
  file->partial = 0;
  return TRUE;
}

bool descriptor_and_mode(HANDLE handle, int* fd, unsigned* mode) {
  FileObject* file = file_object(handle);
  if (file == nullptr) return fail_invalid_handle();
  if (!current_status(file)) return false;
  *fd = file->fd;
  *mode = file->status.stx_mode;
  return true;
}

static FILETIME filetime_from_statx(const struct statx_timestamp& time) {
  FILETIME stamp;
  stamp.seconds = time.tv_sec;
  stamp.nanoseconds = (std::int32_t)time.tv_nsec;
  return stamp;
}

BOOL GetFileInformationByHandle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* information) {
  FileObject* file = file_object(handle);
  if (file == nullptr) return fail_invalid_handle();
  if (fault_fires(FAULT_GetFileInformationByHandle)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!current_status(file)) return FALSE;
  const struct statx& status = file->status;
  const unsigned needed = STATX_MODE | STATX_INO | STATX_NLINK | STATX_SIZE | STATX_ATIME | STATX_MTIME;
  if ((status.stx_mask & needed) != needed) {
    set_last_error(ERROR_GEN_FAILURE);
    return FALSE;
  }
  // Where the system keeps no creation time it reads as zero.
  FILETIME none = {0, 0};
  information->dwFileAttributes =
      FILE_ATTRIBUTE_NORMAL | ((status.stx_mode & S_IWUSR) == 0 ? FILE_ATTRIBUTE_READONLY : 0);
  information->ftCreationTime = (status.stx_mask & STATX_BTIME) != 0 ? filetime_from_statx(status.stx_btime) : none;
  information->ftLastAccessTime = filetime_from_statx(status.stx_atime);
  information->ftLastWriteTime = filetime_from_statx(status.stx_mtime);
  information->dwVolumeSerialNumber = (status.stx_dev_major << 20) | (status.stx_dev_minor & 0xFFFFF);
  information->nFileSizeHigh = (DWORD)(status.stx_size >> 32);
  information->nFileSizeLow = (DWORD)status.stx_size;
  information->nNumberOfLinks = status.stx_nlink;
  information->nFileIndexHigh = (DWORD)(status.stx_ino >> 32);
  information->nFileIndexLow = (DWORD)status.stx_ino;
  return TRUE;
}

// The creation time cannot be set here; it is left as the system keeps it.
BOOL SetFileTime(HANDLE handle, const FILETIME*, const FILETIME* last_access, const FILETIME* last_write) {
  FileObject* file = file_object(handle);
  if (file == nullptr) return fail_invalid_handle();
  if (fault_fires(FAULT_SetFileTime)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = times[0];
  if (last_access != nullptr) times[0] = timespec_from_filetime(last_access);
  if (last_write != nullptr) times[1] = timespec_from_filetime(last_write);
  if (!may_write(file)) return FALSE;
  file->status_current = false;
  if (futimens(file->fd, times) != 0) {
    set_last_error_from_errno(errno);
    return FALSE;
  }
  return TRUE;
}

// Only moves from the start are needed: a file is read again from its start.
DWORD SetFilePointer(HANDLE handle, LONG distance, LONG* distance_high, DWORD method) {
  FileObject* file = file_object(handle);
  if (file == nullptr) {
    set_last_error(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  if (fault_fires(FAULT_SetFilePointer)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return INVALID_SET_FILE_POINTER;
  }
  // The two halves as bits: a negative high half gives a negative offset,
  // which no file has.
  std::uint64_t bits = (std::uint32_t)distance;
  if (distance_high != nullptr) bits |= (std::uint64_t)(std::uint32_t)*distance_high << 32;
  long long offset = (long long)bits;
  if (method != FILE_BEGIN || offset < 0 || lseek(file->fd, (off_t)offset, SEEK_SET) < 0) {
    set_last_error(method != FILE_BEGIN || offset < 0 ? ERROR_INVALID_PARAMETER : ERROR_GEN_FAILURE);
    return INVALID_SET_FILE_POINTER;
  }
  set_filled(file, 0);
  file->offset = (off_t)offset;
  set_last_error(NO_ERROR);
  return (DWORD)offset;
}

BOOL SetEndOfFile(HANDLE handle) {
  FileObject* file = file_object(handle);
  if (file == nullptr) return fail_invalid_handle();
  if (fault_fires(FAULT_SetEndOfFile)) {
    set_last_error(ERROR_WRITE_FAULT);
    return FALSE;
  }
  if (!may_write(file)) return FALSE;
  file->status_current = false;
  if (ftruncate(file->fd, file->offset) != 0) {
    set_last_error_from_errno(errno);
    return FALSE;
  }
  file->size = file->offset;
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  FileObject* file = file_object(handle);
  if (file == nullptr) return close_sync_object(handle) ? TRUE : fail_invalid_handle();
  // The handle is released even when the injected or real failure is
  // reported, as the system does. A temporary file that never got its name
  // goes with it.
  bool injected = fault_fires(FAULT_CloseHandle);
  // The copy back ends here: a break that has not run out by now did not
  // let anyone in.
  bool lease_held = lease_still_held(file->fd, &file->lease);
  if (file->unnamed && file->partial) {
    char partial[PATH_CAPACITY];
    std::snprintf(partial, sizeof partial, "%s.part", file->name);
    unlink(partial);
  }
  int result = close(file->fd);
  int error = errno;
  release_file_object(file);
  if (injected) {
    set_last_error(ERROR_WRITE_FAULT);
    return FALSE;
  }
  if (!lease_held) {
    set_last_error(ERROR_LOCK_VIOLATION);
    return FALSE;
  }
  if (result != 0 && error != EINTR) {
    set_last_error_from_errno(error);
    return FALSE;
  }
  return TRUE;
}
