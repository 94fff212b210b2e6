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
// Records code with the errno behind it, whose message a reason line gives.
void set_last_error_as(DWORD code, int error);
// Names the reason of the failure just recorded, where the platform found
// it itself and no errno tells it.
void set_failure_reason(int kind);

// What statx is asked for about every file opened.
const unsigned STATUS_FIELDS = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_INO | STATX_SIZE |
                               STATX_ATIME | STATX_MTIME | STATX_BTIME | STATX_BLOCKS;

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
struct LeaseWatch;
// A copy of count bytes from in at in_at to out at out_at; the descriptors'
// own offsets play no part.
struct CopyJob {
  int in;
  int out;
  off_t in_at;
  off_t out_at;
  off_t count;
  off_t out_size;  // bytes out holds already
  // in may have holes: only its data is copied, and out gets holes there
  // too (punched where it held bytes, and made as long as the copy).
  bool holes;
  bool stoppable;     // a requested stop ends the copy
  LeaseWatch* lease;  // out's, looked at before each step; nullptr: none
};
// Gives the bytes copied (fewer only where in ends first), or -1 with
// errno: EINTR for a stop, ENOLCK when out's lease may have run out.
off_t copy_descriptor_bytes(const CopyJob* job);

// The write lease a copy back holds: when it was last seen whole, and
// whether it may since have run out, after which the file is not written.
struct LeaseWatch {
  int leased;  // a lease is held (else a lock, where leases are not kept)
  int lost;
  struct timespec held_at;
  unsigned breaks;  // breaks begun in the process when it was last seen whole
};
// Takes the write lease on fd, or where the file system keeps none an
// exclusive lock: false with the error recorded (a sharing violation while
// another process has the file open).
bool take_write_lease(int fd, LeaseWatch* lease);
// Whether the file may still be written: true without a lease, and while
// a break that someone waits for has not run out.
bool lease_still_held(int fd, LeaseWatch* lease);
// The break time is read again, as by a new run.
void forget_lease_break_time(void);

// The descriptor that a file handle holds, and its file's mode and type;
// false, with the error recorded, for any other handle.
bool descriptor_and_mode(HANDLE handle, int* fd, unsigned* mode);
// Passes on the O_PATH descriptor a handle opened by path keeps: the
// caller closes it. -1 when the handle has none (any more).
int take_path_descriptor(HANDLE handle);
// The O_PATH descriptor of the file a hold is on; -1 for no hold.
int held_descriptor(HANDLE held);

// The user the run acts as, looked up once.
unsigned effective_user(void);

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
// Records that the report could not be written, which stops the run:
// true the first time only.
bool first_report_failure(void);
bool report_write_failed(void);
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
