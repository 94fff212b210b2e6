// Hostile conditions end to end: two runs at once, runs killed midway,
// files and directories the user may not read, names no shell likes.
#include "run_tool.h"
#include "support/scratch.h"
#include "target.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdlib>
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
// Only a temporary file its owner may write holds a whole body: one that
// is read-only was being filled.
std::set<std::string> bodies_left(const Scratch& scratch) {
  std::set<std::string> bodies;
  struct stat status {};
  for (const std::string& name : scratch.list("tmp"))
    if (stat(scratch.path("tmp/" + name).c_str(), &status) == 0 && (status.st_mode & 0777) == 0600)
      bodies.insert(scratch.read("tmp/" + name));
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

// Two HTTP-mode runs at once: each file is stripped once, whichever run
// gets to it, and never again. Bodies hold empty lines, so a second strip
// would show; files without a status line are skipped by both runs.
TEST(Hostile, TwoHttpRunsOnOneTreeStripEachFileOnce) {
  POSIX_BUILD_ONLY();
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
  Scratch scratch;
  scratch.make_directory("tmp");
  std::vector<std::string> names;
  std::vector<std::string> bodies;
  for (int i = 0; i < 240; ++i) {
    std::string name = "t/d" + std::to_string(i % 7) + "/f" + std::to_string(i);
    std::string body = body_of(i, 20000) + "\r\n\r\n" + body_of(i, 30000);
    scratch.write("work/" + name, (i % 3 == 0 ? interim : "") + (i % 3 == 2 ? "" : HEADER) + body);
    names.push_back(name);
    bodies.push_back(body);
  }
  auto run = [&] {
    return run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {"--http", "t"},
                    temp_environment(scratch.path("tmp")));
  };
  auto first = std::async(std::launch::async, run);
  auto second = std::async(std::launch::async, run);
  ToolRun a = first.get();
  ToolRun b = second.get();
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_EQ(scratch.read("work/" + names[i]), bodies[i]) << names[i];
    std::string skipped = names[i] + " : skipped\n";
    if (i % 3 == 2) {
      EXPECT_NE(a.output.find(skipped), std::string::npos) << names[i];
      EXPECT_NE(b.output.find(skipped), std::string::npos) << names[i];
    } else {
      EXPECT_NE((a.output + b.output).find(names[i] + " : ok\n"), std::string::npos)
          << names[i] << " was stripped by neither";
    }
  }
  EXPECT_TRUE(scratch.list("tmp").empty()) << a.errors << b.errors;
}

