// The POSIX implementation of the platform operations, where it must act
// as the logic relies on: sharing, copying back, attributes, searching.
#include "platform/platform.h"
#include "support/scratch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>
#include <cstdio>
#include <set>
#include <string>

namespace {

HANDLE open_for_reading(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

// While a reader lets others only read, nobody may copy over the file; while
// a writer holds it, it cannot be opened that way.
TEST(PosixPlatform, SharingEmulatedWithLocks) {
  Scratch scratch;
  scratch.write("target", "original");
  scratch.write("copy", "new bytes");
  HANDLE reader = open_for_reading(scratch.path("target"));
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(CopyFileA(scratch.path("copy").c_str(), scratch.path("target").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_EQ(scratch.read("target"), "original");
  HANDLE second_reader = open_for_reading(scratch.path("target"));
  EXPECT_NE(second_reader, INVALID_HANDLE_VALUE) << "readers share";
  CloseHandle(second_reader);
  CloseHandle(reader);

  int writer = open(scratch.path("target").c_str(), O_WRONLY);
  ASSERT_EQ(flock(writer, LOCK_EX), 0);
  EXPECT_EQ(open_for_reading(scratch.path("target")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  close(writer);
  ASSERT_TRUE(CopyFileA(scratch.path("copy").c_str(), scratch.path("target").c_str(), FALSE));
  EXPECT_EQ(scratch.read("target"), "new bytes");
}

// The copy back works between file systems (where the kernel's in-kernel
// copy refuses), keeps the target's inode and carries the copy's times.
TEST(PosixPlatform, CopyBackAcrossFileSystemsKeepsInodeAndTimes) {
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
    set_times(source, 1000000000, 100, 1100000000, 200);
    disk.write("target", std::string(5 << 20, 'o'));
    ino_t inode = status_of(disk.path("target")).st_ino;
    ASSERT_TRUE(CopyFileA(source.c_str(), disk.path("target").c_str(), FALSE));
    struct stat status = status_of(disk.path("target"));
    EXPECT_EQ(status.st_ino, inode);
    EXPECT_EQ(status.st_mtim.tv_sec, 1100000000);
    EXPECT_EQ(status.st_mtim.tv_nsec, 200);
    EXPECT_EQ(status.st_atim.tv_sec, 1000000000);
    EXPECT_TRUE(disk.read("target") == big);
    unlink(source.c_str());
  }
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
  ASSERT_TRUE(SetFileAttributesA(scratch.path("read-only").c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(status_of(scratch.path("read-only")).st_mode & 07777, 0644u);
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

}  // namespace
