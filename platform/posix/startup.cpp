// Process start-up: sets the process up as the logic expects, reads the
// options, then runs the driver and exits with its result.
#include "../../app/driver.h"
#include "../../app/options.h"
#include "command_line.h"
#include "posix_internal.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <clocale>
#include <csignal>

// The signals that ask a run to stop between two files.
static const int stop_signals[] = {SIGTERM, SIGINT, SIGHUP};

// A walk holds one directory open per level; the deepest walk a path allows
// needs more than the default.
static void raise_limit(int resource, rlim_t wanted) {
  struct rlimit limit;
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted ? wanted : limit.rlim_max;
  setrlimit(resource, &limit);
}

// No SA_RESTART: a call the signal interrupts fails rather than waits on.
// A signal ignored at start, as under nohup, stays ignored. Each handler
// holds the others off, so that the first signal is the one recorded.
static void catch_stop_signals(void) {
  struct sigaction action = {};
  action.sa_handler = record_stop_signal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : stop_signals) sigaddset(&action.sa_mask, signal_number);
  for (int signal_number : stop_signals) {
    struct sigaction previous;
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signal_number, &action, nullptr);
  }
}

// A standard descriptor that was closed is taken by a file that cannot be
// written through it: else the first file the run opens would take its
// number, and a message meant for standard error could land in a file
// being stripped. Writes to it still fail, as they did.
static void hold_standard_descriptors(void) {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDONLY) != fd) break;
}

// The stop signals, and SIGIO where asked: a lease break is told by
// SIGIO, and one blocked would never come, so a lost lease would pass for
// one held.
static void mask_signals(int how, bool lease_breaks) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : stop_signals) sigaddset(&set, signal_number);
  if (lease_breaks) sigaddset(&set, SIGIO);
  pthread_sigmask(how, &set, nullptr);
}

struct DriverRun {
  RunSettings settings;
  int status;
};

static void* run_driver(void* argument) {
  DriverRun* run = static_cast<DriverRun*>(argument);
  run->status = bodycut_main(&run->settings);
  return nullptr;
}

// A level of a walk takes some 2 KiB of stack (twice that is allowed
// for) and a directory stream of 32 KiB; a strip at the bottom some 130
// KiB of stack (twice that is allowed for).
enum : size_t { LEVEL_BYTES = 4 << 10, STREAM_BYTES = 32 << 10, STRIP_BYTES = 256 << 10 };

// The levels a walk may enter on a stack of this many bytes; 0 when even
// a strip does not fit.
static size_t levels_on(size_t stack_bytes) {
  return stack_bytes > STRIP_BYTES + LEVEL_BYTES ? (stack_bytes - STRIP_BYTES) / LEVEL_BYTES : 0;
}

// Bytes of address space the limit still leaves the process; SIZE_MAX
// where nothing limits it, 0 where what it takes cannot be told.
static size_t address_space_free(void) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  char text[64] = "";
  int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  ssize_t got = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
  if (fd >= 0) close(fd);
  size_t pages = 0;
  for (ssize_t at = 0; at < got && text[at] >= '0' && text[at] <= '9'; ++at)
    pages = pages * 10 + (size_t)(text[at] - '0');
  size_t used = pages * (size_t)sysconf(_SC_PAGESIZE);
  return used != 0 && limit.rlim_cur > used ? (size_t)limit.rlim_cur - used : 0;
}

// Descriptors the descriptor limit still leaves the process; SIZE_MAX
// where it leaves room for anything a run holds.
static size_t descriptors_free(void) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= PATH_CAPACITY / 2) return SIZE_MAX;
  size_t open = 0;
  for (int fd = 0; fd < (int)limit.rlim_cur; ++fd) open += fcntl(fd, F_GETFD) >= 0;
  return (size_t)limit.rlim_cur - open;
}

// Workers' stacks come out of the address-space limit, and the files they
// hold (a body file, a file read, its hold, a directory looked through)
// out of the descriptor limit: no more start than leave half of what
// each leaves for the walk's directories. The walk itself strips too, so
// it counts as one, and holds its own stack already.
static unsigned workers_that_fit(unsigned asked) {
  enum { WORKER_DESCRIPTORS = 4 };
  size_t free = address_space_free();
  size_t descriptors = descriptors_free();
  size_t fit = free == SIZE_MAX ? SIZE_MAX : free / 2 / WORKER_STACK_BYTES + 1;
  size_t fit_descriptors = descriptors == SIZE_MAX ? SIZE_MAX : descriptors / 2 / WORKER_DESCRIPTORS;
  if (fit_descriptors < fit) fit = fit_descriptors > 1 ? fit_descriptors : 1;
  unsigned wanted = asked == 0 ? processor_count() : asked;
  return wanted <= fit ? asked : (unsigned)fit;
}

