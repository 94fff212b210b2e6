// Shared by the POSIX implementation of the platform: the table of system
// calls, errors translated once into reasons, and the steps several
// operations take (resolution, leases, copies).
#ifndef BODYCUT_POSIX_INTERNAL_H
#define BODYCUT_POSIX_INTERNAL_H

#include "../fault_injection.h"
#include "../platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifndef BODYCUT_FAULT_INJECTION
#define BODYCUT_FAULT_INJECTION 0
#endif

// Whether this call of an operation or a system call is the one a test
// armed to fail; in the shipped build nothing is counted at all.
inline bool injected(int operation) {
#if BODYCUT_FAULT_INJECTION
  return fault_fires(operation);
#else
  (void)operation;
  return false;
#endif
}

// The table of system calls: each one fails here first, as the system would
// (an input/output error), when a test armed it; else it is the call itself.
namespace sys {
inline bool fails(int call) {
  if (!injected(FAULT_SYSTEM_CALL + call)) return false;
  errno = EIO;
  return true;
}
#define BODYCUT_CALL(name, params, args) \
  inline auto name params { return fails(SYSTEM_CALL_##name) ? -1 : ::name args; }
BODYCUT_CALL(open, (const char* p, int f, mode_t m = 0), (p, f, m))
BODYCUT_CALL(openat, (int d, const char* p, int f, mode_t m = 0), (d, p, f, m))
BODYCUT_CALL(statx, (int d, const char* p, int f, unsigned m, struct statx* s), (d, p, f, m, s))
BODYCUT_CALL(readlinkat, (int d, const char* p, char* b, size_t n), (d, p, b, n))
BODYCUT_CALL(pread, (int fd, void* b, size_t n, off_t at), (fd, b, n, at))
BODYCUT_CALL(pwrite, (int fd, const void* b, size_t n, off_t at), (fd, b, n, at))
BODYCUT_CALL(lseek, (int fd, off_t at, int whence), (fd, at, whence))
BODYCUT_CALL(copy_file_range, (int i, off_t* ia, int o, off_t* oa, size_t n), (i, ia, o, oa, n, 0))
BODYCUT_CALL(sendfile, (int o, int i, off_t* ia, size_t n), (o, i, ia, n))
BODYCUT_CALL(fallocate, (int fd, int mode, off_t at, off_t n), (fd, mode, at, n))
BODYCUT_CALL(ftruncate, (int fd, off_t n), (fd, n))
BODYCUT_CALL(futimens, (int fd, const struct timespec* t), (fd, t))
BODYCUT_CALL(fchmod, (int fd, mode_t m), (fd, m))
BODYCUT_CALL(fchmodat, (int d, const char* p, mode_t m), (d, p, m, 0))
BODYCUT_CALL(faccessat, (int d, const char* p, int m, int f), (d, p, m, f))
BODYCUT_CALL(fcntl, (int fd, int command, int argument = 0), (fd, command, argument))
BODYCUT_CALL(flock, (int fd, int operation), (fd, operation))
BODYCUT_CALL(unlinkat, (int d, const char* p, int f), (d, p, f))
BODYCUT_CALL(getrandom, (void* b, size_t n, unsigned f), (b, n, f))
BODYCUT_CALL(fstatfs, (int fd, struct statfs* s), (fd, s))
#undef BODYCUT_CALL
// A close that fails has let the descriptor go all the same, as Linux's does.
inline int close(int fd) {
  bool failing = fails(SYSTEM_CALL_close);
  int result = ::close(fd);
  if (failing) errno = EIO;
  return failing ? -1 : result;
}
inline long openat2(int d, const char* p, struct open_how* how) {
  return fails(SYSTEM_CALL_openat2) ? -1 : ::syscall(SYS_openat2, d, p, how, sizeof *how);
}
// The listing's reads of the directory, by the C library's stream.
inline struct dirent* getdents(DIR* directory) { return fails(SYSTEM_CALL_getdents) ? nullptr : ::readdir(directory); }
}  // namespace sys

// What went wrong, translated once from the error number, where it happened.
Reason reason_from_errno(int number);
inline Reason reason_from_errno_on_temporary(int number) {
  Reason reason = reason_from_errno(number);
  reason.temporary = 1;
  return reason;
}
inline Reason input_output_error(void) { return reason_from_errno(EIO); }

// The user the run acts as, whether the system keeps set-ID bits through
// its writes (CAP_FSETID), and whether the run may set any file's times
// (CAP_FOWNER), looked up once.
unsigned effective_user(void);
bool writes_keep_set_id_bits(void);
bool sets_any_files_times(void);
// What statx tells of fd (an O_PATH descriptor or an open file), and the
// facts the logic reads of that.
bool read_status(int fd, struct statx* status);
void facts_of(const struct statx* status, FileFacts* facts);
// The file system a status tells, as one number, and its mount (0 where
// the kernel does not tell).
std::uint64_t device_of(const struct statx* status);
std::uint64_t mount_of(const struct statx* status);
// Whether a place is on another mount than here, and so maybe on another
// file system; told by the file system where the kernel tells no mount.
// Files of one mount may tell different file systems (an overlay's).
inline bool elsewhere(std::uint64_t device, std::uint64_t mount, std::uint64_t here_device, std::uint64_t here_mount) {
  return mount != 0 && here_mount != 0 ? mount != here_mount : device != here_device;
}
// Opens relative below directory without following any symbolic link on
// the way; a link in the last place is opened as a link with O_NOFOLLOW.
// stay: nor through a mount point (EXDEV).
int open_beneath(int directory, const char* relative, int flags, bool stay = false);
inline FileStamp stamp_of(const struct statx_timestamp& time) {
  FileStamp stamp = {time.tv_sec, (std::int32_t)time.tv_nsec};
  return stamp;
}
inline struct timespec timespec_of(const FileStamp& stamp) {
  struct timespec time = {(time_t)stamp.count, stamp.remainder};
  return time;
}
// The monotonic clock, which no change of the wall clock moves, for waits
// and the times between steps.
std::int64_t monotonic_nanoseconds(void);

// The mode to put back, now the file's mode: wanted, but a set-ID bit only
// where the system may have dropped it on a write. It drops none for a run
// with CAP_FSETID (root): there a missing bit was taken away by the owner,
// and stays away.
inline unsigned mode_to_put_back(unsigned now, unsigned wanted) {
  unsigned set_id = S_ISUID | S_ISGID;
  return writes_keep_set_id_bits() ? (wanted & ~set_id) | (now & wanted & set_id) : wanted;
}

// Appends name to path (NUL-terminated, in capacity bytes), after a '/'
// unless path is empty or ends in one; false, and path unchanged, when the
// result would not fit.
inline bool append_name(char* path, size_t capacity, const char* name) {
  size_t length = std::strlen(path);
  bool slash = length > 0 && path[length - 1] != '/';
  if (length + slash + std::strlen(name) + 1 > capacity) return false;
  if (slash) path[length++] = '/';
  std::strcpy(path + length, name);
  return true;
}

// How many bytes of path name its directory: up to its last '/', the "/"
// itself for a name at the top; 0 for a name alone.
inline size_t directory_length(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? 0 : slash == path ? 1 : (size_t)(slash - path);
}

// The name under which /proc gives the very file a descriptor holds.
struct SelfPath {
  char text[32];
};
SelfPath self_path(int fd);
// Opens that very file again with flags; reading alone keeps its access
// time where the system allows. -1 with errno.
int reopen_descriptor(int path_fd, int flags);
// An O_PATH descriptor of what path names, its facts in *status: beneath
// root's directory below a walk's root, else as given. *through_link: a
// link below the root was followed to it. -1 with *why.
int resolve_path(const WalkRoot* root, const char* path, struct statx* status, Reason* why, int* through_link);
// A descriptor of the directory path names, opened with flags (O_RDONLY
// for listing, O_PATH), beneath the root's directory below a walk's root;
// -1 with errno.
int open_directory(const WalkRoot* root, const char* path, int flags);

// The read lease a source holds while it is read: no other process then
// writes the file unseen, not even through a mapping made earlier, which
// changes no time. A file open for writing, or mapped for it, gets none,
// and is not read.
enum {
  READ_LEASE_NONE,     // the file system or the run's rights give none: the file's times tell
  READ_LEASE_HELD,     // held, until the reading ends
  READ_LEASE_REFUSED,  // another process had the file open for writing
  READ_LEASE_BROKEN    // another process opened it for writing meanwhile
};
void take_read_lease(SourceFile* file);
// Whether another process may write, or have written, the file since it
// was opened for reading. A look costs no call while no lease of the
// process began to break.
bool read_lease_lost(SourceFile* file);

// The write lease a copy back holds (CopyBackTarget's members): taken, or
// where the file system keeps none an exclusive lock. REASON_IN_USE while
// another process has the file open.
Reason take_write_lease(int fd, CopyBackTarget* target);
// Whether the file may still be written: true without a lease, and while a
// break that someone waits for has not run out, a copy's next chunk
// (chunk_follows) included.
bool lease_still_held(CopyBackTarget* target, bool chunk_follows);

// A copy of count bytes from in at in_at to out at out_at.
struct CopyJob {
  int in;
  int out;
  off_t in_at;
  off_t out_at;
  off_t count;
  off_t out_size;         // bytes out holds already
  bool holes;             // only in's data is copied, and out gets holes there
  bool stoppable;         // a requested stop ends the copy
  CopyBackTarget* lease;  // out's, looked at before each step; null: none
  SourceFile* reading;    // in's read lease, looked at before each step; null: none
  // With holes: out's block size, at which a run of zeros in in's data is
  // left a hole in out too; 0: in's data is copied as it is.
  off_t block = 0;
};
// The bytes copied (fewer only where in ends first), or -1 with errno:
// EINTR for a stop, ENOLCK when out's lease may have run out, EBUSY when
// in's read lease was broken.
off_t copy_descriptor_bytes(const CopyJob* job);
// Cuts fd to length; a stop signal that interrupts it (a network file
// system may wait) does not leave a copy back half done. 0, or -1 with errno.
inline int cut_to(int fd, off_t length) {
  int result;
  do result = sys::ftruncate(fd, length);
  while (result != 0 && errno == EINTR);
  return result;
}
// Writes count bytes at offset at, however many writes it takes; false
// with errno (ENOSPC where the file system took none).
bool write_all_at(int out, const char* bytes, size_t count, off_t at);

// Records that the report could not be written, which stops the run: true
// the first time only.
bool first_report_failure(void);
bool report_write_failed(void);
// The handler of the stop signals, and the signal it recorded (0: none).
// A file in hand gives way to a signal alone: after a failed report no
// file is begun, but those in hand are finished, and told on standard
// error.
void record_stop_signal(int signal_number);
int requested_stop_signal(void);

#endif
