// The POSIX implementation of the platform operations, where it must act
// as the logic relies on: sharing, copying back, attributes, searching.
#include "platform/platform.h"
#include "support/scratch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <set>
#include <string>

namespace {

HANDLE open_for_reading(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

HANDLE open_exclusively(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

// A handle opened for writing with no sharing is refused while anyone else
// has the file open, for reading or writing; while it is held, nobody else
// can open the file.
TEST(PosixPlatform, NoSharingWhileOpenExclusively) {
  Scratch scratch;
  scratch.write("target", "original");
  for (int flags : {O_RDONLY, O_WRONLY | O_APPEND}) {
    int other = open(scratch.path("target").c_str(), flags);
    ASSERT_GE(other, 0);
    EXPECT_EQ(open_exclusively(scratch.path("target")), INVALID_HANDLE_VALUE) << flags;
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    close(other);
  }
  HANDLE reader = open_for_reading(scratch.path("target"));
  EXPECT_EQ(open_exclusively(scratch.path("target")), INVALID_HANDLE_VALUE) << "refused while we read it, too";
  CloseHandle(reader);
  HANDLE held = open_exclusively(scratch.path("target"));
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_LT(open(scratch.path("target").c_str(), O_WRONLY | O_NONBLOCK), 0);
  EXPECT_EQ(errno, EWOULDBLOCK);
  EXPECT_EQ(open_for_reading(scratch.path("target")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(CloseHandle(held));
  int after = open(scratch.path("target").c_str(), O_WRONLY | O_NONBLOCK);
  EXPECT_GE(after, 0) << "released with the handle";
  close(after);
}

// The rest of a file is copied between file systems too (where the
// in-kernel copy refuses), from where the reader stands, bytes it read
// ahead included.
TEST(PosixPlatform, CopyRestOfFileAcrossFileSystems) {
  Scratch disk;
  std::string on_tmpfs = "/dev/shm/bodycut-copy-test-" + std::to_string(getpid());
  std::string big(3 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = (char)(i / 4096);
  for (const std::string& source : {on_tmpfs, disk.path("source")}) {
    SCOPED_TRACE(source);
    {
      FILE* out = std::fopen(source.c_str(), "wb");
      ASSERT_NE(out, nullptr);
      std::fwrite(big.data(), 1, big.size(), out);
      std::fclose(out);
    }
    disk.write("target", "");
    HANDLE from = open_for_reading(source);
    HANDLE to = open_exclusively(disk.path("target"));
    ASSERT_NE(from, INVALID_HANDLE_VALUE);
    ASSERT_NE(to, INVALID_HANDLE_VALUE);
    char first[3];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(from, first, sizeof first, &read, nullptr));
    ASSERT_TRUE(copy_rest_of_file(from, to));
    CloseHandle(from);
    CloseHandle(to);
    EXPECT_TRUE(disk.read("target") == big.substr(3));
    unlink(source.c_str());
  }
}

// Values that cannot be right are refused, not used: a handle that is no
// file's, a negative offset.
TEST(PosixPlatform, ImpossibleValuesRefused) {
  Scratch scratch;
  scratch.write("file", "0123456789");
  unsigned char byte = 0;
  for (HANDLE bad : {INVALID_HANDLE_VALUE, (HANDLE) nullptr}) {
    DWORD read = 7;
    EXPECT_FALSE(ReadFile(bad, &byte, 1, &read, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(read, 0u);
  }
  HANDLE file = open_for_reading(scratch.path("file"));
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const struct {
    LONG low;
    LONG high;
    DWORD result;
    DWORD error;
    unsigned char next;
  } cases[] = {{3, 0, 3, NO_ERROR, '3'},
               {0, -1, INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER, '4'},
               {-2, -1, INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER, '5'},
               {1, 0, 1, NO_ERROR, '1'}};
  for (const auto& c : cases) {
    LONG high = c.high;
    EXPECT_EQ(SetFilePointer(file, c.low, &high, FILE_BEGIN), c.result) << c.high;
    EXPECT_EQ(GetLastError(), c.error) << c.high;
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, &byte, 1, &read, nullptr));
    EXPECT_EQ(byte, c.next) << "read on from where it stood";
  }
  CloseHandle(file);
}

// A temporary file has no name until it holds its whole body; closed
// before that, it leaves nothing behind.
TEST(PosixPlatform, TemporaryFileNamedOnlyWhenWhole) {
  Scratch scratch;
  char directory[PATH_CAPACITY];
  char name[PATH_CAPACITY];
  std::snprintf(directory, sizeof directory, "%s/", scratch.root().c_str());
  for (bool named : {false, true}) {
    ASSERT_NE(GetTempFileNameA(directory, "BCT", 0, name), 0u);
    HANDLE file =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "body", 4, &written, nullptr));
    EXPECT_TRUE(scratch.list("").empty());
    if (named) EXPECT_TRUE(name_temporary_file(file, name));
    CloseHandle(file);
    EXPECT_EQ(scratch.list("").size(), named ? 1u : 0u);
  }
  EXPECT_EQ(read_file(name), "body");
}

TEST(PosixPlatform, AttributeWords) {
  Scratch scratch;
  scratch.write("file", "x");
  scratch.write("read-only", "x");
  chmod(scratch.path("read-only").c_str(), 0444);
  scratch.make_directory("dir");
  symlink("dir", scratch.path("link-to-dir").c_str());
  symlink("file", scratch.path("link-to-file").c_str());
  symlink("nothing", scratch.path("dangling").c_str());
  struct {
    const char* name;
    DWORD attributes;
  } cases[] = {
      {"file", FILE_ATTRIBUTE_NORMAL},         {"read-only", FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_READONLY},
      {"dir", FILE_ATTRIBUTE_DIRECTORY},       {"link-to-dir", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT},
      {"link-to-file", FILE_ATTRIBUTE_NORMAL}, {"dangling", FILE_ATTRIBUTE_NORMAL},
      {"missing", INVALID_FILE_ATTRIBUTES},    {"*.htm", INVALID_FILE_ATTRIBUTES}};
  for (const auto& c : cases) EXPECT_EQ(GetFileAttributesA(scratch.path(c.name).c_str()), c.attributes) << c.name;
  // Read-only is the owner-write bit alone, changed through a hold on the
  // file that was opened, not its path: setting it again gives the mode back.
  for (unsigned mode : {0444u, 0464u, 04555u}) {
    chmod(scratch.path("read-only").c_str(), mode);
    HANDLE file = CreateFileA(scratch.path("read-only").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE held = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(hold_file(file, &held));
    CloseHandle(file);
    ASSERT_TRUE(rename(scratch.path("read-only").c_str(), scratch.path("moved").c_str()) == 0);
    ASSERT_TRUE(set_file_attributes(held, scratch.path("file").c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(status_of(scratch.path("moved")).st_mode & 07777, mode | 0200u);
    ASSERT_TRUE(set_file_attributes(held, scratch.path("file").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(status_of(scratch.path("moved")).st_mode & 07777, mode);
    EXPECT_EQ(status_of(scratch.path("file")).st_mode & 07777, 0644u) << "changed by path";
    release_file_hold(held);
    ASSERT_TRUE(rename(scratch.path("moved").c_str(), scratch.path("read-only").c_str()) == 0);
  }
}

std::set<std::string> search(const std::string& pattern) {
  std::set<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE handle = FindFirstFileA(pattern.c_str(), &found);
  if (handle == INVALID_HANDLE_VALUE) return names;
  do names.insert(found.cFileName);
  while (FindNextFileA(handle, &found));
  FindClose(handle);
  return names;
}

TEST(PosixPlatform, WildcardSearch) {
  Scratch scratch;
  for (const char* name : {"a.htm", "b.HTM", "noext", "a.htm.bak", "ab", "x?y"}) scratch.write(name, "");
  using Names = std::set<std::string>;
  const Names all = {".", "..", "a.htm", "b.HTM", "noext", "a.htm.bak", "ab", "x?y"};
  struct {
    const char* pattern;
    Names names;
  } cases[] = {{"*", all},
               {"*.*", all},
               {"*.htm", {"a.htm"}},
               {"a*", {"a.htm", "a.htm.bak", "ab"}},
               {"?b", {"ab"}},
               {"*.htm*", {"a.htm", "a.htm.bak"}},
               {"noext", {"noext"}},
               {"x?y", {"x?y"}},
               {"**a**", {"a.htm", "a.htm.bak", "ab"}},
               {"zzz*", {}}};
  for (const auto& c : cases) EXPECT_EQ(search(scratch.path(c.pattern)), c.names) << c.pattern;
  EXPECT_EQ(FindFirstFileA((scratch.root() + "/").c_str(), nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(search(scratch.path("missing-dir/*")), Names{});
}

// Names reach the report escaped where they hold a control byte or a
// backslash, and in no other way: no two names read the same.
TEST(PosixPlatform, ReportNames) {
  const struct {
    std::string name;
    std::string shown;
  } cases[] = {{"plain/page.htm", "plain/page.htm"},
               {"my page \xe3\x81\x82 : ok", "my page \xe3\x81\x82 : ok"},
               {"a\nb : ok", "a\\nb : ok"},
               {"a\\nb : ok", "a\\\\nb : ok"},
               {"\t\r\x01\x1b\x1f\x7f", "\\t\\r\\x01\\x1b\\x1f\\x7f"},
               {"\\x01", "\\\\x01"},
               {"\xff\x80", "\xff\x80"},
               {"", ""}};
  std::set<std::string> shown;
  for (const auto& c : cases) {
    char out[64 * REPORT_EXPANSION];
    EXPECT_EQ(report_name(c.name.c_str(), out), c.shown.size()) << c.name;
    EXPECT_EQ(out, c.shown);
    shown.insert(out);
  }
  EXPECT_EQ(shown.size(), sizeof cases / sizeof cases[0]);
}

}  // namespace