// Killed at any moment, a run leaves every file stripped, untouched, or
// with its whole body in a temporary file it left behind.
TEST(Hostile, KilledRunsLoseNothing) {
  POSIX_BUILD_ONLY("the delays are set for its runs; under wine the kill lands while wine is still starting");
  int interrupted = 0;
  for (long delay = 2000; delay <= 60000; delay += 4000) {
    // Every other run has bodies of 1 MiB, which go through one body file
    // the run fills again and again.
    const size_t size = delay / 4000 % 2 == 0 ? 1 << 20 : 3 << 20;
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

// A signal that asks a run to stop lets the files in hand finish, then
// ends the walk; the run ends by that signal, as an uncaught one would end
// it. Only files that were begun get a line, with any number of workers.
TEST(Hostile, StopSignalsEndTheWalkBetweenFiles) {
  POSIX_BUILD_ONLY();
  // Larger files with workers, so that the walk is ahead of them and files
  // wait in the queue when the signal comes.
  const struct {
    int signal_number;
    int workers;
    int files;
    size_t size;
    bool blocked = false;  // blocked by whoever started the run
  } cases[] = {{SIGTERM, 1, 3000, 4096},
               {SIGINT, 1, 3000, 4096},
               {SIGHUP, 1, 3000, 4096},
               {SIGTERM, 4, 1200, 262144},
               {SIGTERM, 1, 3000, 4096, true}};
  for (const auto& c : cases) {
    const int signal_number = c.signal_number;
    const int files = c.files;
    SCOPED_TRACE(std::to_string(signal_number) + " with -j " + std::to_string(c.workers) +
                 (c.blocked ? " blocked" : ""));
    Scratch scratch;
    scratch.make_directory("tmp");
    std::vector<std::string> names = make_tree(scratch, files, c.size);
    RunOptions options;
    options.kill_after_microseconds = 20000;
    options.kill_signal = signal_number;
    options.kill_signal_blocked = c.blocked;
    ToolRun run = run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {"-j", std::to_string(c.workers), "t"},
                           temp_environment(scratch.path("tmp")), options);
    EXPECT_EQ(run.signal, signal_number);
    EXPECT_EQ(scratch.list("tmp"), std::vector<std::string>{}) << "a temporary file was left behind";
    EXPECT_TRUE(run.output.empty() || run.output.back() == '\n') << "a line was cut short";
    std::map<std::string, std::string> outcome;
    int lines = 0;
    for (size_t start = 0, end; (end = run.output.find('\n', start)) != std::string::npos; start = end + 1, ++lines) {
      std::string line = run.output.substr(start, end - start);
      size_t colon = line.rfind(" : ");
      ASSERT_NE(colon, std::string::npos) << line;
      outcome[line.substr(0, colon)] = line.substr(colon + 3);
    }
    EXPECT_LT(lines, files) << "the walk went on";
    int errors = 0;
    for (const auto& line : outcome) errors += line.second == "error";
    EXPECT_LE(errors, c.workers) << "files that were never begun got a line";
    // Each file reported "error" was stopped, and standard error says so.
    for (const auto& line : outcome)
      if (line.second == "error")
        EXPECT_NE(run.errors.find("bodycut: " + line.first + ": stopped by a signal\n"), std::string::npos)
            << run.errors;
    EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), errors) << run.errors;
    for (size_t i = 0; i < names.size(); ++i) {
      std::string body = body_of((int)i, c.size);
      std::string after = scratch.read("work/" + names[i]);
      if (after == body) {
        EXPECT_EQ(outcome[names[i]], "ok") << names[i];
      } else {
        EXPECT_EQ(after, HEADER + body) << names[i] << " was left half done";
        EXPECT_NE(outcome[names[i]], "ok") << names[i];
      }
    }
  }
}

// A report that cannot be written (standard output on a full device)
// stops the run, which says so on standard error and exits with status 1:
// the files met after the failed line are left alone, and each file done
// gets its line there instead.
TEST(Hostile, ReportThatCannotBeWrittenStopsTheRun) {
  const int files = 200;
  const struct {
    std::vector<std::string> arguments;
    int most_stripped;  // the files in hand when the first line failed, and those done before it
    bool posix_only;    // options
  } cases[] = {{{"t"}, 1, false}, {{"-j", "4", "t"}, 4 + 64, true}, {{"--version"}, 0, true}};
  for (const auto& c : cases) {
    if (c.posix_only && windows_target()) continue;
    SCOPED_TRACE(c.arguments[0]);
    Scratch scratch;
    scratch.make_directory("tmp");
    std::vector<std::string> names = make_tree(scratch, files, 4096);
    RunOptions options;
    options.output_file = "/dev/full";
    ToolRun run = run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), c.arguments,
                           temp_environment(scratch.path("tmp")), options);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 1);
    std::string said = windows_target() ? "BODYCUT: standard output cannot be written\r\n"
                                        : "bodycut: standard output: No space left on device\n";
    EXPECT_EQ(run.errors.substr(0, said.size()), said);
    int stripped = 0;
    for (size_t i = 0; i < names.size(); ++i) stripped += scratch.read("work/" + names[i]) == body_of((int)i, 4096);
    int told = 0;
    for (size_t at = run.errors.find(" : ok"); at != std::string::npos; at = run.errors.find(" : ok", at + 1)) ++told;
    EXPECT_LE(stripped, c.most_stripped);
    EXPECT_EQ(told, stripped) << run.errors;
    EXPECT_EQ(run.errors.find("stopped by a signal"), std::string::npos) << "no signal came";
    EXPECT_TRUE(scratch.list("tmp").empty());
  }
}