// The levels a walk may enter here, on the stack the process started on:
// it grows as it is used, within the stack limit (raised where it may
// be), and within the address-space limit, which the walk's directory
// streams take from too (a quarter mebibyte is left for what else
// grows); where what is taken of it cannot be told, none.
static size_t levels_on_first_stack(size_t most_bytes) {
  struct rlimit limit;
  raise_limit(RLIMIT_STACK, most_bytes);
  bool limited = getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
  size_t levels = levels_on(limited ? (size_t)limit.rlim_cur : most_bytes);
  size_t free = address_space_free();
  free = free > STRIP_BYTES + (256 << 10) ? free - STRIP_BYTES - (256 << 10) : 0;
  return free / (LEVEL_BYTES + STREAM_BYTES) < levels ? free / (LEVEL_BYTES + STREAM_BYTES) : levels;
}

// A stack for the driver's thread, mapped here so that a thread that
// cannot start leaves none mapped behind; its lowest page is a guard.
static void* map_stack(size_t bytes) {
  void* stack = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack != MAP_FAILED && mprotect(stack, (size_t)sysconf(_SC_PAGESIZE), PROT_NONE) == 0) return stack;
  if (stack != MAP_FAILED) munmap(stack, bytes);
  return nullptr;
}

// A walk takes stack for every level, and a path allows some two thousand
// levels. A thread's stack is sized here, not by RLIMIT_STACK: it is only
// address space until touched. Where an address-space limit refuses the
// first size, a smaller one serves: each level holds a directory stream
// of 32 KiB too, so the levels such a limit leaves room for take a
// sixteenth of it in stack at most, and none takes over half of what
// the limit leaves: the directory streams and the workers need the rest.
// Where no thread can start (a process limit) the driver runs here, or,
// where not even a strip fits, does not run. Either way the walk enters
// no more levels than its stack holds.
static void run_on_own_stack(DriverRun* run) {
  static const size_t stack_sizes[] = {64 << 20, 16 << 20, 4 << 20, 1 << 20};
  pthread_attr_t attributes;
  pthread_t thread;
  void* stack = nullptr;
  size_t stack_bytes = 0;
  bool started = false;
  bool startable = true;
  size_t free = address_space_free();
  for (size_t bytes : stack_sizes) {
    bool fits = bytes <= free / 2 || bytes == stack_sizes[sizeof stack_sizes / sizeof *stack_sizes - 1];
    if (started || !startable || !fits || (stack = map_stack(bytes)) == nullptr) continue;
    stack_bytes = bytes;
    run->settings.deepest_level = (unsigned)levels_on(bytes);
    run->settings.workers = workers_that_fit(run->settings.workers);
    startable = pthread_attr_init(&attributes) == 0;
    started = startable && pthread_attr_setstack(&attributes, stack, bytes) == 0 &&
              pthread_create(&thread, &attributes, run_driver, run) == 0;
    if (startable) pthread_attr_destroy(&attributes);
    startable = started;
    if (!started) munmap(stack, bytes);
  }
  if (!started) {
    size_t levels = levels_on_first_stack(stack_sizes[0]);
    run->settings.deepest_level = (unsigned)levels;
    // Nor would a worker's thread start: the walk strips its files itself.
    run->settings.workers = 1;
    if (levels != 0) run_driver(run);
    if (levels == 0)
      write_error("bodycut: no thread can start, and the stack or memory limit leaves too little to run" LINE_END);
    return;
  }
  // The stop signals go to the driver's thread, where they end a wait.
  mask_signals(SIG_BLOCK, false);
  pthread_join(thread, nullptr);
  mask_signals(SIG_UNBLOCK, false);
  munmap(stack, stack_bytes);
}

// Ends the process by the signal that stopped the run, as if uncaught, so
// that the caller learns why it ended. The signals are uncaught again
// before the last look: one that comes later ends the process itself.
static int end_by_stop_signal(int status) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int signal_number : stop_signals) {
    struct sigaction previous;
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == record_stop_signal)
      sigaction(signal_number, &action, nullptr);
  }
  int signal_number = requested_stop_signal();
  if (signal_number == 0) return status;
  raise(signal_number);
  return 128 + signal_number;
}

int main(int argc, char** argv) {
  hold_standard_descriptors();
  std::setlocale(LC_CTYPE, "");
  // A reader that goes away must not kill a run between two file steps.
  std::signal(SIGPIPE, SIG_IGN);
  // Nor a file over the size limit: its write fails, and the file reports
  // an error like any other whose write fails.
  std::signal(SIGXFSZ, SIG_IGN);
  raise_limit(RLIMIT_NOFILE, PATH_CAPACITY / 2 + 64);
#if BODYCUT_FAULT_INJECTION
  fault_arm_from_environment();
#endif
  Options options;
  OptionsOutcome outcome = parse_options(argc, argv, &options, names_something);
  if (outcome != OPTIONS_RUN) {
    int answered = answer_options(outcome, &options);
    return report_write_failed() ? 1 : answered;
  }
  if (!form_command_line(argc > 0 ? argv[0] : nullptr, options.target < argc ? argv[options.target] : nullptr)) {
    write_error(
        "bodycut: target cannot be passed on exactly: it holds a line break or a quote before a blank, or is "
        "too long" LINE_END);
    return 1;
  }
  catch_stop_signals();
  // Whoever started the run may have blocked them; every thread takes this
  // mask from here.
  mask_signals(SIG_UNBLOCK, true);
  DriverRun run = {options.settings, 1};
  run_on_own_stack(&run);
  return end_by_stop_signal(report_write_failed() ? 1 : run.status);
}
