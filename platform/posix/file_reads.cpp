// Reads through a handle's buffer: the header scan's one-byte reads and
// its pass over the bytes before a CR cost no system call each.
#include "file_object.h"

#include <unistd.h>
#include <cerrno>
#include <cstring>

// Fills the read buffer anew with one pread(2) at the handle's offset,
// retried when a signal interrupts it: the bytes read, 0 at the end, -1
// with the error recorded.
static ssize_t refill(FileObject* file) {
  ssize_t got;
  do got = pread(file->fd, file->buffer, READ_BUFFER_SIZE, file->offset);
  while (got < 0 && errno == EINTR);
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
