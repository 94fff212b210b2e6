// Runs the built executable as a user would, in a directory of the test's
// choosing, with an optional exec prefix (a memory checker, an emulator).
#ifndef BODYCUT_TESTS_RUN_TOOL_H
#define BODYCUT_TESTS_RUN_TOOL_H

#include <csignal>
#include <string>
#include <utility>
#include <vector>

struct ToolRun {
  int status;  // exit status, or -1 when it did not exit normally
  std::string output;
  std::string errors;
  int signal = 0;  // the signal that ended it, 0 when it exited
};

struct RunOptions {
  int as_user = -1;                   // run under this user id (and group), when >= 0
  long kill_after_microseconds = -1;  // send kill_signal this long after the start, when >= 0
  int kill_signal = SIGKILL;          // what kill_after_microseconds sends
  long kill_again_microseconds = -1;  // and sends again this often until the run ends, when > 0
  bool kill_signal_blocked = false;   // started with kill_signal blocked, as a launcher may leave it
  long long file_size_limit = -1;     // RLIMIT_FSIZE of the run in bytes, when >= 0
  long long stack_limit = -1;         // RLIMIT_STACK, soft and hard, in bytes, when >= 0
  long long address_limit = -1;       // RLIMIT_AS, in bytes, when >= 0
  long long process_limit = -1;       // RLIMIT_NPROC, when >= 0
  long long descriptor_limit = -1;    // RLIMIT_NOFILE, when >= 0
  bool terminal_output = false;       // standard output on a raw pseudo-terminal, not a pipe
  // Send kill_signal once the first byte of this file (a path from the
  // run's directory) is no longer what it was: its rewriting has begun.
  // For a directory: the first byte of the first file in it that has one.
  std::string kill_once_rewritten = "";
  std::string output_file;       // standard output written to this file (/dev/full), not a pipe
  bool standard_closed = false;  // started with standard input, output and error closed
  size_t output_read_limit = 0;  // the reader of standard output goes away after this many bytes, when > 0
  bool output_stalls = false;    // with output_read_limit: the reader stays, and reads no more
};

// environment: NAME=VALUE settings added to (or replacing in) the test's own.
ToolRun run_tool(const std::string& executable, const std::string& directory, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment, const RunOptions& options = RunOptions());

// BODYCUT_EXEC_PREFIX, split at blanks.
std::vector<std::string> exec_prefix();

#endif
