// Process start-up: sets the process up as the logic expects, then runs
// the driver and exits with its result.
#include "../../app/driver.h"
#include "command_line.h"
#include "posix_internal.h"

#include <sys/resource.h>
#include <clocale>
#include <csignal>
#include <cstring>

// A walk holds one directory open and one path buffer on the stack per
// level; the deepest walk a path allows needs more than the defaults.
static void raise_limit(int resource, rlim_t wanted) {
  struct rlimit limit;
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted ? wanted : limit.rlim_max;
  setrlimit(resource, &limit);
}

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  // A reader that goes away must not kill a run between two file steps.
  std::signal(SIGPIPE, SIG_IGN);
  raise_limit(RLIMIT_NOFILE, PATH_CAPACITY / 2 + 64);
  raise_limit(RLIMIT_STACK, (rlim_t)64 << 20);
#if BODYCUT_FAULT_INJECTION
  fault_arm_from_environment();
#endif
  RunSettings settings = default_run_settings();
  // Until the option parser comes: a leading --http, taken off the vector.
  if (argc > 1 && std::strcmp(argv[1], "--http") == 0) {
    settings.http_only = 1;
    argv[1] = argv[0];
    ++argv;
    --argc;
  }
  if (!form_command_line(argc, argv)) {
    write_console(
        "Target cannot be passed on exactly: it holds a line break or a quote before a blank, or is too long" LINE_END);
    return 1;
  }
  return bodycut_main(&settings);
}
