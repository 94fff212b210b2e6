#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "strip/strip_file.h"
#include "support/scratch.h"
#include "temp_directory.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <cstdio>
#include <string>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const long long WRITE_SECONDS = 1234567890;
const long WRITE_NANOSECONDS = 123456789;
const long long ACCESS_SECONDS = 1300000000;
const long ACCESS_NANOSECONDS = 987654321;

struct Outcome {
  int status;
  std::string output;
};

Outcome strip(const std::string& path) {
  CaptureStdout();
  RunSettings settings = default_run_settings();
  int status = strip_file(path.c_str(), &settings);
  return {status, GetCapturedStdout()};
}

class StripTest : public ::testing::Test {
 protected:
  void SetUp() override { fault_disarm(); }
  void TearDown() override {
    fault_disarm();
    EXPECT_TRUE(temp_directory_entries().empty()) << "a temporary file was left behind";
    empty_temp_directory();
  }
  std::string make(const std::string& name, const std::string& bytes) {
    scratch.write(name, bytes);
    std::string path = scratch.path(name);
    set_times(path, ACCESS_SECONDS, ACCESS_NANOSECONDS, WRITE_SECONDS, WRITE_NANOSECONDS);
    return path;
  }
  // Call before reading the file, which would move its access time. A file
  // that was not stripped was read by the tool, so only its last-write
  // time is its own.
  static void expect_times_kept(const std::string& path, bool stripped = true) {
    struct stat status = status_of(path);
    EXPECT_EQ(status.st_mtim.tv_sec, WRITE_SECONDS);
    EXPECT_EQ(status.st_mtim.tv_nsec, WRITE_NANOSECONDS);
    if (!stripped) return;
    EXPECT_EQ(status.st_atim.tv_sec, ACCESS_SECONDS);
    EXPECT_EQ(status.st_atim.tv_nsec, ACCESS_NANOSECONDS);
  }
  Scratch scratch;
};

struct ScanCase {
  std::string before;
  bool stripped;
  std::string body;
};

// The header ends at the first CR LF CR LF the scan matches; a byte that
// breaks a partial match is not retried as the start of a new one.
const ScanCase scan_cases[] = {
    {"\r\n\r\n", true, ""},          {"X\r\n\r\nBODY", true, "BODY"},
    {"\n\r\n\r\nB", true, "B"},      {"H: v\r\nK: w\r\n\r\nbody\r\n\r\nmore", true, "body\r\n\r\nmore"},
    {"\r\r\n\r\n", false, ""},       {"\r\n\r\r\n\r\nB", false, ""},
    {"H\r\r\n\r\n\r\nB", true, "B"}, {"", false, ""},
    {"\r\n\r", false, ""},           {"no header end at all\n\n", false, ""},
    {"\n\n\r\n\r\n", true, ""},      {std::string("H\r\n\r\n\0\xff\x80", 8), true, std::string("\0\xff\x80", 3)},
};

TEST_F(StripTest, ScanTable) {
  for (const ScanCase& c : scan_cases) {
    SCOPED_TRACE(testing::PrintToString(c.before));
    std::string path = make("file", c.before);
    Outcome outcome = strip(path);
    EXPECT_EQ(outcome.status, c.stripped ? 0 : 1);
    EXPECT_EQ(outcome.output, c.stripped ? "" : "error" LINE_END);
    expect_times_kept(path, c.stripped);
    EXPECT_EQ(scratch.read("file"), c.stripped ? c.body : c.before);
  }
}

std::string pattern_bytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = (char)(seed >> 16);
  }
  return bytes;
}

// Large bodies take several reads; header ends that straddle the read
// buffer's and the copy buffer's boundaries must still be found exactly.
TEST_F(StripTest, BodiesAndHeaderEndsAcrossBufferBoundaries) {
  struct {
    size_t header_before_end;
    size_t body_size;
  } cases[] = {{10, 100000}, {32766, 5},     {32765, 32768}, {65534, 70000},
               {65533, 1},   {65536, 65536}, {200, 0},       {131070, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header_before_end);
    std::string header(c.header_before_end, 'h');
    std::string body = pattern_bytes(c.body_size, (unsigned)c.header_before_end);
    std::string path = make("big", header + "\r\n\r\n" + body);
    Outcome outcome = strip(path);
    EXPECT_EQ(outcome.status, 0);
    expect_times_kept(path);
    EXPECT_TRUE(scratch.read("big") == body);
  }
}

