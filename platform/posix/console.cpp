// Console output, the stop flag, and errors translated into reasons.
#include "posix_internal.h"

#include <linux/capability.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <atomic>
#include <cstring>

// The signal that asked the run to stop, 0 while none has. Every thread
// reads it, and the handler may run on any of them: an atomic that takes
// no lock is safe in a handler too.
static std::atomic<int> stop_signal(0);
static_assert(ATOMIC_INT_LOCK_FREE == 2, "the stop flag takes no lock");
// Whether a part of the report could not be written: the run stops as for
// a signal, and ends with status 1.
static std::atomic<int> report_failed(0);

// The first signal is the one that stopped the run, and the one it ends by.
void record_stop_signal(int signal_number) {
  int none = 0;
  stop_signal.compare_exchange_strong(none, signal_number, std::memory_order_relaxed);
}
int requested_stop_signal(void) { return stop_signal.load(std::memory_order_relaxed); }
bool first_report_failure(void) { return report_failed.exchange(1) == 0; }
bool report_write_failed(void) { return report_failed.load(std::memory_order_relaxed) != 0; }

bool stop_requested(void) {
  return stop_signal.load(std::memory_order_relaxed) != 0 || report_failed.load(std::memory_order_relaxed) != 0;
}

static unsigned run_user = 0;
static bool set_id_kept = false;
static bool any_files_times = false;
static pthread_once_t run_user_once = PTHREAD_ONCE_INIT;

// Who the run acts as, and what its capabilities let it do, looked up once.
static void look_up_run_user(void) {
  run_user = (unsigned)geteuid();
  struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  struct __user_cap_data_struct data[2] = {};
  bool known = syscall(SYS_capget, &header, data) == 0;
  set_id_kept = known && (data[0].effective & (1u << CAP_FSETID)) != 0;
  any_files_times = known && (data[0].effective & (1u << CAP_FOWNER)) != 0;
}

unsigned effective_user(void) {
  pthread_once(&run_user_once, look_up_run_user);
  return run_user;
}

bool writes_keep_set_id_bits(void) {
  pthread_once(&run_user_once, look_up_run_user);
  return set_id_kept;
}

bool sets_any_files_times(void) {
  pthread_once(&run_user_once, look_up_run_user);
  return any_files_times;
}

Reason reason_from_errno(int number) {
  Reason reason = {REASON_SYSTEM, number, 0};
  switch (number) {
    case ENOSPC:
    case EDQUOT: reason.kind = REASON_NO_SPACE; break;
    case EFBIG: reason.kind = REASON_SIZE_LIMIT; break;
    case ENAMETOOLONG: reason.kind = REASON_TOO_LONG; break;
    // Another process holds a lease on it: it has the file open. A running
    // program (ETXTBSY) is busy in another sense, which the system says.
    case EWOULDBLOCK: reason.kind = REASON_IN_USE; break;
    // A copy gives these for a stop, and for a lease that may have run out.
    case EINTR: reason.kind = REASON_STOPPED; break;
    case ENOLCK: reason.kind = REASON_LEASE_LOST; break;
    // Opened beneath a walk's root that stays on its file system.
    case EXDEV: reason.kind = REASON_OTHER_FILE_SYSTEM; break;
    default: break;
  }
  if (reason.kind != REASON_SYSTEM) reason.number = 0;
  return reason;
}

// A pipe, a socket or a terminal may take nothing for now; a file and a
// device such as /dev/null take every write at once. Told once for
// standard output and standard error.
enum { OUTPUT_UNKNOWN, OUTPUT_AT_ONCE, OUTPUT_PIPE, OUTPUT_QUEUE };
static std::atomic<int> output_kinds[3];
// A reader that took nothing for this long after a stop is given up. A
// terminal or a socket that polls writable may have little room: it is
// written in small pieces, a pipe a page at a time.
enum { POLL_STEP_MS = 100, STOPPED_READER_WAIT_MS = 2000, QUEUE_PIECE = 256 };
static std::atomic<int> given_up[3];

static int output_kind(int fd) {
  int kind = output_kinds[fd].load(std::memory_order_relaxed);
  if (kind == OUTPUT_UNKNOWN) {
    struct stat status;
    bool known = fstat(fd, &status) == 0;
    kind = known && (S_ISSOCK(status.st_mode) || (S_ISCHR(status.st_mode) && isatty(fd))) ? OUTPUT_QUEUE
           : !known || S_ISFIFO(status.st_mode)                                           ? OUTPUT_PIPE
                                                                                          : OUTPUT_AT_ONCE;
    output_kinds[fd].store(kind, std::memory_order_relaxed);
  }
  return kind;
}

// The bytes written that the reader has not taken yet; -1 where the
// system does not tell.
static int unread_bytes(int fd, int kind) {
  int count = 0;
  return ioctl(fd, kind == OUTPUT_PIPE ? FIONREAD : TIOCOUTQ, &count) == 0 ? count : -1;
}

