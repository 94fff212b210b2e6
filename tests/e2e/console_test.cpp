// The report written to a terminal rather than a pipe. The Windows builds
// then write through the console (WriteConsoleA), which wine gives them
// when standard output is a terminal and draws there with escape
// sequences, converting the report from the ANSI code page to the
// terminal's UTF-8. The POSIX build writes its bytes as they are.
#include "run_tool.h"
#include "support/scratch.h"
#include "target.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const std::string HEADER = "HTTP/1.1 200 OK\r\n\r\n";

// What the terminal shows: control sequences (ESC [ ... final byte) are
// drawn, not text. Wine's console ends a line's last blank with "erase to
// the end, one step right", so a step right shows as blanks.
std::string shown(const std::string& bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\x1b' || i + 1 >= bytes.size() || bytes[i + 1] != '[') {
      text += bytes[i];
      continue;
    }
    size_t end = i + 2;
    while (end < bytes.size() && (bytes[end] < 0x40 || bytes[end] > 0x7e)) ++end;
    if (end < bytes.size() && bytes[end] == 'C')
      text.append((size_t)std::max(1, std::atoi(bytes.substr(i + 2, end - i - 2).c_str())), ' ');
    i = end;
  }
  return text;
}

TEST(Console, ReportOnATerminal) {
  Scratch scratch;
  scratch.make_directory("tmp");
  scratch.write("work/t/a.htm", HEADER + "a");
  // U+30BD, 83 5C in code page 932: the console turns it back into UTF-8.
  scratch.write("work/t/\xe3\x82\xbd", HEADER + "so");
  scratch.write("work/t/plain", "no header");
  RunOptions options;
  options.terminal_output = true;
  ToolRun run = run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {native("t")},
                         temp_environment(scratch.path("tmp")), options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, windows_target() ? "" : "bodycut: t/plain: no header end\n");
  // Escape sequences are the sign that wine's console, not a file, took
  // the report.
  EXPECT_EQ(run.output.find('\x1b') != std::string::npos, windows_target()) << run.output;
  bool well_ended = false;
  std::vector<std::string> lines = report_lines(shown(run.output), &well_ended);
  EXPECT_TRUE(well_ended) << run.output;
  std::vector<std::string> expected = {native("t/a.htm : ok"), native("t/\xe3\x82\xbd : ok"),
                                       native("t/plain : error")};
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected) << run.output;
  EXPECT_EQ(scratch.read("work/t/a.htm"), "a");
  EXPECT_EQ(scratch.read("work/t/\xe3\x82\xbd"), "so");
}

}  // namespace