TEST_F(StripTest, KeepsInodeLinksAndModeAndClearsReadOnly) {
  std::string path = make("page", "H\r\n\r\nbody");
  ASSERT_EQ(link(path.c_str(), scratch.path("hard").c_str()), 0);
  ASSERT_EQ(symlink("page", scratch.path("soft").c_str()), 0);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  ino_t inode = status_of(path).st_ino;
  Outcome outcome = strip(scratch.path("soft"));
  EXPECT_EQ(outcome.status, 0);
  expect_times_kept(path);
  EXPECT_EQ(scratch.read("hard"), "body");
  struct stat status = status_of(path);
  EXPECT_EQ(status.st_ino, inode);
  EXPECT_EQ(status.st_mode & 07777, 0644u) << "read-only cleared, other bits kept";
  struct stat link_status;
  ASSERT_EQ(lstat(scratch.path("soft").c_str(), &link_status), 0);
  EXPECT_TRUE(S_ISLNK(link_status.st_mode));
}

TEST_F(StripTest, RefusesWhatIsNotARegularFile) {
  scratch.make_directory("dir");
  ASSERT_EQ(mkfifo(scratch.path("fifo").c_str(), 0600), 0);
  for (const char* name : {"dir", "fifo", "missing"}) {
    Outcome outcome = strip(scratch.path(name));
    EXPECT_EQ(outcome.status, 1) << name;
    EXPECT_EQ(outcome.output, "error" LINE_END) << name;
  }
  Outcome device = strip("/dev/zero");
  EXPECT_EQ(device.status, 1);
}

struct FaultCase {
  int operation;
  unsigned nth;
  bool stripped;   // the file ends stripped (else unchanged)
  bool body_left;  // a temporary file holding the whole body remains
};

// Header "H\r\n\r\n" takes five one-byte reads. The first copy of the
// rest fills the temporary file, the second goes back over the file; the
// first close is the source's, the second the copy back's.
const FaultCase fault_cases[] = {
    {FAULT_GetTempPathA, 1, false, false},
    {FAULT_GetTempFileNameA, 1, false, false},
    {FAULT_CreateFileA, 1, false, false},
    {FAULT_GetFileInformationByHandle, 1, false, false},
    {FAULT_ReadFile, 1, false, false},
    {FAULT_ReadFile, 5, false, false},
    {FAULT_CreateFileA, 2, false, false},
    {FAULT_copy_rest_of_file, 1, false, false},
    {FAULT_copy_rest_of_file_short, 1, false, false},
    {FAULT_SetFileTime, 1, false, false},
    {FAULT_CloseHandle, 1, true, false},
    {FAULT_name_temporary_file, 1, false, false},
    {FAULT_CreateFileA, 3, false, false},
    {FAULT_GetFileInformationByHandle, 2, false, false},
    {FAULT_SetFileTime, 2, false, false},
    {FAULT_SetFilePointer, 1, false, false},
    {FAULT_copy_rest_of_file, 2, false, true},
    {FAULT_copy_rest_of_file_short, 2, false, true},  // a file system that stops short
    {FAULT_SetEndOfFile, 1, false, true},
    {FAULT_SetFileTime, 3, false, true},
    {FAULT_CloseHandle, 2, false, true},
    {FAULT_CloseHandle, 3, true, false},
    {FAULT_DeleteFileA, 1, true, true},
};

TEST_F(StripTest, EachFailingOperation) {
  const std::string before = "H\r\n\r\n" + pattern_bytes(5000, 7);
  const std::string body = before.substr(5);
  for (const FaultCase& c : fault_cases) {
    SCOPED_TRACE(std::string(fault_operation_name(c.operation)) + ":" + std::to_string(c.nth));
    std::string path = make("f", before);
    fault_arm(c.operation, c.nth);
    Outcome outcome = strip(path);
    EXPECT_TRUE(fault_injected());
    fault_disarm();
    if (c.stripped) {
      EXPECT_EQ(outcome.status, 0);
      EXPECT_EQ(outcome.output, "");
      expect_times_kept(path);
      EXPECT_TRUE(scratch.read("f") == body);
    } else {
      EXPECT_EQ(outcome.status, 1);
      EXPECT_EQ(outcome.output, "error" LINE_END);
      if (!c.body_left) {
        expect_times_kept(path, false);
        EXPECT_TRUE(scratch.read("f") == before);
      }
    }
    std::vector<std::string> left = temp_directory_entries();
    if (c.body_left) {
      ASSERT_EQ(left.size(), 1u);
      EXPECT_EQ(left[0].compare(0, 3, "BCT"), 0);
      EXPECT_TRUE(read_file(test_temp_directory() + "/" + left[0]) == body);
      empty_temp_directory();
    } else {
      EXPECT_TRUE(left.empty());
    }
  }
}

