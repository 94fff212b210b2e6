// Hostile conditions end to end: two runs at once, runs killed midway,
// files and directories the user may not read, names no shell likes.
#include "run_tool.h"
#include "support/scratch.h"
#include "target.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <future>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const std::string HEADER = "HTTP/1.1 200 OK\r\nServer: test\r\n\r\n";

#define POSIX_BUILD_ONLY(why) \
  if (windows_target()) GTEST_SKIP() << "POSIX build only: " why

// Bodies hold no CR LF CR LF, so a second strip of a stripped file fails
// and leaves it whole: any other content means bytes were lost or mixed.
std::string body_of(int index, size_t size) {
  std::string body = "body " + std::to_string(index) + " ";
  while (body.size() < size) body += (char)('a' + body.size() % 26);
  return body;
}

std::vector<std::string> make_tree(const Scratch& scratch, int files, size_t size) {
  std::vector<std::string> names;
  for (int i = 0; i < files; ++i) {
    std::string name = "t/d" + std::to_string(i % 7) + "/f" + std::to_string(i);
    scratch.write("work/" + name, HEADER + body_of(i, size));
    names.push_back(name);
  }
  return names;
}

// The bodies found whole in files the runs left in the temporary directory.
std::set<std::string> bodies_left(const Scratch& scratch) {
  std::set<std::string> bodies;
  for (const std::string& name : scratch.list("tmp")) bodies.insert(scratch.read("tmp/" + name));
  return bodies;
}

TEST(Hostile, TwoRunsOnOneTreeNeverMixBytes) {
  for (int round = 0; round < 3; ++round) {
    Scratch scratch;
    scratch.make_directory("tmp");
    std::vector<std::string> names = make_tree(scratch, 200, 30000 + round * 20000);
    auto run = [&] {
      return run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {"t"}, temp_environment(scratch.path("tmp")));
    };
    auto first = std::async(std::launch::async, run);
    auto second = std::async(std::launch::async, run);
    ToolRun a = first.get();
    ToolRun b = second.get();
    std::set<std::string> reports;
    for (const ToolRun* done : {&a, &b}) {
      bool well_ended = false;
      std::vector<std::string> lines = report_lines(done->output, &well_ended);
      EXPECT_TRUE(well_ended) << done->output;
      reports.insert(lines.begin(), lines.end());
    }
    for (size_t i = 0; i < names.size(); ++i) {
      ASSERT_EQ(scratch.read("work/" + names[i]), body_of((int)i, 30000 + round * 20000)) << names[i];
      EXPECT_EQ(reports.count(native(names[i]) + " : ok"), 1u) << names[i] << " was stripped by neither";
    }
    EXPECT_TRUE(scratch.list("tmp").empty());
  }
}

// Killed at any moment, a run leaves every file stripped, untouched, or
// with its whole body in a temporary file it left behind.
TEST(Hostile, KilledRunsLoseNothing) {
  POSIX_BUILD_ONLY("the delays are set for its runs; under wine the kill lands while wine is still starting");
  const size_t size = 3 << 20;
  int interrupted = 0;
  for (long delay = 2000; delay <= 60000; delay += 4000) {
    Scratch scratch;
    scratch.make_directory("tmp");
    std::vector<std::string> names = make_tree(scratch, 12, size);
    RunOptions options;
    options.kill_after_microseconds = delay;
    ToolRun run =
        run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {"t"}, temp_environment(scratch.path("tmp")), options);
    interrupted += run.status == -1;
    std::set<std::string> left = bodies_left(scratch);
    for (size_t i = 0; i < names.size(); ++i) {
      std::string body = body_of((int)i, size);
      std::string after = scratch.read("work/" + names[i]);
      EXPECT_TRUE(after == body || after == HEADER + body || left.count(body) == 1)
          << names[i] << " lost its body (killed after " << delay << " us)";
    }
  }
  EXPECT_GT(interrupted, 0) << "no run was killed before it finished";
}

// As a user who may not read everything: an unreadable file is an error,
// an unreadable directory is passed over, and a file in a directory the
// user may not write is still stripped, since it is rewritten in place.
TEST(Hostile, UnprivilegedUser) {
  POSIX_BUILD_ONLY("wine runs no prefix that another user owns");
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
  const int nobody = 65534;
  Scratch scratch;
  chmod(scratch.root().c_str(), 0755);
  scratch.write("work/t/ok.htm", HEADER + "ok");
  scratch.write("work/t/secret.htm", HEADER + "secret");
  scratch.write("work/t/locked/x.htm", HEADER + "x");
  scratch.write("work/t/readonly-dir/f.htm", HEADER + "f");
  scratch.make_directory("tmp");
  for (const char* path : {"work", "work/t", "work/t/ok.htm", "work/t/readonly-dir/f.htm", "tmp"})
    ASSERT_EQ(chown(scratch.path(path).c_str(), nobody, nobody), 0);
  chmod(scratch.path("work/t/secret.htm").c_str(), 0);
  chmod(scratch.path("work/t/locked").c_str(), 0);
  chmod(scratch.path("work/t/readonly-dir").c_str(), 0555);
  RunOptions options;
  options.as_user = nobody;
  ToolRun run =
      run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {"t"}, temp_environment(scratch.path("tmp")), options);
  EXPECT_EQ(run.status, 1);
  bool well_ended = false;
  std::vector<std::string> lines = report_lines(run.output, &well_ended);
  std::set<std::string> got(lines.begin(), lines.end());
  EXPECT_EQ(got, (std::set<std::string>{"t/ok.htm : ok", "t/secret.htm : error", "t/readonly-dir/f.htm : ok"}));
  EXPECT_EQ(scratch.read("work/t/ok.htm"), "ok");
  EXPECT_EQ(scratch.read("work/t/readonly-dir/f.htm"), "f");
  EXPECT_EQ(scratch.read("work/t/secret.htm"), HEADER + "secret");
  EXPECT_TRUE(scratch.list("tmp").empty());
}

// Names with line breaks, quotes, blanks and bytes from 0x80 come back in
// the report exactly as the file system holds them.
TEST(Hostile, OddNamesReportedByteForByte) {
  POSIX_BUILD_ONLY("Windows names hold no line break, CR or quote");
  const std::string names[] = {"line\nbreak", "cr\rname", "\"quoted\" name", "high \x80\xff bytes", " lead", "-dash"};
  for (const std::string& name : names) {
    Scratch scratch;
    scratch.make_directory("tmp");
    scratch.write("work/t/" + name, HEADER + "odd");
    ToolRun run = run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {"t"}, temp_environment(scratch.path("tmp")));
    EXPECT_EQ(run.output, "t/" + name + " : ok\n");
    EXPECT_EQ(scratch.read("work/t/" + name), "odd");
  }
}

}  // namespace
