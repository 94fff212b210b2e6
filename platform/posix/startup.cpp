// Process start-up: sets the process up as the logic expects, reads the
// options, then runs the driver and exits with its result.
#include "../../app/driver.h"
#include "../../app/options.h"
#include "command_line.h"
#include "posix_internal.h"

#include <sys/resource.h>
#include <clocale>
#include <csignal>

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
  // Nor a file over the size limit: its write fails, and the file reports
  // an error like any other whose write fails.
  std::signal(SIGXFSZ, SIG_IGN);
  raise_limit(RLIMIT_NOFILE, PATH_CAPACITY / 2 + 64);
  raise_limit(RLIMIT_STACK, (rlim_t)64 << 20);
#if BODYCUT_FAULT_INJECTION
  fault_arm_from_environment();
#endif
  Options options;
  OptionsOutcome outcome = parse_options(argc, argv, &options);
  if (outcome != OPTIONS_RUN) return answer_options(outcome);
  if (!form_command_line(argc > 0 ? argv[0] : nullptr, options.target < argc ? argv[options.target] : nullptr)) {
    write_console(
        "Target cannot be passed on exactly: it holds a line break or a quote before a blank, or is too long" LINE_END);
    return 1;
  }
  return bodycut_main(&options.settings);
}
