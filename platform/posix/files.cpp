// File handles: a descriptor plus a read buffer, so that the one-byte reads
// of the header scan cost no system call each.
#include "posix_internal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

enum { FILE_POOL_SIZE = 4, READ_BUFFER_SIZE = 65536 };

// A handle points at its object, whose first member is what the inline
// ReadFile sees.
struct FileObject {
  FileReadView view;  // buffer, next unread byte, limit of the inline path
  DWORD filled;       // bytes of buffer that hold file data
  int in_use;
  int fd;
  // Taken when the handle was opened; serves GetFileTime and GetFileSize
  // until the handle itself writes or sets times, which saves two system
  // calls on every file that is only read.
  struct statx status;
  bool status_current;
  unsigned char buffer[READ_BUFFER_SIZE];
};

static FileObject file_pool[FILE_POOL_SIZE];

// Without fault injection every buffered byte may be read inline.
static const bool inline_reads = !BODYCUT_FAULT_INJECTION;

static FileObject* file_object(HANDLE handle) {
  std::uintptr_t offset = (std::uintptr_t)handle - (std::uintptr_t)file_pool;
  if (offset >= sizeof file_pool || offset % sizeof(FileObject) != 0) return nullptr;
  FileObject* file = &file_pool[offset / sizeof(FileObject)];
  return file->in_use ? file : nullptr;
}

static void set_filled(FileObject* file, DWORD filled) {
  file->view.position = 0;
  file->filled = filled;
  file->view.fast_limit = inline_reads ? filled : 0;
}

static const unsigned STATUS_FIELDS = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_ATIME | STATX_MTIME | STATX_BTIME;

