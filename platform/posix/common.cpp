// Error codes, attribute words and time stamps: translated once, here.
#include "posix_internal.h"

#include <pthread.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>

// Each thread has its own, as on Windows.
static thread_local DWORD last_error = 0;
// The system's error number behind it, 0 when none was met.
static thread_local int last_number = 0;
// The reason the platform named itself, REASON_NONE when it did not.
static thread_local int last_kind = REASON_NONE;
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

void SetLastError(DWORD code) { set_last_error(code); }

void set_last_error(DWORD code) { set_last_error_as(code, 0); }

void set_last_error_as(DWORD code, int error) {
  last_error = code;
  last_number = error;
  last_kind = REASON_NONE;
}

void set_failure_reason(int kind) { last_kind = kind; }

// The number whose message fits a code that no errno came with.
static int number_of_code(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_ENVVAR_NOT_FOUND:
    case ERROR_NO_MORE_FILES: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    case ERROR_INVALID_PARAMETER: return EINVAL;
    default: return EIO;
  }
}

Reason last_failure_reason(void) {
  Reason reason = {last_kind, last_number, 0};
  if (reason.kind != REASON_NONE) return reason;
  switch (last_error) {
    // A running program is busy, not open in the usual sense: the system says so.
    case ERROR_SHARING_VIOLATION: reason.kind = last_number == ETXTBSY ? REASON_SYSTEM : REASON_IN_USE; break;
    case ERROR_LOCK_VIOLATION: reason.kind = REASON_IN_USE; break;
    case ERROR_DISK_FULL: reason.kind = last_number == EFBIG ? REASON_SIZE_LIMIT : REASON_NO_SPACE; break;
    case ERROR_FILENAME_EXCED_RANGE: reason.kind = REASON_TOO_LONG; break;
    case ERROR_OPERATION_ABORTED: reason.kind = REASON_STOPPED; break;
    default: reason.kind = REASON_SYSTEM;
  }
  if (reason.number == 0) reason.number = number_of_code(last_error);
  return reason;
}

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
    // A copy gives these for a stop, and for a lease that may have run out.
    case EINTR: code = ERROR_OPERATION_ABORTED; break;
    case ENOLCK: code = ERROR_LOCK_VIOLATION; break;
    case EINVAL: code = ERROR_INVALID_PARAMETER; break;
    default: code = ERROR_GEN_FAILURE; break;
  }
  set_last_error_as(code, error);
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
