// Walks end to end: order, paths at the capacity limit, and tree runs in
// which platform calls fail on purpose.
#include "run_tool.h"
#include "support/scratch.h"
#include "target.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const std::string HEADER = "HTTP/1.1 200 OK\r\n\r\n";
const unsigned PATH_LIMIT = 4095;  // bytes of path, the NUL not counted

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

ToolRun run_in(const Scratch& scratch, const std::vector<std::string>& arguments,
               const std::string& executable = tool_path(BODYCUT_EXE), const std::string& fault = "",
               const RunOptions& options = RunOptions()) {
  std::vector<std::string> environment = temp_environment(scratch.path("tmp"));
  if (!fault.empty()) environment.push_back("BODYCUT_FAULT=" + fault);
  return run_tool(executable, scratch.path("work"), arguments, environment, options);
}

// The rest of these cases need the POSIX build: its path capacity, its
// fault-injecting twin.
#define SKIP_ON_WINDOWS() \
  if (windows_target()) GTEST_SKIP() << "POSIX build only"

// Every directory's files come as one block: a subdirectory is walked
// whole when it is met, before the entries that follow it.
TEST(Walk, DepthFirst) {
  Scratch scratch;
  scratch.make_directory("tmp");
  const char* const files[] = {"t/a",         "t/b",    "t/c",    "t/s1/a", "t/s1/b", "t/s1/deep/a",
                               "t/s1/deep/b", "t/s2/a", "t/s2/b", "t/s2/c", "t/z"};
  for (const char* name : files) scratch.write(std::string("work/") + name, HEADER + name);
  ToolRun run = run_in(scratch, {"t"});
  EXPECT_EQ(run.status, 1);
  bool well_ended = false;
  std::vector<std::string> lines = report_lines(run.output, &well_ended);
  EXPECT_TRUE(well_ended);
  ASSERT_EQ(lines.size(), sizeof files / sizeof files[0]);
  for (const std::string& directory : {native("t/s1/"), native("t/s1/deep/"), native("t/s2/")}) {
    int first = -1, last = -1, count = 0;
    for (int i = 0; i < (int)lines.size(); ++i) {
      if (lines[i].compare(0, directory.size(), directory) != 0) continue;
      if (first < 0) first = i;
      last = i;
      ++count;
    }
    EXPECT_EQ(last - first + 1, count) << directory << " is not one block:\n" << run.output;
  }
  for (const char* name : files) EXPECT_EQ(scratch.read(std::string("work/") + name), name);
}

// Builds a chain of directories below work/ whose names have the given
// lengths, without ever naming a path longer than the system takes.
class DeepTree {
 public:
  DeepTree(const Scratch& scratch, const std::string& top, int levels, int name_length) {
    scratch.make_directory("work/" + top);
    path_ = top;
    fd_ = open(scratch.path("work/" + top).c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < levels; ++level) {
      std::string name(name_length, (char)('a' + level % 26));
      if (mkdirat(fd_, name.c_str(), 0755) != 0) throw std::runtime_error("mkdirat failed");
      int next = openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY);
      close(fd_);
      fd_ = next;
      path_ += "/" + name;
    }
  }
  ~DeepTree() { close(fd_); }
  const std::string& path() const { return path_; }
  void write(const std::string& name, const std::string& bytes) const {
    int fd = openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size()) throw std::runtime_error("write");
    close(fd);
  }
  std::string read(const std::string& name) const {
    int fd = openat(fd_, name.c_str(), O_RDONLY);
    std::string bytes;
    char chunk[4096];
    for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;) bytes.append(chunk, (size_t)got);
    close(fd);
    return bytes;
  }
  void make_directory(const std::string& name) const { mkdirat(fd_, name.c_str(), 0755); }

 private:
  int fd_;
  std::string path_;
};