// All of text, or false with errno; *put_some tells whether a part of it
// went out. An output that may wait is written in pieces, each once it can
// take it, so that no thread sits in a write that only its reader can end.
// A reader that reads, however slowly, is waited for, also after a stop
// signal; one that has taken nothing for two seconds after it is given up,
// by the clock, so that signals that keep coming do not put it off.
static bool write_pieces(int fd, const char* text, bool* put_some) {
  std::size_t length = std::strlen(text);
  int kind = output_kind(fd);
  bool waits = kind != OUTPUT_AT_ONCE;
  std::size_t piece = kind == OUTPUT_PIPE ? PIPE_BUF : QUEUE_PIECE;
  long long idle_since = -1;
  int unread = -1;
  *put_some = false;
  while (length > 0) {
    if (waits && given_up[fd].load(std::memory_order_relaxed) != 0) {
      errno = EAGAIN;
      return false;
    }
    struct pollfd writable = {fd, POLLOUT, 0};
    int ready = waits ? poll(&writable, 1, POLL_STEP_MS) : 1;
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0 && requested_stop_signal() != 0) {
      int now_unread = unread_bytes(fd, kind);
      long long now = monotonic_nanoseconds() / 1000000;
      if (idle_since < 0 || (now_unread >= 0 && unread >= 0 && now_unread < unread)) idle_since = now;
      unread = now_unread;
      if (now - idle_since >= STOPPED_READER_WAIT_MS) given_up[fd].store(1, std::memory_order_relaxed);
    }
    if (ready <= 0) continue;
    ssize_t put = write(fd, text, waits && length > piece ? piece : length);
    if (put < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    idle_since = -1;
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      return false;
    }
    *put_some = true;
    text += put;
    length -= (std::size_t)put;
  }
  return true;
}

// One text at a time, across threads: standard output and standard error
// may be one terminal or pipe, and a text goes out in pieces, which no
// other thread's text may come between. A writer waits on its reader in
// steps, and gives up after a stop, so the others are not held for ever.
static pthread_mutex_t output_lock = PTHREAD_MUTEX_INITIALIZER;

static bool write_to(int fd, const char* text, bool* put_some) {
  pthread_mutex_lock(&output_lock);
  bool written = write_pieces(fd, text, put_some);
  int error = errno;
  pthread_mutex_unlock(&output_lock);
  errno = error;
  return written;
}

// Whether standard output and standard error are one file (2>&1, one
// terminal): a line cut on the one then needs its end before the other
// goes on.
static bool outputs_are_one_file(void) {
  struct stat out, err;
  return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 && out.st_dev == err.st_dev &&
         out.st_ino == err.st_ino;
}

// A report that cannot be written stops the run: nothing more is begun
// that it could not tell of. Standard error says why, once, and takes the
// rest of the report whole, the line that failed first: a file already
// done, by a worker too, is told, even where standard output kept part of
// its line.
void write_console(const char* text) {
  bool put_some = false;
  if (!report_write_failed()) {
    if (write_to(STDOUT_FILENO, text, &put_some)) return;
    char reason[128];
    const char* message = given_up[STDOUT_FILENO].load(std::memory_order_relaxed) != 0
                              ? "not read for two seconds after a stop signal"
                              : strerror_r(errno, reason, sizeof reason);
    char line[192] = "";
    if (put_some && outputs_are_one_file()) std::strcat(line, "\n");
    std::strcat(line, "bodycut: standard output: ");
    std::strncat(line, message, sizeof line - std::strlen(line) - 2);
    std::strcat(line, "\n");
    if (first_report_failure()) write_to(STDERR_FILENO, line, &put_some);
  }
  write_to(STDERR_FILENO, text, &put_some);
}

void write_error(const char* text) {
  bool put_some = false;
  write_to(STDERR_FILENO, text, &put_some);
}

void write_reason_line(const char* line) { write_error(line); }

void describe_system_error(int number, char* out, unsigned size) {
  char buffer[128];
  const char* message = strerror_r(number, buffer, sizeof buffer);
  unsigned length = 0;
  for (; size > 0 && length < size - 1 && message[length] != '\0'; ++length) out[length] = message[length];
  if (size > 0) out[length] = '\0';
}

// A name may hold any byte but '/' and NUL. The backslash starts every
// escape, so it is escaped itself; every other byte from 0x20 up, 0x7F
// aside, stands for itself, so most names read as they are.
unsigned report_name(const char* name, char* out) {
  static const char hex[] = "0123456789abcdef";
  unsigned length = 0;
  for (const unsigned char* at = reinterpret_cast<const unsigned char*>(name); *at != 0; ++at) {
    unsigned char byte = *at;
    char named = byte == '\\' ? '\\' : byte == '\n' ? 'n' : byte == '\t' ? 't' : byte == '\r' ? 'r' : '\0';
    if (named != '\0') {
      out[length++] = '\\';
      out[length++] = named;
    } else if (byte < 0x20 || byte == 0x7F) {
      out[length++] = '\\';
      out[length++] = 'x';
      out[length++] = hex[byte >> 4];
      out[length++] = hex[byte & 15];
    } else {
      out[length++] = (char)byte;
    }
  }
  out[length] = '\0';
  return length;
}
