// What a file handle is on POSIX: a descriptor, the read buffer that
// serves the header scan's one-byte reads, and what the handle knows of
// its file, so that no call is spent asking again.
#ifndef BODYCUT_POSIX_FILE_OBJECT_H
#define BODYCUT_POSIX_FILE_OBJECT_H

#include "posix_internal.h"

#include <sys/stat.h>
#include <sys/types.h>

enum { READ_BUFFER_SIZE = 65536 };

// A handle points at its object, whose first member is what the inline
// ReadFile sees.
struct FileObject {
  FileReadView view;  // buffer, next unread byte, limit of the inline path
  DWORD filled;       // bytes of buffer that hold file data
  int in_use;
  int fd;
  // The O_PATH descriptor the file was resolved to, kept while the handle
  // may pass it on to a hold (hold_file); -1 once passed on, or never had.
  int path_fd;
  // Where the handle's next read or write goes, and the file's size as
  // this handle left it. Every read and write names its offset, so the
  // descriptor's own offset plays no part and is never moved.
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

// The object of a handle in use, else null.
FileObject* file_object(HANDLE handle);
// A free object for fd, taken for this thread; null when none is left.
FileObject* take_file_object(int fd);
void release_file_object(FileObject* file);
// The read buffer holds filled bytes of the file, from its start on.
void set_filled(FileObject* file, DWORD filled);
// The handle's status, read again when the handle has changed the file;
// the size the handle knows goes with it.
bool current_status(FileObject* file);
// Nothing is written to a file whose lease may have run out.
bool may_write(FileObject* file);
// Records ERROR_INVALID_HANDLE: FALSE.
BOOL fail_invalid_handle(void);
// Reopens the file path_fd was resolved to for reading and writing, under
// the write lease, waiting out for a little while another process that has
// it open for a moment only; the descriptor, or -1 with the error recorded.
int open_leased(int path_fd, LeaseWatch* lease);

#endif