// A file whose path just fits is stripped; one byte more and the entry is
// reported with its whole path and left alone; a directory whose search
// pattern would not fit is reported the same way.
TEST(Walk, PathsAtTheCapacityLimit) {
  SKIP_ON_WINDOWS();
  Scratch scratch;
  scratch.make_directory("tmp");
  DeepTree tree(scratch, "deep", 20, 200);  // "deep" and 20 times "/" + 200 bytes
  const size_t base = tree.path().size() + 1;
  ASSERT_EQ(base, 4025u);
  const std::string fits(PATH_LIMIT - base, 'f');           // path of exactly 4095 bytes
  const std::string too_long(PATH_LIMIT + 1 - base, 'g');   // 4096 bytes
  const std::string directory(PATH_LIMIT - 2 - base, 'd');  // 4093: "/*.*" does not fit
  tree.write(fits, HEADER + "fits");
  tree.write(too_long, HEADER + "too long");
  tree.write("short", HEADER + "short");
  tree.make_directory(directory);

  ToolRun run = run_in(scratch, {"deep"});
  EXPECT_EQ(run.status, 1);
  std::vector<std::string> lines = lines_of(run.output);
  std::set<std::string> got(lines.begin(), lines.end());
  std::set<std::string> expected = {tree.path() + "/" + fits + " : ok", tree.path() + "/" + too_long + " : error",
                                    tree.path() + "/short : ok", tree.path() + "/" + directory + " : error"};
  EXPECT_EQ(got, expected);
  EXPECT_EQ(lines.size(), 4u);
  std::vector<std::string> said = lines_of(run.errors);
  EXPECT_EQ(std::set<std::string>(said.begin(), said.end()),
            (std::set<std::string>{"bodycut: " + tree.path() + "/" + too_long + ": path too long",
                                   "bodycut: " + tree.path() + "/" + directory + ": path too long"}));
  EXPECT_EQ(tree.read(fits), "fits");
  EXPECT_EQ(tree.read(too_long), HEADER + "too long");
  EXPECT_EQ(tree.read("short"), "short");
  EXPECT_TRUE(scratch.list("tmp").empty());
  // Standard output takes that entry's directory and no more: its whole
  // line goes to standard error.
  scratch.write("out", "");
  RunOptions limited;
  limited.output_file = scratch.path("out");
  limited.file_size_limit = (long long)base;
  ToolRun cut = run_in(scratch, {tree.path() + "/g*"}, tool_path(BODYCUT_EXE), "", limited);
  EXPECT_NE(cut.errors.find("\n" + tree.path() + "/" + too_long + " : error\n"), std::string::npos) << cut.errors;
  // Named as the target, that directory is refused as too long.
  ToolRun named = run_in(scratch, {tree.path() + "/" + directory});
  EXPECT_EQ(named.output, "Target too long\n");
  EXPECT_EQ(named.status, 1);
}

// However low the stack limit, a walk reaches the deepest tree a path
// allows: the driver runs on a stack of its own. Under an address-space
// limit too low for that stack, a smaller one holds the walk, and where
// memory runs out the directory that cannot be listed gets its line. Where
// no thread can start (a user at the process limit), the walk goes no
// deeper than the stack limit lets it, and the next directory says so.
// Workers leave the walk what it needs of such a limit.
TEST(Walk, DeepestTreeUnderLowLimits) {
  SKIP_ON_WINDOWS();
  const struct {
    long long stack_limit, address_limit, process_limit;
    const char* said;  // on standard error, the walk cut short
    int levels = 2040;
    const char* workers = "1";
  } cases[] = {
    {8 << 20, -1, -1, ""},
    {2 << 20, -1, 1, ": nested too deep for the run's stack\n"},
#if !defined(__SANITIZE_ADDRESS__)  // its shadow memory needs more address space than any such limit
    {-1, 40 << 20, -1, ": Cannot allocate memory\n"},
    {-1, 40 << 20, 1, ": nested too deep for the run's stack\n"},
    {-1, 24 << 20, -1, "", 60, "16"}
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    // A process limit holds only for a user who is not root.
    if (c.process_limit >= 0 && geteuid() != 0) continue;
    Scratch scratch;
    chmod(scratch.root().c_str(), 0755);
    scratch.make_directory("tmp");
    DeepTree tree(scratch, "deep", c.levels, 1);  // "deep", then "/" and a letter a level
    ASSERT_EQ(tree.path().size(), 4 + 2u * c.levels);
    tree.write("f", HEADER + "bottom");
    RunOptions options;
    options.stack_limit = c.stack_limit;
    options.address_limit = c.address_limit;
    options.process_limit = c.process_limit;
    if (c.process_limit >= 0) options.as_user = 65534;
    ToolRun run = run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {"-j", c.workers, "deep"},
                           temp_environment(scratch.path("tmp")), options);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 1);
    if (*c.said == '\0') EXPECT_EQ(run.output, tree.path() + "/f : ok\n");
    if (*c.said != '\0') EXPECT_NE(run.errors.find(c.said), std::string::npos) << run.errors;
    EXPECT_EQ(tree.read("f"), *c.said == '\0' ? "bottom" : HEADER + "bottom");
    EXPECT_TRUE(scratch.list("tmp").empty());
  }
}