// A stop signal ends a run whose report waits on a reader that reads no
// more, with workers too: the report is given up, not waited for, also
// while further signals keep coming (a held Ctrl-C).
TEST(Hostile, StopSignalEndsARunWaitingOnItsReport) {
  POSIX_BUILD_ONLY();
  struct Row {
    const char* workers;
    long again_microseconds;
  };
  for (const Row& row : {Row{"1", -1}, Row{"4", -1}, Row{"4", 50000}}) {
    const char* workers = row.workers;
    SCOPED_TRACE(std::string(workers) + " " + std::to_string(row.again_microseconds));
    Scratch scratch;
    scratch.make_directory("tmp");
    for (int i = 0; i < 1000; ++i) scratch.write("work/t/" + std::string(200, 'd') + "/f" + std::to_string(i), HEADER);
    RunOptions options;
    options.output_read_limit = 1;
    options.output_stalls = true;
    options.kill_after_microseconds = 300000;
    options.kill_again_microseconds = row.again_microseconds;
    options.kill_signal = SIGTERM;
    ToolRun run = run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {"-j", workers, "t"},
                           temp_environment(scratch.path("tmp")), options);
    EXPECT_EQ(run.signal, SIGTERM);
    EXPECT_EQ(scratch.list("tmp"), std::vector<std::string>{});
  }
}

// Standard output's reader goes away once it has a file's path, while the
// file is stripped: the file's whole line reaches standard error.
TEST(Hostile, ReaderGoneMidLineLeavesTheWholeLine) {
  if (!windows_target()) GTEST_SKIP() << "the POSIX build writes each line in one piece";
  Scratch scratch;
  scratch.make_directory("tmp");
  scratch.write("work/t/big", HEADER + std::string(64 << 20, 'b'));
  RunOptions options;
  options.output_read_limit = std::string("t\\big : ").size();
  ToolRun run =
      run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {"t"}, temp_environment(scratch.path("tmp")), options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "t\\big : ");
  EXPECT_EQ(run.errors, "BODYCUT: standard output cannot be written\r\nt\\big : ok\r\n");
}

// As a user who may not read everything: an unreadable file is an error,
// so is a directory that cannot be listed, and a file the user may write
// but whose times only its owner may set; a file in a directory the user
// may not write is still stripped, since it is rewritten in place.
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
  scratch.write("work/t/group.htm", HEADER + "group");
  scratch.write("work/t/roots.htm", HEADER + "r");
  scratch.write("work/t/roots-read-only.htm", HEADER + "r");
  chmod(scratch.path("work/t/roots-read-only.htm").c_str(), 0444);
  // Set-user-ID and set-group-ID bits, which the system drops when a user
  // writes the file, are put back.
  scratch.write("work/t/setuid.htm", HEADER + "u");
  scratch.write("work/t/setgid.htm", HEADER + "g");
  ASSERT_EQ(chown(scratch.path("work/t/group.htm").c_str(), 0, nobody), 0);
  chmod(scratch.path("work/t/group.htm").c_str(), 0664);
  scratch.make_directory("tmp");
  for (const char* path : {"work", "work/t", "work/t/ok.htm", "work/t/readonly-dir/f.htm", "work/t/setuid.htm",
                           "work/t/setgid.htm", "tmp"})
    ASSERT_EQ(chown(scratch.path(path).c_str(), nobody, nobody), 0);
  chmod(scratch.path("work/t/setuid.htm").c_str(), 04755);
  chmod(scratch.path("work/t/setgid.htm").c_str(), 02775);
  chmod(scratch.path("work/t/secret.htm").c_str(), 0);
  chmod(scratch.path("work/t/locked").c_str(), 0);
  chmod(scratch.path("work/t/readonly-dir").c_str(), 0555);
  RunOptions options;
  options.as_user = nobody;
  // A dry run first tells what the run then meets.
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"-n", "t"}, {"t"}}) {
    SCOPED_TRACE(arguments[0]);
    ToolRun run = run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), arguments,
                           temp_environment(scratch.path("tmp")), options);
    EXPECT_EQ(run.status, 1);
    bool well_ended = false;
    std::vector<std::string> lines = report_lines(run.output, &well_ended);
    std::set<std::string> got(lines.begin(), lines.end());
    EXPECT_EQ(
        got, (std::set<std::string>{"t/ok.htm : ok", "t/secret.htm : error", "t/readonly-dir/f.htm : ok",
                                    "t/locked : error", "t/group.htm : error", "t/setuid.htm : ok", "t/setgid.htm : ok",
                                    "t/roots.htm : error", "t/roots-read-only.htm : error"}));
    std::vector<std::string> said = report_lines(run.errors, &well_ended);
    std::sort(said.begin(), said.end());
    EXPECT_EQ(said,
              (std::vector<std::string>{
                  "bodycut: t/group.htm: times cannot be set: not the owner", "bodycut: t/locked: Permission denied",
                  "bodycut: t/roots-read-only.htm: Operation not permitted", "bodycut: t/roots.htm: Permission denied",
                  "bodycut: t/secret.htm: Permission denied"}));
  }
  EXPECT_EQ(scratch.read("work/t/setuid.htm"), "u");
  EXPECT_EQ(status_of(scratch.path("work/t/setuid.htm")).st_mode & 07777, 04755u);
  EXPECT_EQ(scratch.read("work/t/setgid.htm"), "g");
  EXPECT_EQ(status_of(scratch.path("work/t/setgid.htm")).st_mode & 07777, 02775u);
  EXPECT_EQ(scratch.read("work/t/group.htm"), HEADER + "group");
  EXPECT_EQ(scratch.read("work/t/ok.htm"), "ok");
  EXPECT_EQ(scratch.read("work/t/readonly-dir/f.htm"), "f");
  EXPECT_EQ(scratch.read("work/t/secret.htm"), HEADER + "secret");
  EXPECT_TRUE(scratch.list("tmp").empty());
}

