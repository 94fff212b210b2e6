// Writes through a handle at the offset it names, and the copy of a
// file's rest, the body, from one handle to another.
#include "file_object.h"

#include <unistd.h>
#include <cerrno>

// Writes all of count bytes to fd at offset at; false with errno else.
static bool write_all(int fd, const unsigned char* bytes, size_t count, off_t at) {
  while (count > 0) {
    ssize_t put = pwrite(fd, bytes, count, at);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      return false;
    }
    bytes += put;
    count -= (size_t)put;
    at += put;
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
  if (!write_all(file->fd, static_cast<const unsigned char*>(buffer), count, file->offset)) {
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
  if (first > 0 && !write_all(to->fd, from->buffer + from->view.position, (size_t)first, to->offset)) {
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