// Several workers write the very report one worker writes, in the walk's
// order, and strip the same files the same way: files with and without a
// header end, bodies of every size, hard links and links met twice,
// directories that cannot be listed, a directory full of files.
TEST(Walk, SameReportAtAnyWorkerCount) {
  SKIP_ON_WINDOWS();
  std::string report;
  std::string reasons;
  std::map<std::string, std::string> outcome;
  // Under a low descriptor limit, as many workers start as leave the walk
  // its directories.
  const struct {
    const char* workers;
    long long descriptor_limit = -1;
  } cases[] = {{"1"}, {"2"}, {"8"}, {"16", 24}};
  for (const auto& c : cases) {
    const char* workers = c.workers;
    SCOPED_TRACE(workers);
    Scratch scratch;
    scratch.make_directory("tmp");
    for (int i = 0; i < 300; ++i) {
      std::string name = "t/d" + std::to_string(i % 5) + "/s" + std::to_string(i % 3) + "/f" + std::to_string(i);
      scratch.write("work/" + name, i % 11 == 0 ? "no header end" : HEADER + std::string((size_t)i * 977, 'b'));
    }
    scratch.write("work/t/hl/page", HEADER + "PART1\r\n\r\nPART2");
    for (int i = 0; i < 4; ++i) {
      link(scratch.path("work/t/hl/page").c_str(), scratch.path("work/t/d" + std::to_string(i) + "/copy").c_str());
      symlink("../hl/page", scratch.path("work/t/d" + std::to_string(i) + "/link").c_str());
    }
    mkfifo(scratch.path("work/t/d2/fifo").c_str(), 0600);
    RunOptions options;
    options.descriptor_limit = c.descriptor_limit;
    ToolRun run = run_in(scratch, {"-j", workers, "t"}, tool_path(BODYCUT_EXE), "", options);
    EXPECT_EQ(run.status, 1);
    // Each reason line follows its file's report line.
    if (reasons.empty()) reasons = run.errors;
    EXPECT_EQ(run.errors, reasons);
    if (report.empty()) report = run.output;
    EXPECT_EQ(run.output, report);
    EXPECT_EQ(scratch.read("work/t/hl/page"), "PART1\r\n\r\nPART2");
    std::map<std::string, std::string> files;
    for (int i = 0; i < 300; ++i) {
      std::string name = "t/d" + std::to_string(i % 5) + "/s" + std::to_string(i % 3) + "/f" + std::to_string(i);
      files[name] = scratch.read("work/" + name);
    }
    if (outcome.empty()) outcome = files;
    EXPECT_TRUE(files == outcome);
    EXPECT_TRUE(scratch.list("tmp").empty());
  }
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 310);
  // The files without a header end, and the FIFO.
  EXPECT_EQ(std::count(reasons.begin(), reasons.end(), '\n'), 29) << reasons;
  EXPECT_NE(reasons.find("bodycut: t/d2/fifo: not a regular file\n"), std::string::npos) << reasons;
}

