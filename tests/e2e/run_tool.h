// Runs the built executable as a user would, in a directory of the test's
// choosing, with an optional exec prefix (a memory checker, an emulator).
#ifndef BODYCUT_TESTS_RUN_TOOL_H
#define BODYCUT_TESTS_RUN_TOOL_H

#include <string>
#include <utility>
#include <vector>

struct ToolRun {
  int status;  // exit status, or -1 when it did not exit normally
  std::string output;
  std::string errors;
};

struct RunOptions {
  int as_user = -1;                   // run under this user id (and group), when >= 0
  long kill_after_microseconds = -1;  // SIGKILL the run this long after its start, when >= 0
  bool terminal_output = false;       // standard output on a raw pseudo-terminal, not a pipe
};

// environment: NAME=VALUE settings added to (or replacing in) the test's own.
ToolRun run_tool(const std::string& executable, const std::string& directory, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment, const RunOptions& options = RunOptions());

// BODYCUT_EXEC_PREFIX, split at blanks.
std::vector<std::string> exec_prefix();

#endif
