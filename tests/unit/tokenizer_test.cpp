#include "app/tokenizer.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>

namespace {

struct TokenCase {
  const char* line;
  const char* first;   // first token
  int result;          // result of the second next_token
  const char* second;  // buffer after the second call ("" when cleared by the caller)
  int rest;            // byte the cursor rests on afterwards
};

// The command lines are those a user or a shell can hand the program,
// including the quoting corner cases of the tokenizer's rules.
const TokenCase token_cases[] = {
    {"prog", "prog", 0, "prog", '\0'},
    {"", "", 0, "", '\0'},
    {"prog \"\"", "prog", '"', "", '\0'},
    {"prog \"", "prog", 0, "", '\0'},
    {"prog \tx", "prog", 'x', "x", '\0'},
    {"   prog   tgt  ", "prog", 't', "tgt", ' '},
    {"\"C:\\a b\\prog.exe\" \"x y\"", "C:\\a b\\prog.exe", 'x', "x y", '\0'},
    {"prog \"abc\"def\" z", "prog", 'a', "abc\"def", ' '},
    {"prog \"abc\"\x90x", "prog", 'a', "abc", '\x90'},
    {"prog x\"y z", "prog", 'x', "x\"y", 'z'},
    {"prog \"a\"b c\"d e", "prog", 'a', "a\"b c\"d e", '\0'},
    {"prog a\r\nb", "prog", 'a', "a", '\n'},
    {"prog \r\nx", "prog", 0, "prog", '\n'},
    {"prog ab\x90"
     "cd ef",
     "prog", 'a',
     "ab\x90"
     "cd",
     'e'},
    {"prog \x0bx", "prog", 0x0b, "\x0bx", '\0'},
    {"prog\x01x y", "prog", 'x', "x", 'y'},
    {"prog \"a\x7f\"\x7f\"", "prog", 'a', "a\x7f\"\x7f", '\0'},
    {"prog \"q\"\r\nz", "prog", 'q', "q", '\r'},
    {"prog \"\r\n", "prog", '\r', "", '\n'},
    {"prog \"\"\" x", "prog", '"', "\"", ' '},
};

class TokenizerTable : public ::testing::TestWithParam<TokenCase> {};

TEST_P(TokenizerTable, SecondTokenAndCursor) {
  const TokenCase& c = GetParam();
  char buffer[260] = "untouched";
  unsigned length = 12345;
  const char* cursor = c.line;
  int first = next_token(&cursor, buffer, sizeof buffer, &length);
  if (c.first[0] != '\0') {
    EXPECT_STREQ(buffer, c.first);
    EXPECT_NE(first, 0);
  } else {
    EXPECT_EQ(first, 0);
    EXPECT_STREQ(buffer, "untouched");
  }
  int second = next_token(&cursor, buffer, sizeof buffer, &length);
  EXPECT_EQ(second, (unsigned char)c.result);
  if (second != 0 || c.first[0] != '\0') EXPECT_STREQ(buffer, c.second);
  if (second != 0) EXPECT_EQ(length, std::string(c.second).size());
  EXPECT_EQ((unsigned char)*cursor, (unsigned char)c.rest);
}

INSTANTIATE_TEST_SUITE_P(Lines, TokenizerTable, ::testing::ValuesIn(token_cases));

TEST(Tokenizer, NoCallLeavesARunOfLineBreaks) {
  const char* line = "a\r\n\r\n\n\rb";
  const char* cursor = line;
  char buffer[16];
  unsigned length = 0;
  ASSERT_EQ(next_token(&cursor, buffer, sizeof buffer, &length), 'a');
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(next_token(&cursor, buffer, sizeof buffer, &length), 0);
    EXPECT_TRUE(*cursor == '\r' || *cursor == '\n');
  }
}

TEST(Tokenizer, PeekFoldsOnlyPairsOfDifferentBreaks) {
  struct {
    const char* text;
    long moved;
  } cases[] = {{"\r\n", 1}, {"\n\r", 1}, {"\r\r", 0}, {"\n\n", 0}, {"\r", 0}, {"x", 0}};
  for (const auto& c : cases) {
    const char* cursor = c.text;
    int got = peek_char(&cursor);
    EXPECT_EQ(cursor - c.text, c.moved) << c.text;
    EXPECT_EQ(got, c.text[0] == 'x' ? 'x' : 0);
  }
}

// Over-long tokens are cut in the buffer, never written past it, while the
// cursor still moves past all of them and the whole length is told.
TEST(Tokenizer, LongTokensAreCutButFullyConsumed) {
  for (bool quoted : {false, true}) {
    std::string word(300, 'w');
    std::string line = (quoted ? "\"" + word + "\"" : word) + " next";
    char buffer[8 + 16];
    std::memset(buffer, '#', sizeof buffer);
    const char* cursor = line.c_str();
    unsigned length = 0;
    EXPECT_EQ(next_token(&cursor, buffer, 8, &length), 'w');
    EXPECT_EQ(length, 300u);
    EXPECT_STREQ(buffer, "wwwwwww");
    EXPECT_EQ(buffer[8], '#') << "wrote past the capacity";
    EXPECT_EQ(next_token(&cursor, buffer, 8, &length), 'n');
    EXPECT_STREQ(buffer, "next");
    EXPECT_EQ(length, 4u);
  }
}

TEST(Tokenizer, TokenThatExactlyFillsTheBuffer) {
  const char* cursor = "1234567 x";
  char buffer[8];
  unsigned length = 0;
  next_token(&cursor, buffer, sizeof buffer, &length);
  EXPECT_EQ(length, 7u);
  EXPECT_STREQ(buffer, "1234567");
}

}  // namespace
