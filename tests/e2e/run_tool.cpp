#include "run_tool.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

extern char** environ;

std::vector<std::string> exec_prefix() {
  std::vector<std::string> words;
  const char* prefix = std::getenv("BODYCUT_EXEC_PREFIX");
  if (prefix == nullptr) return words;
  std::istringstream in(prefix);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

static std::string name_of(const std::string& setting) { return setting.substr(0, setting.find('=')); }

// The test's environment with each setting added or replacing its name's
// value; a later setting of the same name wins.
static std::vector<std::string> merged_environment(const std::vector<std::string>& settings) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) merged.push_back(*entry);
  for (const std::string& setting : settings) {
    bool replaced = false;
    for (std::string& existing : merged) {
      if (name_of(existing) == name_of(setting)) {
        existing = setting;
        replaced = true;
      }
    }
    if (!replaced) merged.push_back(setting);
  }
  return merged;
}

static std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(&text[0]);
  result.push_back(nullptr);
  return result;
}

// Soft and hard limit both, so the run cannot raise it again.
static bool limit_child(int resource, long long bytes) {
  if (bytes < 0) return true;
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = (rlim_t)bytes;
  return setrlimit(resource, &limit) == 0;
}

// The first byte of a file, or of the first file in a directory that has
// one, -1 when there is none or it cannot be read. The read leaves the
// file's access time alone: the test checks it.
static int first_byte(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    int byte = -1;
    DIR* directory = opendir(path.c_str());
    for (struct dirent* entry; byte < 0 && directory != nullptr && (entry = readdir(directory)) != nullptr;)
      if (entry->d_name[0] != '.') byte = first_byte(path + "/" + entry->d_name);
    if (directory != nullptr) closedir(directory);
    return byte;
  }
  unsigned char byte = 0;
  int fd = open(path.c_str(), O_RDONLY | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(path.c_str(), O_RDONLY);
  bool got = fd >= 0 && read(fd, &byte, 1) == 1;
  if (fd >= 0) close(fd);
  return got ? byte : -1;
}

ToolRun run_tool(const std::string& executable, const std::string& directory, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment, const RunOptions& options) {
  std::vector<std::string> argv = exec_prefix();
  argv.push_back(executable);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envp = merged_environment(environment);
  std::vector<char*> argv_pointers = pointers(argv);
  std::vector<char*> envp_pointers = pointers(envp);
  std::string watched = options.kill_once_rewritten.empty() ? "" : directory + "/" + options.kill_once_rewritten;
  int watched_byte = watched.empty() ? -1 : first_byte(watched);

  int out_pipe[2];
  int err_pipe[2];
  if (options.terminal_output) {
    // Raw, so that the bytes read are the bytes written, line ends included.
    struct termios raw;
    if (openpty(&out_pipe[0], &out_pipe[1], nullptr, nullptr, nullptr) != 0 || tcgetattr(out_pipe[1], &raw) != 0)
      throw std::runtime_error("openpty failed");
    cfmakeraw(&raw);
    tcsetattr(out_pipe[1], TCSANOW, &raw);
  } else if (pipe(out_pipe) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    int out = options.output_file.empty() ? out_pipe[1] : open(options.output_file.c_str(), O_WRONLY);
    if (out < 0) _exit(123);
    dup2(out, STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    close(out_pipe[0]);
    close(err_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    for (int fd = 0; fd <= 2 && options.standard_closed; ++fd) close(fd);
    if (options.as_user >= 0 &&
        (setgroups(0, nullptr) != 0 || setgid((gid_t)options.as_user) != 0 || setuid((uid_t)options.as_user) != 0))
      _exit(125);
    // As from an interactive shell: the signal sent is neither ignored nor
    // blocked, whatever the test's own start was, unless asked.
    if (options.kill_after_microseconds >= 0 || !watched.empty()) {
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, options.kill_signal);
      sigprocmask(options.kill_signal_blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
      signal(options.kill_signal, SIG_DFL);
    }
    if (!limit_child(RLIMIT_FSIZE, options.file_size_limit) || !limit_child(RLIMIT_STACK, options.stack_limit) ||
        !limit_child(RLIMIT_AS, options.address_limit) || !limit_child(RLIMIT_NPROC, options.process_limit) ||
        !limit_child(RLIMIT_NOFILE, options.descriptor_limit))
      _exit(124);
    if (chdir(directory.c_str()) != 0) _exit(126);
    execvpe(argv_pointers[0], argv_pointers.data(), envp_pointers.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  ToolRun run{-1, "", ""};
  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.output, &run.errors};
  int open_count = 2;
  auto started = std::chrono::steady_clock::now();
  bool killed = options.kill_after_microseconds < 0 && watched.empty();
  int stalled_fd = -1;  // standard output's reader that reads no more
  auto killed_at = started;
  auto sent_at = started;
  while (open_count > 0) {
    int wait_ms = stalled_fd >= 0 ? 100 : -1;
    if (killed && options.kill_again_microseconds > 0 && options.kill_after_microseconds >= 0) {
      auto next = sent_at + std::chrono::microseconds(options.kill_again_microseconds);
      if (std::chrono::steady_clock::now() >= next) {
        kill(child, options.kill_signal);
        sent_at = std::chrono::steady_clock::now();
      }
      wait_ms = (int)(options.kill_again_microseconds / 1000) + 1;
    }
    // A run that waits on its stalled reader past a stop gets no longer.
    if (stalled_fd >= 0 && killed && options.kill_after_microseconds >= 0 &&
        std::chrono::steady_clock::now() - killed_at > std::chrono::seconds(10))
      kill(child, SIGKILL);
    if (!killed && !watched.empty()) {
      if (first_byte(watched) != watched_byte) {
        kill(child, options.kill_signal);
        killed = true;
      } else {
        wait_ms = 1;
      }
    } else if (!killed) {
      long elapsed =
          (long)std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started)
              .count();
      if (elapsed >= options.kill_after_microseconds) {
        kill(child, options.kill_signal);
        killed = true;
        killed_at = sent_at = std::chrono::steady_clock::now();
      } else {
        wait_ms = (int)((options.kill_after_microseconds - elapsed) / 1000) + 1;
      }
    }
    if (poll(fds, 2, wait_ms) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      bool limited = i == 0 && options.output_read_limit > 0;
      size_t wanted = limited ? options.output_read_limit - run.output.size() : sizeof chunk;
      ssize_t got = read(fds[i].fd, chunk, wanted < sizeof chunk ? wanted : sizeof chunk);
      if (got > 0) sinks[i]->append(chunk, (size_t)got);
      bool reader_gone = limited && run.output.size() == options.output_read_limit;
      if (reader_gone && options.output_stalls) {
        stalled_fd = fds[i].fd;
        fds[i].fd = -1;
        --open_count;
      } else if (reader_gone || got == 0 || (got < 0 && errno != EINTR)) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (stalled_fd >= 0) close(stalled_fd);
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}