// Every platform call of a strip fails in turn: the file ends stripped with
// its times, or as it was; "error" is written exactly when it was not
// stripped; and the body is never lost.
TEST_F(StripTest, FailingEveryCallInTurnLosesNothing) {
  const std::string before = "Header: x\r\n\r\n" + pattern_bytes(70000, 3);
  const std::string body = before.substr(13);
  std::string path = make("g", before);
  fault_arm(FAULT_ANY, 0);
  strip(path);
  unsigned total = fault_calls(FAULT_ANY);
  ASSERT_GT(total, 20u);
  unsigned faults = 0;
  for (unsigned nth = 1; nth <= total; ++nth) {
    SCOPED_TRACE(nth);
    path = make("g", before);
    fault_arm(FAULT_ANY, nth);
    Outcome outcome = strip(path);
    faults += fault_injected();
    fault_disarm();
    struct stat status = status_of(path);
    std::string after = scratch.read("g");
    std::vector<std::string> left = temp_directory_entries();
    bool body_in_temp = left.size() == 1 && read_file(test_temp_directory() + "/" + left[0]) == body;
    if (outcome.output == "") {
      EXPECT_TRUE(after == body);
      EXPECT_EQ(status.st_mtim.tv_nsec, WRITE_NANOSECONDS);
      EXPECT_EQ(status.st_atim.tv_nsec, ACCESS_NANOSECONDS);
    } else {
      // Not stripped: as it was, or (the copy back failed) its whole body
      // is in the temporary file the run names.
      EXPECT_EQ(outcome.output, "error" LINE_END);
      if (after == before) EXPECT_EQ(status.st_mtim.tv_nsec, WRITE_NANOSECONDS);
      EXPECT_TRUE(after == before || body_in_temp) << "the body exists nowhere whole";
    }
    EXPECT_LE(left.size(), 1u);
    empty_temp_directory();
  }
  EXPECT_EQ(faults, total);
}

}  // namespace

namespace {

struct Writer {
  std::string path;
  std::string added;
  bool touch_only;  // rewrite the same bytes: only the last-write time moves
};

void write_meanwhile(void* context) {
  const Writer* writer = static_cast<const Writer*>(context);
  if (writer->touch_only) {
    set_times(writer->path, 1, 0, 2, 0);
    return;
  }
  std::string bytes = read_file(writer->path) + writer->added;
  std::FILE* out = std::fopen(writer->path.c_str(), "r+b");
  ASSERT_NE(out, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fclose(out);
}

// A writer that changes the file while it is being stripped must not lose
// what it wrote: the strip fails and leaves the file as the writer made it.
TEST_F(StripTest, FileChangedWhileStrippedIsLeftToItsWriter) {
  struct {
    int operation;
    unsigned nth;
    bool touch_only;
  } moments[] = {
      {FAULT_ReadFile, 3, false},           // during the header scan
      {FAULT_copy_rest_of_file, 1, false},  // during the body copy
      {FAULT_CreateFileA, 3, false},        // just before the copy back
      {FAULT_CreateFileA, 3, true},
  };
  const std::string before = "H\r\n\r\nbody";
  for (const auto& moment : moments) {
    SCOPED_TRACE(std::string(fault_operation_name(moment.operation)) + " #" + std::to_string(moment.nth));
    std::string path = make("grow", before);
    Writer writer{path, "+appended", moment.touch_only};
    fault_hook(moment.operation, moment.nth, write_meanwhile, &writer);
    Outcome outcome = strip(path);
    fault_disarm();
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.output, "error" LINE_END);
    EXPECT_EQ(scratch.read("grow"), moment.touch_only ? before : before + "+appended");
  }
}

}  // namespace