// The times put back are the ones read from the file, whatever the
// temporary directory's file system can hold: here an ext4 whose small
// inodes keep whole seconds up to 2038 only.
TEST(Hostile, TimesKeptWhateverTheTemporaryDirectoryHolds) {
  POSIX_BUILD_ONLY();
  Scratch scratch;
  scratch.make_directory("tmp");
  std::string image = scratch.path("small-inodes.img");
  std::string make = "truncate -s 8M " + image + " && mkfs.ext4 -q -I 128 " + image + " 2>/dev/null && mount -o loop " +
                     image + " " + scratch.path("tmp") + " 2>/dev/null";
  if (geteuid() != 0 || std::system(make.c_str()) != 0) GTEST_SKIP() << "needs root and a loop device";
  scratch.write("work/old.htm", HEADER + "old");
  scratch.write("work/future.htm", HEADER + "future");
  set_times(scratch.path("work/old.htm"), 1336194305, 987654321, 1336194305, 987654321);
  set_times(scratch.path("work/future.htm"), 4102444800, 5, 4102444800, 5);  // 2100
  ToolRun run = run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {"."}, {"TMPDIR=" + scratch.path("tmp")});
  std::system(("umount " + scratch.path("tmp")).c_str());
  EXPECT_TRUE(run.output == "./old.htm : ok\n./future.htm : ok\n" ||
              run.output == "./future.htm : ok\n./old.htm : ok\n")
      << run.output;
  struct stat old_status = status_of(scratch.path("work/old.htm"));
  struct stat future_status = status_of(scratch.path("work/future.htm"));
  EXPECT_EQ(old_status.st_mtim.tv_sec, 1336194305);
  EXPECT_EQ(old_status.st_mtim.tv_nsec, 987654321);
  EXPECT_EQ(future_status.st_mtim.tv_sec, 4102444800);
  EXPECT_EQ(future_status.st_atim.tv_nsec, 5);
  EXPECT_EQ(scratch.read("work/old.htm"), "old");
}

// Names with line breaks, quotes, blanks and bytes from 0x80 come back in
// the report as the file system holds them, but for control bytes and the
// backslash, which come escaped: no name can forge a report line.
TEST(Hostile, OddNamesReportedSoThatNoneForgesALine) {
  POSIX_BUILD_ONLY("Windows names hold no line break, CR or quote");
  const struct {
    std::string name;
    std::string shown;
  } names[] = {{"line\nbreak", "line\\nbreak"},
               {"cr\rname", "cr\\rname"},
               {"\"quoted\" name", "\"quoted\" name"},
               {"high \x80\xff bytes", "high \x80\xff bytes"},
               {" lead", " lead"},
               {"-dash", "-dash"},
               {"x : ok\nt/ghost", "x : ok\\nt/ghost"},
               {"x\\nt", "x\\\\nt"},
               {"esc \x1b[2J\t\x7f", "esc \\x1b[2J\\t\\x7f"}};
  for (const auto& [name, shown] : names) {
    Scratch scratch;
    scratch.make_directory("tmp");
    scratch.write("work/t/" + name, HEADER + "odd");
    ToolRun run = run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {"t"}, temp_environment(scratch.path("tmp")));
    EXPECT_EQ(run.output, "t/" + shown + " : ok\n");
    EXPECT_EQ(scratch.read("work/t/" + name), "odd");
  }
}

}  // namespace