// A file system mounted inside the tree, and a directory and a file of the
// same one bound there, in a mount namespace of the run's own that goes
// away with it: with -x each mount point gets its line and nothing below
// is touched, nor reached through a link.
TEST(Walk, OneFileSystemSkipsMountPoints) {
  SKIP_ON_WINDOWS();
  if (std::system("unshare -rm true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no mount namespace can be made here";
  const std::string script =
      "mount --bind \"$PWD/elsewhere\" t/bound && mount --bind \"$PWD/elsewhere/c\" t/boundfile && "
      "mount -t tmpfs none t/tmpfs && printf 'H\\r\\n\\r\\nD' > t/tmpfs/d && exec \"$0\" \"$@\"";
  for (const char* option : {"-x", "--one-file-system"}) {
    SCOPED_TRACE(option);
    Scratch scratch;
    scratch.make_directory("tmp");
    scratch.write("work/t/a", HEADER + "A");
    scratch.write("work/t/sub/b", HEADER + "B");
    scratch.write("work/elsewhere/c", HEADER + "C");
    scratch.write("work/t/boundfile", HEADER + "F");
    scratch.make_directory("work/t/bound");
    scratch.make_directory("work/t/tmpfs");
    symlink("bound/c", scratch.path("work/t/via").c_str());
    symlink("tmpfs/d", scratch.path("work/t/linkfile").c_str());
    ToolRun run =
        run_tool("unshare", scratch.path("work"), {"-rm", "sh", "-c", script, tool_path(BODYCUT_EXE), option, "t"},
                 temp_environment(scratch.path("tmp")));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors, "");
    std::vector<std::string> lines = lines_of(run.output);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"t/a : ok", "t/bound : skipped", "t/boundfile : skipped",
                                               "t/linkfile : skipped", "t/sub/b : ok", "t/tmpfs : skipped",
                                               "t/via : skipped"}));
    EXPECT_EQ(scratch.read("work/elsewhere/c"), HEADER + "C");
    EXPECT_EQ(scratch.read("work/t/sub/b"), "B");
  }
}

struct TreeFile {
  std::string name;
  std::string before;
  std::string body;  // what it holds once stripped
};

std::vector<TreeFile> small_tree() {
  std::vector<TreeFile> files;
  const char* const names[] = {"t/a.htm", "t/sub/b.htm", "t/sub/c.htm"};
  for (const char* name : names) {
    std::string body = std::string(name) + std::string(40000, '.') + name;
    files.push_back({name, HEADER + body, body});
  }
  return files;
}

// Each file of a tree run ends stripped, untouched, or with its body whole
// in the one temporary file left; its line says "ok" exactly when it was
// stripped; and the walk goes on after a failed file. Only a file below a
// directory that could not be listed gets no line.
void check_tree_invariant(const Scratch& scratch, const std::vector<TreeFile>& files, const ToolRun& run) {
  std::map<std::string, std::string> outcome;
  bool unlisted = false;
  for (const std::string& line : lines_of(run.output)) {
    unlisted |= line == "Source open error";
    if (line == "Source open error") continue;
    size_t colon = line.rfind(" : ");
    ASSERT_NE(colon, std::string::npos) << line;
    outcome[line.substr(0, colon)] = line.substr(colon + 3);
  }
  std::vector<std::string> left = scratch.list("tmp");
  ASSERT_LE(left.size(), 1u);
  std::string left_bytes = left.empty() ? "" : scratch.read("tmp/" + left[0]);
  for (const TreeFile& file : files) {
    std::string after = scratch.read("work/" + file.name);
    std::string name = file.name;
    auto reported = outcome.find(name);
    if (after == file.body && reported != outcome.end() && reported->second == "ok") continue;
    if (after == file.before) {
      bool below_failed = unlisted;
      for (size_t slash = name.rfind('/'); slash != std::string::npos && slash > 0; slash = name.rfind('/', slash - 1))
        below_failed |= outcome.count(name.substr(0, slash)) != 0 && outcome[name.substr(0, slash)] == "error";
      EXPECT_TRUE(reported == outcome.end() ? below_failed : reported->second == "error") << name;
      continue;
    }
    EXPECT_EQ(left_bytes, file.body) << name << " was changed and its body kept nowhere";
    EXPECT_EQ(reported->second, "error") << name;
  }
}

