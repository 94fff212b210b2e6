// Shared by the POSIX implementation of the platform operations.
#ifndef BODYCUT_POSIX_INTERNAL_H
#define BODYCUT_POSIX_INTERNAL_H

#include "../fault_injection.h"
#include "../platform.h"

#include <fcntl.h>
#include <sys/stat.h>

// Records a Win32 error code for GetLastError.
void set_last_error(DWORD code);
// Translates errno into the nearest Win32 error code and records it.
void set_last_error_from_errno(int error);

// What statx is asked for about every file opened.
const unsigned STATUS_FIELDS = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_INO | STATX_SIZE |
                               STATX_ATIME | STATX_MTIME | STATX_BTIME;

// Paths below the directory that a run's first search lists are resolved
// from that directory as it was opened, and never through a symbolic link
// to a directory, so no rename during the walk can lead it elsewhere. A
// link in the last place is followed only when the link and the file it
// names have one owner: whoever planted it could have written that file.
// Other paths (a target named on the command line) resolve as given.
void walk_root_begin(const char* directory);
void walk_root_end(void);

// An O_PATH descriptor of what path names, with its status; -1 and the
// error recorded when it cannot be resolved. Opening it so has no effect on
// what it is, a device or a FIFO included.
int resolve_path(LPCSTR path, struct statx* status);
// A descriptor of the directory path names, for listing; -1 and the error.
int open_directory(LPCSTR path);
// Copies count bytes from in's offset to out's, both moving on; gives the
// bytes copied (fewer only where in ends first), or -1 with errno (EINTR
// when stoppable and a stop was requested).
off_t copy_descriptor_bytes(int in, int out, off_t count, bool stoppable);

// The descriptor that a file handle holds, and its file's mode and type;
// false, with the error recorded, for any other handle.
bool descriptor_and_mode(HANDLE handle, int* fd, unsigned* mode);

// A temporary name ends in this many random letters and digits, then ".tmp".
enum { TEMPORARY_NAME_RANDOM = 6, TEMPORARY_NAME_TAIL = TEMPORARY_NAME_RANDOM + 4 };
// Draws the random letters of a temporary name anew, in place, from the
// system's random source; false with errno when it gives nothing.
bool redraw_temporary_name(char* name);
// Links the unnamed file fd holds at name; a name another file has is
// drawn anew, in name, a few times over. 0, or -1 with errno.
int link_temporary_file(int fd, char* name);

// Closes handle when it is a thread, an event or a semaphore; false when it
// is none of those.
bool close_sync_object(HANDLE handle);

// The name under which /proc gives the very file a descriptor holds.
struct SelfPath {
  char text[40];
};
SelfPath self_path(int fd);
// Opens what an O_PATH descriptor refers to, that very file, with flags.
int reopen_descriptor(int path_fd, int flags);

// The handler of the signals that ask a run to stop: it only records the
// signal, and the walk ends before its next entry.
void record_stop_signal(int signal_number);
// Whether a signal asked the run to stop: work that can be thrown away is,
// and no new file is begun.
bool stop_requested(void);
// The signal recorded, 0 when none was.
int requested_stop_signal(void);

// The attribute word of what a stat call described.
DWORD attributes_from_stat(const struct stat* status);
FILETIME filetime_from_timespec(const struct timespec* time);
struct timespec timespec_from_filetime(const FILETIME* time);

#if BODYCUT_FAULT_INJECTION
// True when this call of the operation is the one armed to fail.
bool fault_fires(int operation);
// Puts a file that is not the run's at name, as another process might
// just before the run claims that name.
void take_name_first(const char* name);
#else
inline bool fault_fires(int) { return false; }
inline void take_name_first(const char*) {}
#endif

#endif
