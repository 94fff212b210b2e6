// File handles: a descriptor plus a read buffer, so that the one-byte reads
// of the header scan cost no system call each.
#include "file_object.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

// Room for every worker's source, temporary and target handles at once.
enum { FILE_POOL_SIZE = 4 + 3 * 64 };

// Shared by the threads, each object taken whole by one of them; the first
// free one is taken, so a run touches the memory of a few objects only.
static FileObject file_pool[FILE_POOL_SIZE];

// Without fault injection every buffered byte may be read inline.
static const bool inline_reads = !BODYCUT_FAULT_INJECTION;

FileObject* file_object(HANDLE handle) {
  std::uintptr_t offset = (std::uintptr_t)handle - (std::uintptr_t)file_pool;
  if (offset >= sizeof file_pool || offset % sizeof(FileObject) != 0) return nullptr;
  FileObject* file = &file_pool[offset / sizeof(FileObject)];
  // Another thread may be taking or releasing a neighbour meanwhile.
  return __atomic_load_n(&file->in_use, __ATOMIC_ACQUIRE) ? file : nullptr;
}

void set_filled(FileObject* file, DWORD filled) {
  file->view.position = 0;
  file->filled = filled;
  file->view.fast_limit = inline_reads ? filled : 0;
}

FileObject* take_file_object(int fd) {
  for (int i = 0; i < FILE_POOL_SIZE; ++i) {
    FileObject* file = &file_pool[i];
    int free_object = 0;
    if (!__atomic_compare_exchange_n(&file->in_use, &free_object, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
      continue;
    file->fd = fd;
    file->path_fd = -1;
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

void release_file_object(FileObject* file) {
  file->fd = -1;
  set_filled(file, 0);
  __atomic_store_n(&file->in_use, 0, __ATOMIC_RELEASE);
}

bool current_status(FileObject* file) {
  if (file->status_current) return true;
  if (statx(file->fd, "", AT_EMPTY_PATH, STATUS_FIELDS, &file->status) != 0) {
    set_last_error_from_errno(errno);
    return false;
  }
  file->size = (off_t)file->status.stx_size;
  file->status_current = true;
  return true;
}

bool may_write(FileObject* file) {
  if (lease_still_held(file->fd, &file->lease)) return true;
  set_last_error(ERROR_LOCK_VIOLATION);
  return false;
}

int open_leased(int path_fd, LeaseWatch* lease) {
  enum { LEASE_ATTEMPTS = 25 };
  for (int attempt = 1;; ++attempt) {
    int fd = reopen_descriptor(path_fd, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
      set_last_error_from_errno(errno);
      return -1;
    }
    if (take_write_lease(fd, lease)) return fd;
    close(fd);
    if (GetLastError() != ERROR_SHARING_VIOLATION || attempt == LEASE_ATTEMPTS) return -1;
    // A pause of its own length, so that two runs do not meet again.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    Sleep((DWORD)(1 + now.tv_nsec / 1000 % 5));
  }
}

// Only a regular file is ever opened, and the very one the path resolved
// to. Opening does not wait: a lease held elsewhere is a sharing violation.
// A handle with neither read nor write access only tells what the file is:
// it keeps the O_PATH descriptor, which opens nothing. An exclusive handle
// takes the write lease (open_leased). A handle for reading keeps the
// O_PATH descriptor too, for a hold to take over.
static int open_existing(LPCSTR path, DWORD access, bool exclusive, FileObject* file) {
  int path_fd = resolve_path(path, &file->status);
  if (path_fd < 0) return -1;
  int fd = -1;
  if (!S_ISREG(file->status.stx_mode)) {
    set_last_error(S_ISDIR(file->status.stx_mode) ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
    set_failure_reason(REASON_NOT_REGULAR);
  } else if ((access & (GENERIC_READ | GENERIC_WRITE)) == 0) {
    return path_fd;
  } else if (exclusive) {
    fd = open_leased(path_fd, &file->lease);
  } else {
    int flags = O_NONBLOCK | ((access & GENERIC_WRITE) == 0 ? O_RDONLY : O_RDWR);
    fd = reopen_descriptor(path_fd, flags);
    if (fd < 0) set_last_error_from_errno(errno);
    if (fd >= 0) {
      file->path_fd = path_fd;
      return fd;
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

BOOL fail_invalid_handle(void) {
  set_last_error(ERROR_INVALID_HANDLE);
  return FALSE;
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
  if (file->path_fd >= 0) close(file->path_fd);
  // A query handle whose file was opened from it holds nothing any more.
  int result = file->fd >= 0 ? close(file->fd) : 0;
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