static FileObject* take_file_object(int fd, const struct statx* status) {
  for (int i = 0; i < FILE_POOL_SIZE; ++i) {
    if (!file_pool[i].in_use) {
      file_pool[i].in_use = 1;
      file_pool[i].fd = fd;
      file_pool[i].status = *status;
      file_pool[i].status_current = status->stx_mask != 0;
      file_pool[i].view.buffer = file_pool[i].buffer;
      set_filled(&file_pool[i], 0);
      return &file_pool[i];
    }
  }
  return nullptr;
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

// Opening for reading never blocks and refuses what is not a regular file,
// so a FIFO or a device met in a tree can neither hang nor feed endless data.
// Creating never follows a link: it only ever makes the temporary file. It
// truncates only a file that has bytes: on ext4 a truncation to zero makes
// the file's data go to disk at close, which for a temporary file that is
// deleted right after costs a write and, on a discard mount, a discard.
// Sharing is emulated with advisory locks: a handle that lets others only
// read holds a shared lock, which an exclusive writer (CopyFileA) cannot
// take, and it cannot be opened while such a writer holds its lock.
static int open_descriptor(LPCSTR path, DWORD access, DWORD sharing, DWORD disposition, struct statx* status) {
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if ((access & GENERIC_WRITE) != 0)
    flags |= (access & GENERIC_READ) != 0 ? O_RDWR : O_WRONLY;
  else
    flags |= O_RDONLY;
  if (disposition == CREATE_ALWAYS) flags |= O_CREAT | O_NOFOLLOW;
  int fd;
  do fd = open(path, flags, 0600);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    set_last_error_from_errno(errno);
    return -1;
  }
  if (statx(fd, "", AT_EMPTY_PATH, STATUS_FIELDS, status) != 0 || !S_ISREG(status->stx_mode)) {
    set_last_error(S_ISDIR(status->stx_mode) ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
    close(fd);
    return -1;
  }
  if (disposition == CREATE_ALWAYS && status->stx_size > 0) {
    if (ftruncate(fd, 0) != 0) {
      set_last_error_from_errno(errno);
      close(fd);
      return -1;
    }
    status->stx_size = 0;
  }
  if ((sharing & FILE_SHARE_WRITE) == 0 && flock(fd, LOCK_SH | LOCK_NB) != 0) {
    set_last_error(ERROR_SHARING_VIOLATION);
    close(fd);
    return -1;
  }
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
  struct statx status;
  int fd = disposition == CREATE_ALWAYS ? take_new_temporary(path) : -1;
  if (fd >= 0) {
    // Just made, empty and regular; its times are read when asked for.
    std::memset(&status, 0, sizeof status);
  } else {
    fd = open_descriptor(path, access, sharing, disposition, &status);
    if (fd < 0) return INVALID_HANDLE_VALUE;
  }
  FileObject* file = take_file_object(fd, &status);
  if (file == nullptr) {
    close(fd);
    set_last_error(ERROR_TOO_MANY_OPEN_FILES);
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

// At most one read(2) a call: buffered bytes are served first and alone;
// large reads of an empty buffer go straight into the caller's buffer.
BOOL read_file_buffered(HANDLE handle, void* buffer, DWORD wanted, DWORD* read) {
  FileObject* file = file_object(handle);
  *read = 0;
  if (file == nullptr) return fail_invalid_handle();
  if (fault_fires(FAULT_ReadFile)) {
    set_last_error(ERROR_READ_FAULT);
    return FALSE;
  }
  if (file->view.position == file->filled) {
    if (wanted >= READ_BUFFER_SIZE / 2) {
      ssize_t got = read_some(file->fd, buffer, wanted);
      if (got < 0) {
        set_last_error_from_errno(errno);
        return FALSE;
      }
      *read = (DWORD)got;
      return TRUE;
    }
    ssize_t got = read_some(file->fd, file->buffer, READ_BUFFER_SIZE);
    if (got < 0) {
      set_last_error_from_errno(errno);
      return FALSE;
    }
    set_filled(file, (DWORD)got);
  }
  DWORD buffered = file->filled - file->view.position;
  DWORD served = buffered < wanted ? buffered : wanted;
  std::memcpy(buffer, file->buffer + file->view.position, served);
  file->view.position += served;
  // A large read that used up a full buffer is topped up from the file, so
  // that it gives as many bytes as asked: the writes that pass them on then
  // stay aligned to pages, which the file system handles much faster.
  if (served < wanted && wanted >= READ_BUFFER_SIZE / 2 && file->filled == READ_BUFFER_SIZE) {
    ssize_t got = read_some(file->fd, static_cast<unsigned char*>(buffer) + served, wanted - served);
    if (got > 0) served += (DWORD)got;
    // An error here shows again at the next read, which starts past these bytes.
  }
  *read = served;
  return TRUE;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* written, void*) {
  FileObject* file = file_object(handle);
  *written = 0;
  if (file == nullptr) return fail_invalid_handle();
  if (fault_fires(FAULT_WriteFile)) {
    set_last_error(ERROR_WRITE_FAULT);
    return FALSE;
  }
  file->status_current = false;
  const unsigned char* in = static_cast<const unsigned char*>(buffer);
  DWORD done = 0;
  while (done < count) {
    ssize_t put = write(file->fd, in + done, count - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      set_last_error_from_errno(put < 0 ? errno : ENOSPC);
      *written = done;
      return FALSE;
    }
    done += (DWORD)put;
  }
  *written = done;
  return TRUE;
}

static FILETIME filetime_from_statx(const struct statx_timestamp& time) {
  FILETIME stamp;
  stamp.seconds = time.tv_sec;
  stamp.nanoseconds = (std::int32_t)time.tv_nsec;
  return stamp;
}

BOOL GetFileTime(HANDLE handle, FILETIME* creation, FILETIME* last_access, FILETIME* last_write) {
  FileObject* file = file_object(handle);
  if (file == nullptr) return fail_invalid_handle();
  if (fault_fires(FAULT_GetFileTime)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!current_status(file)) return FALSE;
  const struct statx& status = file->status;
  if ((status.stx_mask & (STATX_ATIME | STATX_MTIME)) != (STATX_ATIME | STATX_MTIME)) {
    set_last_error(ERROR_GEN_FAILURE);
    return FALSE;
  }
  // Where the system keeps no creation time it reads as zero.
  FILETIME none = {0, 0};
  if (creation != nullptr)
    *creation = (status.stx_mask & STATX_BTIME) != 0 ? filetime_from_statx(status.stx_btime) : none;
  if (last_access != nullptr) *last_access = filetime_from_statx(status.stx_atime);
  if (last_write != nullptr) *last_write = filetime_from_statx(status.stx_mtime);
  return TRUE;
}

DWORD GetFileSize(HANDLE handle, DWORD* high) {
  FileObject* file = file_object(handle);
  if (high != nullptr) *high = 0;
  if (file == nullptr) {
    set_last_error(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  if (fault_fires(FAULT_GetFileSize)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return INVALID_FILE_SIZE;
  }
  if (!current_status(file)) return INVALID_FILE_SIZE;
  unsigned long long size = (unsigned long long)file->status.stx_size;
  if (high != nullptr) *high = (DWORD)(size >> 32);
  set_last_error(0);
  return (DWORD)size;
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
  file->status_current = false;
  if (futimens(file->fd, times) != 0) {
    set_last_error_from_errno(errno);
    return FALSE;
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  FileObject* file = file_object(handle);
  if (file == nullptr) return fail_invalid_handle();
  // The handle is released even when the injected or real failure is
  // reported, as the system does.
  bool injected = fault_fires(FAULT_CloseHandle);
  int result = close(file->fd);
  int error = errno;
  file->in_use = 0;
  file->fd = -1;
  set_filled(file, 0);
  if (injected) {
    set_last_error(ERROR_WRITE_FAULT);
    return FALSE;
  }
  if (result != 0 && error != EINTR) {
    set_last_error_from_errno(error);
    return FALSE;
  }
  return TRUE;
}
