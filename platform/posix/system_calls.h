// The system calls the POSIX platform makes, each through one table so
// that a test build can fail the nth call of any (fault_injection.h).
#ifndef BODYCUT_POSIX_SYSTEM_CALLS_H
#define BODYCUT_POSIX_SYSTEM_CALLS_H

// X(name): one row per system call; the implementation fills the table.
#define SYSTEM_CALLS(X) \
  X(open)               \
  X(openat)             \
  X(openat2)            \
  X(statx)              \
  X(readlinkat)         \
  X(pread)              \
  X(pwrite)             \
  X(lseek)              \
  X(copy_file_range)    \
  X(sendfile)           \
  X(fallocate)          \
  X(ftruncate)          \
  X(futimens)           \
  X(fchmod)             \
  X(fchmodat)           \
  X(faccessat)          \
  X(fcntl)              \
  X(flock)              \
  X(unlinkat)           \
  X(close)              \
  X(getdents)           \
  X(getrandom)          \
  X(fstatfs)

#endif
