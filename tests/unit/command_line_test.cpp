#include "platform/posix/command_line.h"
#include "app/tokenizer.h"
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <string>

namespace {

// What the tokenizer makes of the formed command line: the second token,
// or nothing when forming refused the argument.
struct RoundTrip {
  bool formed;
  int result;
  std::string target;
};

RoundTrip round_trip(const std::string& program, const std::string& argument) {
  RoundTrip trip{form_command_line(program.c_str(), argument.c_str()), 0, ""};
  if (!trip.formed) return trip;
  static char buffer[32768];
  unsigned length = 0;
  const char* cursor = command_line_text();
  next_token(&cursor, buffer, sizeof buffer, &length);
  trip.result = next_token(&cursor, buffer, sizeof buffer, &length);
  trip.target = trip.result != 0 ? buffer : "";
  return trip;
}

// Every argument that can come back exactly does, byte for byte, whatever
// the program's name looks like.
TEST(CommandLine, ArgumentsComeBackExactly) {
  const std::string arguments[] = {
      "plain",
      "with blank",
      "tab\there",
      "\"leading quote",
      "mid\"quote",
      "trailing quote\"",
      "-dash",
      "--",
      "\x80\xff\xe3\x81\x82",
      "a\"\"b",
      "\x01\x0b\x1f",
      "*.htm",
      "dir/sub/*.*",
      "quote then 7f\"\x7f",
      " ",
      "\"",
      "a \"b",
  };
  const std::string programs[] = {"bodycut", "/opt/my tools/bodycut", "we\"ird \"name", "\"", ""};
  for (const std::string& program : programs) {
    for (const std::string& argument : arguments) {
      RoundTrip trip = round_trip(program, argument);
      EXPECT_TRUE(trip.formed) << argument;
      EXPECT_EQ(trip.target, argument) << "program " << program;
    }
  }
}

TEST(CommandLine, EmptyArgumentReadsAsNoTarget) {
  RoundTrip trip = round_trip("bodycut", "");
  ASSERT_TRUE(trip.formed);
  EXPECT_EQ(trip.target, "");
}

// Arguments the tokenizer would read differently are refused outright.
TEST(CommandLine, RefusesWhatCannotComeBack) {
  const std::string refused[] = {
      "line\nbreak", "cr\rhere", "a\" b", "x\"\ty", "q\"\x90 in quotes", std::string(40000, 'x'),
  };
  for (const std::string& argument : refused)
    EXPECT_FALSE(round_trip("bodycut", argument).formed) << argument.substr(0, 20);
  // Unquoted, a quote before a high byte is an ordinary byte.
  EXPECT_TRUE(round_trip("bodycut", "q\"\x90").formed);
}

TEST(CommandLine, NoTargetGivesProgramNameOnly) {
  ASSERT_TRUE(form_command_line("bodycut", nullptr));
  EXPECT_STREQ(command_line_text(), "bodycut");
  // Without a program name (argc 0) a stand-in takes its place.
  ASSERT_TRUE(form_command_line(nullptr, "x"));
  EXPECT_STREQ(command_line_text(), "bodycut x");
}

// next_character steps whole characters of the locale's encoding.
TEST(CharNext, StepsWholeCharacters) {
  const char* text = "a\xc3\xa9\xe3\x81\x82/";
  const char* second = next_character(text);
  EXPECT_EQ(second, text + 1);
  const char* after_e = next_character(second);
  if (MB_CUR_MAX == 1) GTEST_SKIP() << "single-byte locale";
  EXPECT_EQ(after_e, text + 3);
  EXPECT_EQ(next_character(after_e), text + 6);
  const char* nul = "";
  EXPECT_EQ(next_character(nul), nul);
  const char* invalid = "\xff\xff";
  EXPECT_EQ(next_character(invalid), invalid + 1) << "an invalid byte still steps one byte";
}

}  // namespace
