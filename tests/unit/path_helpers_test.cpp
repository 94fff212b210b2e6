#include "walk/path_helpers.h"
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>

namespace {

// Cases are written with '/' and turned into the platform's separator.
std::string native(std::string text) {
  for (char& c : text)
    if (c == '/') c = PATH_SEPARATOR;
  return text;
}

struct JoinCase {
  const char* dir;
  const char* tail;
  const char* joined;
};

const JoinCase join_cases[] = {
    {"dir", "*.*", "dir/*.*"}, {"dir/", "*.*", "dir/*.*"}, {"", "*.*", "*.*"},   {"C:", "*.*", "C:/*.*"},
    {"/", "*.*", "/*.*"},      {"a/b", "c", "a/b/c"},      {"a//", "x", "a//x"}, {"a", "", "a/"},
};

TEST(JoinPath, Table) {
  for (const JoinCase& c : join_cases) {
    char out[PATH_CAPACITY];
    EXPECT_EQ(join_path(out, sizeof out, native(c.dir).c_str(), c.tail), 1) << c.dir;
    EXPECT_EQ(std::string(out), native(c.joined)) << c.dir << " + " << c.tail;
  }
}

// Only the platform's own separator ending dir saves another: a forward
// slash is one for POSIX, on Windows a backslash still follows it, except
// after a lone slash, the root of the drive.
TEST(JoinPath, AfterForwardSlash) {
  const bool backslash = PATH_SEPARATOR == '\\';
  const JoinCase cases[] = {{"d/", "*.*", backslash ? "d/\\*.*" : "d/*.*"},
                            {"C:/", "*.*", backslash ? "C:/\\*.*" : "C:/*.*"},
                            {"/", "*.*", "/*.*"}};
  for (const JoinCase& c : cases) {
    char out[PATH_CAPACITY];
    EXPECT_EQ(join_path(out, sizeof out, c.dir, c.tail), 1) << c.dir;
    EXPECT_STREQ(out, c.joined) << c.dir;
  }
}

// The joined text must fit with its NUL; one byte short and nothing is
// written past the buffer, and the output is empty rather than cut.
TEST(JoinPath, BoundedByCapacity) {
  struct {
    unsigned capacity;
    int fits;
  } cases[] = {{8, 1}, {7, 0}, {1, 0}};
  for (const auto& c : cases) {
    char out[16];
    std::memset(out, '#', sizeof out);
    int fits = join_path(out, c.capacity, "dir", "*.*");  // "dir/*.*" is 7 bytes
    EXPECT_EQ(fits, c.fits) << c.capacity;
    EXPECT_EQ(std::string(out), fits ? native("dir/*.*") : "");
    EXPECT_EQ(out[c.capacity], '#') << "wrote past capacity " << c.capacity;
  }
}

TEST(FinalComponent, Table) {
  // Where paths may carry a drive prefix, the name of "C:x" starts after it.
  const bool drives = drive_prefix_length("C:") == 2;
  struct {
    const char* path;
    const char* last;
  } cases[] = {{"a/b/c", "c"}, {"a/b/", ""}, {"abc", "abc"}, {"", ""}, {"/x", "x"}, {"C:x", drives ? "x" : "C:x"},
               {"C:/x", "x"}};
  for (const auto& c : cases) {
    std::string path = native(c.path);
    EXPECT_STREQ(final_component(&path[0]), c.last) << c.path;
  }
}

TEST(FindSeparator, FirstOneOrNull) {
  std::string path = native("ab/c/d");
  EXPECT_EQ(find_separator(path.c_str()), path.c_str() + 2);
  EXPECT_EQ(find_separator(path.c_str() + 3), path.c_str() + 4);
  EXPECT_EQ(find_separator("abc"), nullptr);
  EXPECT_EQ(find_separator(""), nullptr);
}

// Where the code page has double-byte characters whose second byte is the
// separator byte, that byte is part of the character, never a separator.
TEST(PathHelpers, DoubleByteCharacterEndingInSeparatorByte) {
  char lead_and_trail[3] = {'\x83', PATH_SEPARATOR, '\0'};
  if (next_character(lead_and_trail) != lead_and_trail + 2)
    GTEST_SKIP() << "the code page has no double-byte character ending in the separator byte";
  std::string dir = std::string("a") + lead_and_trail;
  char out[PATH_CAPACITY];
  ASSERT_EQ(join_path(out, sizeof out, dir.c_str(), "*.*"), 1);
  EXPECT_EQ(std::string(out), dir + PATH_SEPARATOR + "*.*");
  std::string whole = std::string(lead_and_trail) + "x";
  EXPECT_EQ(final_component(&whole[0]), &whole[0]);
  EXPECT_EQ(find_separator(whole.c_str()), nullptr);
}

// Windows opens no found name that is not what the disk holds, or that it
// would take for another; POSIX takes every name as its bytes.
TEST(FoundEntry, PlainNames) {
  const bool windows = PATH_SEPARATOR == '\\';
  struct {
    const char* name;
    int link;
    bool plain_on_windows;
  } cases[] = {{"a.htm", 0, true},
               {".dotfile", 0, true},
               {"a.htm.", 0, false},
               {"b ", 0, false},
               {"sub.", 0, false},
               {".", 0, false},
               {"..", 0, false},
               {"..\\victim.htm", 0, false},
               {"caf?.htm", 0, false},
               {"a:b", 0, false},
               {"x/y", 0, false},
               {"a|b", 0, false},
               {"link", 1, false},
               {"", 0, false},
               {"com1", 0, false},
               {"Nul.htm", 0, false},
               {"aux .x", 0, false},
               {"LPT9", 0, false},
               {"com10", 0, true},
               {"console.htm", 0, true},
               {"com", 0, true},
               {"nul1", 0, true},
               {"com1 setup.htm", 0, true},
               {"nul  readme", 0, true}};
  for (const auto& c : cases)
    EXPECT_EQ(entry_name_is_plain(c.name, c.link) != 0, windows ? c.plain_on_windows : true) << c.name;
}

// In code page 932, 83 5C and 83 7C are whole characters, not a backslash
// or a bar after a lead byte.
TEST(FoundEntry, DoubleByteCharacterEndingInReservedByte) {
  const char so[] = "\x83\x5c";
  if (next_character(so) != so + 2) GTEST_SKIP() << "the code page has no such double-byte character";
  for (const char* name : {"\x83\x5c", "x\x83\x7c", "\x83\x5c.htm"}) EXPECT_TRUE(entry_name_is_plain(name, 0)) << name;
}

}  // namespace
