// Error codes, attribute words and time stamps: translated once, here.
#include "posix_internal.h"

#include <pthread.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>

// Each thread has its own, as on Windows.
static thread_local DWORD last_error = 0;
// The signal that asked the run to stop, 0 while none has. Every thread
// reads it, and the handler may run on any of them: an atomic that takes
// no lock is safe in a handler too.
static std::atomic<int> stop_signal(0);
static_assert(ATOMIC_INT_LOCK_FREE == 2, "the stop flag takes no lock");

void record_stop_signal(int signal_number) { stop_signal.store(signal_number, std::memory_order_relaxed); }

// Whether a part of the report could not be written: the run stops as
// for a signal, and ends with status 1.
static std::atomic<int> report_failed(0);

bool first_report_failure(void) { return report_failed.exchange(1) == 0; }

bool report_write_failed(void) { return report_failed.load(std::memory_order_relaxed) != 0; }

bool stop_requested(void) {
  return stop_signal.load(std::memory_order_relaxed) != 0 || report_failed.load(std::memory_order_relaxed) != 0;
}

int requested_stop_signal(void) { return stop_signal.load(std::memory_order_relaxed); }

static unsigned run_user = 0;

static void look_up_run_user(void) { run_user = (unsigned)geteuid(); }

unsigned effective_user(void) {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, look_up_run_user);
  return run_user;
}

DWORD GetLastError(void) { return last_error; }

void set_last_error(DWORD code) { last_error = code; }

void set_last_error_from_errno(int error) {
  DWORD code;
  switch (error) {
    case ENOENT: code = ERROR_FILE_NOT_FOUND; break;
    case ENOTDIR: code = ERROR_PATH_NOT_FOUND; break;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ELOOP: code = ERROR_ACCESS_DENIED; break;
    case EMFILE:
    case ENFILE: code = ERROR_TOO_MANY_OPEN_FILES; break;
    case ENOMEM: code = ERROR_NOT_ENOUGH_MEMORY; break;
    case ENOSPC:
    case EDQUOT: code = ERROR_DISK_FULL; break;
    case ENAMETOOLONG: code = ERROR_FILENAME_EXCED_RANGE; break;
    case EWOULDBLOCK:
    case ETXTBSY: code = ERROR_SHARING_VIOLATION; break;
    case EFBIG: code = ERROR_DISK_FULL; break;
    case EBADF: code = ERROR_INVALID_HANDLE; break;
    case EINVAL: code = ERROR_INVALID_PARAMETER; break;
    default: code = ERROR_GEN_FAILURE; break;
  }
  last_error = code;
}

DWORD attributes_from_stat(const struct stat* status) {
  DWORD attributes = S_ISDIR(status->st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  if ((status->st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

FILETIME filetime_from_timespec(const struct timespec* time) {
  FILETIME stamp;
  stamp.seconds = time->tv_sec;
  stamp.nanoseconds = (std::int32_t)time->tv_nsec;
  return stamp;
}

struct timespec timespec_from_filetime(const FILETIME* time) {
  struct timespec stamp;
  stamp.tv_sec = (time_t)time->seconds;
  stamp.tv_nsec = time->nanoseconds;
  return stamp;
}

LONG CompareFileTime(const FILETIME* first, const FILETIME* second) {
  if (first->seconds != second->seconds) return first->seconds < second->seconds ? -1 : 1;
  if (first->nanoseconds != second->nanoseconds) return first->nanoseconds < second->nanoseconds ? -1 : 1;
  return 0;
}
