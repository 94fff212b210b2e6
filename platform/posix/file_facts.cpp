// What a file handle tells of its file, and the calls of the copy back
// that change a file as a whole: its times, its length, where the next
// read or write goes, and the open of the file that was read.
#include "file_object.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

bool descriptor_and_mode(HANDLE handle, int* fd, unsigned* mode) {
  FileObject* file = file_object(handle);
  if (file == nullptr) return fail_invalid_handle();
  if (!current_status(file)) return false;
  *fd = file->fd;
  *mode = file->status.stx_mode;
  return true;
}

int take_path_descriptor(HANDLE handle) {
  FileObject* file = file_object(handle);
  if (file == nullptr) return -1;
  int path_fd = file->path_fd;
  file->path_fd = -1;
  return path_fd;
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

// The times go through the descriptor, which must still be writable.
static BOOL set_times(FileObject* file, const FILETIME* last_access, const FILETIME* last_write) {
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

// The creation time cannot be set here; it is left as the system keeps it.
BOOL SetFileTime(HANDLE handle, const FILETIME*, const FILETIME* last_access, const FILETIME* last_write) {
  FileObject* file = file_object(handle);
  if (file == nullptr) return fail_invalid_handle();
  if (fault_fires(FAULT_SetFileTime)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return set_times(file, last_access, last_write);
}

// The owner may set a file's times to any value: for the owner's file no
// call is made. For another's the times are set, as the answer. A file
// the owner could not stamp (immutable, append-only) cannot be opened for
// writing in the first place.
BOOL file_times_settable(HANDLE handle, const FILETIME*, const FILETIME* last_access, const FILETIME* last_write) {
  FileObject* file = file_object(handle);
  if (file == nullptr) return fail_invalid_handle();
  if (fault_fires(FAULT_SetFileTime)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!current_status(file)) return FALSE;
  if ((file->status.stx_mask & STATX_UID) != 0 && file->status.stx_uid == effective_user()) return TRUE;
  return set_times(file, last_access, last_write);
}

// Only moves from the start are needed: a file is read again from its
// start. Every read and write names its offset, so nothing is asked of
// the system here.
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
  if (method != FILE_BEGIN || offset < 0) {
    set_last_error(ERROR_INVALID_PARAMETER);
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

// The file a hold was taken on, reopened: no path is resolved again, so it
// is the file that was read, wherever its names are by now. Its status is
// read under the lease, by the first look at it.
HANDLE open_held_file(HANDLE held, LPCSTR) {
  if (fault_fires(FAULT_CreateFileA)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int path_fd = held_descriptor(held);
  if (path_fd < 0) {
    set_last_error(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  FileObject* file = take_file_object(-1);
  if (file == nullptr) {
    set_last_error(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE_VALUE;
  }
  file->fd = open_leased(path_fd, &file->lease);
  if (file->fd < 0) {
    release_file_object(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

// The query's O_PATH descriptor is the file: it is reopened for reading,
// and passes to the new handle, so no path is resolved again.
HANDLE open_queried_file(HANDLE query_handle, LPCSTR) {
  if (fault_fires(FAULT_CreateFileA)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  FileObject* query = file_object(query_handle);
  if (query == nullptr || query->fd < 0 || !query->status_current) return fail_invalid_handle(), INVALID_HANDLE_VALUE;
  FileObject* file = take_file_object(-1);
  if (file == nullptr) {
    set_last_error(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE_VALUE;
  }
  file->fd = reopen_descriptor(query->fd, O_RDONLY | O_NONBLOCK);
  if (file->fd < 0) {
    set_last_error_from_errno(errno);
    release_file_object(file);
    return INVALID_HANDLE_VALUE;
  }
  file->status = query->status;
  file->status_current = true;
  file->size = (off_t)file->status.stx_size;
  // Fewer blocks than bytes: a sparse file (or a compressed one).
  file->holes = (file->status.stx_mask & STATX_BLOCKS) != 0 && file->status.stx_blocks * 512 < file->status.stx_size;
  file->path_fd = query->fd;
  query->fd = -1;
  return file;
}