TEST(WalkFaults, CopyBackFailingMidwayKeepsThatBodyAndGoesOn) {
  SKIP_ON_WINDOWS();
  Scratch scratch;
  scratch.make_directory("tmp");
  std::vector<TreeFile> files = small_tree();
  for (const TreeFile& file : files) scratch.write("work/" + file.name, file.before);
  ToolRun run = run_in(scratch, {"t"}, BODYCUT_FAULTS_EXE, "copy_body_back_short:1");
  EXPECT_EQ(run.status, 1);
  std::vector<std::string> lines = lines_of(run.output);
  ASSERT_EQ(lines.size(), 3u);
  int errors = 0;
  for (const std::string& line : lines) errors += line.size() > 8 && line.substr(line.size() - 8) == " : error";
  EXPECT_EQ(errors, 1) << run.output;
  ASSERT_EQ(scratch.list("tmp").size(), 1u);
  check_tree_invariant(scratch, files, run);
}

// With one worker and with two, whose calls count in one sequence.
TEST(WalkFaults, EveryCallOfATreeRunFailingInTurn) {
  SKIP_ON_WINDOWS();
  for (const char* workers : {"1", "2"}) {
    SCOPED_TRACE(workers);
    unsigned runs = 0;
    for (unsigned nth = 1; nth < 1000; ++nth) {
      Scratch scratch;
      scratch.make_directory("tmp");
      std::vector<TreeFile> files = small_tree();
      for (const TreeFile& file : files) scratch.write("work/" + file.name, file.before);
      // A link is looked at before it is opened: it gets its line too.
      scratch.write("work/outside.htm", HEADER + "outside");
      symlink("../../outside.htm", scratch.path("work/t/sub/l.htm").c_str());
      files.push_back({"t/sub/l.htm", HEADER + "outside", "outside"});
      ToolRun run = run_in(scratch, {"-j", workers, "t"}, BODYCUT_FAULTS_EXE, std::to_string(nth));
      if (run.errors.find("fault injected") == std::string::npos) break;
      SCOPED_TRACE(run.errors);
      ++runs;
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.errors.find("fault injected"), run.errors.rfind("fault injected")) << "more than one fault";
      check_tree_invariant(scratch, files, run);
    }
    EXPECT_GT(runs, 40u);
  }
}

TEST(WalkFaults, SingleFileCopyBackFailures) {
  SKIP_ON_WINDOWS();
  struct {
    const char* fault;
    int status;
    bool body_left;
    std::string name = "p";
    std::string shown = "p";  // as the line that tells where the body is gives it
    // Started with no standard descriptors: the file that takes the number
    // of standard error must not get the fault's message.
    bool closed = false;
  } cases[] = {{"open_copy_back_target:1", 1, false},
               {"copy_body_back_short:1", 1, true},
               {"close_body_file:1", 0, true},
               {"copy_body_back_short:1", 1, true, "p\tx\x1b : ok", "p\\tx\\x1b : ok"},
               {"ftruncate:1", 1, true, "p", "p", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    Scratch scratch;
    scratch.make_directory("tmp");
    std::string body(100000, 'b');
    scratch.write("work/" + c.name, HEADER + body);
    RunOptions options;
    options.standard_closed = c.closed;
    ToolRun run = run_in(scratch, {c.name}, BODYCUT_FAULTS_EXE, c.fault, options);
    EXPECT_EQ(run.status, c.status);
    if (c.closed) {
      EXPECT_TRUE(scratch.read("work/p") == std::string(HEADER.size() + body.size(), 'b'));
      EXPECT_TRUE(scratch.read("tmp/" + scratch.list("tmp").at(0)) == body);
      continue;
    }
    EXPECT_EQ(run.output, c.status == 0 ? "" : "error\n");
    std::vector<std::string> left = scratch.list("tmp");
    ASSERT_EQ(left.size(), c.body_left ? 1u : 0u);
    if (c.body_left) EXPECT_TRUE(scratch.read("tmp/" + left[0]) == body);
    // Where a failed run keeps the only whole body, it says where.
    if (c.body_left && c.status != 0)
      EXPECT_NE(run.errors.find("\n" + c.shown + " : not stripped whole; its whole body is kept in " +
                                scratch.path("tmp/" + left[0]) + "\n"),
                std::string::npos)
          << run.errors;
    // Where a run leaves a whole body behind, kept or not deleted, it says where.
    if (c.body_left) EXPECT_NE(run.errors.find(left[0]), std::string::npos) << run.errors;
    if (!c.body_left) EXPECT_EQ(scratch.read("work/" + c.name), HEADER + body);
  }
}

}  // namespace
