#include "app/driver.h"
#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "support/scratch.h"
#include "temp_directory.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>

namespace {

struct DriverCase {
  std::string line;  // "@" stands for the scratch directory
  int status;
  std::string output;
  bool stripped;  // the scratch file "page" ends stripped
};

const std::string usage =
    "BODYCUT : removes the HTTP header block from saved files; written by the BODYCUT developers" LINE_END
    "usage: BODYCUT target" LINE_END;

// Command lines as the system hands them over, line breaks and over-long
// tokens included.
const DriverCase driver_cases[] = {
    {"prog", 1, usage, false},
    {"", 1, usage, false},
    {"prog \"\"", 1, usage, false},
    {"prog \"", 1, usage, false},
    {"prog \r\n@/page", 1, usage, false},
    {"prog /?", 1, usage, false},
    {"prog @/page", 0, "", true},
    {"prog \"@/page\" ignored", 0, "", true},
    {"prog @/page\r\nignored", 0, "", true},
    {std::string(5000, 'p') + " @/page", 0, "", true},
    {"prog @/missing", 1, "Source open error" LINE_END, false},
    {"prog @/" + std::string(PATH_CAPACITY, 'x'), 1, "Target too long" LINE_END, false},
    {"prog \"@/" + std::string(PATH_CAPACITY, 'x') + "\"", 1, "Target too long" LINE_END, false},
    {"prog @/plain", 1, "error" LINE_END, false},
};

TEST(Driver, CommandLines) {
  for (const DriverCase& c : driver_cases) {
    Scratch scratch;
    scratch.write("page", "H\r\n\r\nbody");
    scratch.write("plain", "no header");
    std::string line = c.line;
    for (size_t at; (at = line.find('@')) != std::string::npos;) line.replace(at, 1, scratch.root());
    ASSERT_LT(line.size(), 32768u);
    std::strcpy(const_cast<char*>(command_line_text()), line.c_str());
    testing::internal::CaptureStdout();
    RunSettings settings = default_run_settings();
    // A line answered with the usage lists nothing: taken for a pattern,
    // "/?" would list the root, and here fails to list anything instead.
    if (c.output == usage) fault_arm(FAULT_first_entry, 1);
    int status = bodycut_main(&settings);
    fault_disarm();
    std::string output = testing::internal::GetCapturedStdout();
    SCOPED_TRACE(line.substr(0, 80));
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(output, c.output);
    EXPECT_EQ(scratch.read("page"), c.stripped ? "body" : "H\r\n\r\nbody");
    EXPECT_TRUE(temp_directory_entries().empty());
  }
}

}  // namespace
