#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "strip/claim.h"
#include "strip/strip_file.h"
#include "support/scratch.h"
#include "temp_directory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const long long WRITE_SECONDS = 1234567890;
const long WRITE_NANOSECONDS = 123456789;
const long long ACCESS_SECONDS = 1300000000;
const long ACCESS_NANOSECONDS = 987654321;

struct Outcome {
  int status;
  std::string output;
  std::string errors;
};

Outcome strip(const std::string& path, int dry_run = 0) {
  CaptureStdout();
  CaptureStderr();
  RunSettings settings = default_run_settings();
  settings.dry_run = dry_run;
  int status = strip_file(path.c_str(), &settings);
  std::string errors = GetCapturedStderr();
  return {status, GetCapturedStdout(), errors};
}

// The lines that say why path was reported "error": one for each time it was.
std::vector<std::string> reason_lines(const std::string& errors, const std::string& path) {
  std::vector<std::string> lines;
  const std::string start = "bodycut: " + path + ": ";
  for (size_t at = 0, end; (end = errors.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = errors.substr(at, end - at);
    if (line.compare(0, start.size(), start) == 0 && line.find("could not put back its mode") == std::string::npos)
      lines.push_back(line.substr(start.size()));
  }
  return lines;
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
  std::string reason = "no header end";  // when it is not stripped
};

const char* const BARE_LINE_FEED = "status line ends in a bare LF; strip it with --http";

// The header ends at the first CR LF CR LF the scan matches; a byte that
// breaks a partial match is not retried as the start of a new one.
const ScanCase scan_cases[] = {
    {"\r\n\r\n", true, ""},
    {"X\r\n\r\nBODY", true, "BODY"},
    {"\n\r\n\r\nB", true, "B"},
    {"H: v\r\nK: w\r\n\r\nbody\r\n\r\nmore", true, "body\r\n\r\nmore"},
    {"\r\r\n\r\n", false, ""},
    {"\r\n\r\r\n\r\nB", false, ""},
    {"H\r\r\n\r\n\r\nB", true, "B"},
    {"", false, ""},
    {"\r\n\r", false, ""},
    {"no header end at all\n\n", false, ""},
    {"\n\n\r\n\r\n", true, ""},
    {std::string("H\r\n\r\n\0\xff\x80", 8), true, std::string("\0\xff\x80", 3)},
    // A status line ending in a bare LF: its header's lines end so too, and
    // the first CR LF CR LF would lie in the body. Any other first line
    // leaves the rule as it is.
    {"HTTP/1.1 200 OK\nA: b\n\n<p>a</p>\r\n\r\n<p>b</p>", false, "", BARE_LINE_FEED},
    {"HTTP/2 204\n\r\n\r\nB", false, "", BARE_LINE_FEED},
    {"HTTP/1.1 200 OK\r\n\r\nB", true, "B"},
    {"HTTP/1.0 304\r\n\r\nB", true, "B"},
    {"HTTP/1.1 2\r\n\r\nB", true, "B"},
    {"HTTP/1.1 200 OK\rX\r\n\r\nB", true, "B"},
    {"HTTP/1.1 200 OK\r\r\n\r\nB", false, ""},
    {"HTTP/1.1 200 OK\r\n\r\r\n\r\nB", false, ""},
    {"http/1.1 200 OK\nA: b\r\n\r\nB", true, "B"},
    {"<p>HTTP/1.1 200 OK\n\r\n\r\nB", true, "B"},
};

TEST_F(StripTest, ScanTable) {
  for (const ScanCase& c : scan_cases) {
    SCOPED_TRACE(testing::PrintToString(c.before));
    std::string path = make("file", c.before);
    // A dry run answers as the real run that follows, and changes nothing.
    Outcome dry = strip(path, 1);
    EXPECT_EQ(dry.status, c.stripped ? 0 : 1);
    EXPECT_EQ(dry.output, c.stripped ? "" : "error" LINE_END);
    EXPECT_EQ(dry.errors, c.stripped ? "" : "bodycut: " + path + ": " + c.reason + LINE_END);
    expect_times_kept(path, false);
    EXPECT_EQ(scratch.read("file"), c.before);
    path = make("file", c.before);  // reading it moved its access time
    Outcome outcome = strip(path);
    EXPECT_EQ(outcome.status, c.stripped ? 0 : 1);
    EXPECT_EQ(outcome.output, c.stripped ? "" : "error" LINE_END);
    EXPECT_EQ(outcome.errors, c.stripped ? "" : "bodycut: " + path + ": " + c.reason + LINE_END);
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

// A sparse file stays sparse, both in the temporary file and once copied
// back, and reads exactly as before less its header: where data moved down
// and a hole follows, its old last bytes read as zeros, and a hole at the
// end keeps the file's length.
TEST_F(StripTest, SparseFileStaysSparse) {
  const off_t GIB = (off_t)1 << 30;
  const std::string tail = "tail" + pattern_bytes(5000, 9);
  const std::string middle = "middle" + pattern_bytes(5000, 11);
  // Longer than the scan reads ahead: the old header's last blocks lie
  // where the stripped file has a hole.
  const std::string header = std::string(70000, 'h') + "\r\n\r\n";
  const off_t cut = (off_t)header.size();
  for (bool ends_in_hole : {false, true}) {
    SCOPED_TRACE(ends_in_hole ? "ends in a hole" : "ends in data");
    std::string path = make("sparse", header + "start");
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    if (ends_in_hole) ASSERT_EQ(ftruncate(fd, GIB), 0);
    if (!ends_in_hole) ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), GIB), (ssize_t)tail.size());
    ASSERT_EQ(pwrite(fd, middle.data(), middle.size(), GIB / 2), (ssize_t)middle.size());
    // Zeros stored as data, as a temporary file system with larger blocks
    // holds the file's finer holes: they go back as holes.
    ASSERT_EQ(pwrite(fd, std::string(2 << 20, '\0').data(), 2 << 20, GIB / 4), 2 << 20);
    close(fd);
    set_times(path, ACCESS_SECONDS, ACCESS_NANOSECONDS, WRITE_SECONDS, WRITE_NANOSECONDS);
    EXPECT_EQ(strip(path).status, 0);
    expect_times_kept(path);
    struct stat status = status_of(path);
    const off_t tail_at = GIB - cut;
    const off_t middle_at = GIB / 2 - cut;
    EXPECT_EQ(status.st_size, ends_in_hole ? tail_at : tail_at + (off_t)tail.size());
    EXPECT_LT(status.st_blocks, 1024) << "holes were written as zeros";
    // Holes read as zeros; every byte of data is read and checked.
    std::string expected_tail = ends_in_hole ? "" : tail;
    fd = open(path.c_str(), O_RDONLY);
    off_t checked = 0;
    for (off_t data; (data = lseek(fd, checked, SEEK_DATA)) >= 0; checked = lseek(fd, data, SEEK_HOLE)) {
      off_t end = lseek(fd, data, SEEK_HOLE);
      ASSERT_LE(end - data, 1 << 20) << "a long run of zeros was written at " << data;
      std::string bytes((size_t)(end - data), 'x');
      ASSERT_EQ(pread(fd, &bytes[0], bytes.size(), data), (ssize_t)bytes.size());
      for (off_t at = data; at < end; ++at) {
        char wanted = at < 5                                                     ? "start"[at]
                      : at >= tail_at                                            ? expected_tail[(size_t)(at - tail_at)]
                      : at >= middle_at && at < middle_at + (off_t)middle.size() ? middle[(size_t)(at - middle_at)]
                                                                                 : '\0';
        ASSERT_EQ(bytes[(size_t)(at - data)], wanted) << "at " << at;
      }
    }
    close(fd);
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

// What is not a regular file is refused without being opened: opening some
// devices has effects, and a FIFO's writer would be let through.
TEST_F(StripTest, RefusesWhatIsNotARegularFile) {
  scratch.make_directory("dir");
  ASSERT_EQ(mkfifo(scratch.path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("fifo", scratch.path("fifo-link").c_str()), 0);
  int watch = inotify_init1(IN_NONBLOCK);
  ASSERT_GE(inotify_add_watch(watch, scratch.path("fifo").c_str(), IN_OPEN), 0);
  for (const char* name : {"dir", "fifo", "fifo-link", "missing"}) {
    Outcome outcome = strip(scratch.path(name));
    EXPECT_EQ(outcome.status, 1) << name;
    EXPECT_EQ(outcome.output, "error" LINE_END) << name;
    EXPECT_EQ(
        reason_lines(outcome.errors, scratch.path(name)),
        std::vector<std::string>{std::string(name) == "missing" ? "No such file or directory" : "not a regular file"});
  }
  char events[4096];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "the FIFO was opened";
  close(watch);
  Outcome device = strip("/dev/zero");
  EXPECT_EQ(device.status, 1);
}

struct FaultCase {
  int operation;
  unsigned nth;
  bool stripped;             // the file ends stripped (else unchanged)
  bool body_left;            // a temporary file holding the whole body remains
  const char* says = "";     // on standard error, or nothing
  unsigned others_left = 0;  // files in the temporary directory that the run did not make
  unsigned mode = 0644;      // before; a stripped file ends writable for its owner, others as they were
  bool name_taken = false;   // the body file's name is removed before the copy back
};

const char* const BODY_KEPT = "not stripped whole; its whole body is kept in ";

// Each operation of a strip fails in turn, and the system calls whose
// failure the operations cannot tell from their own.
const FaultCase fault_cases[] = {
    {FAULT_open_source, 1, false, false},
    {FAULT_SYSTEM_CALL + SYSTEM_CALL_statx, 1, false, false},
    {FAULT_SYSTEM_CALL + SYSTEM_CALL_statx, 3, false, false},  // under the lease, before a byte is written
    {FAULT_SYSTEM_CALL + SYSTEM_CALL_close, 1, true, false},   // the read descriptor's: it was read whole
    {FAULT_read_source, 1, false, false, ": Input/output error" LINE_END},
    {FAULT_choose_body_name, 1, false, false, ": temporary file: Input/output error" LINE_END},
    {FAULT_create_body_file, 1, false, false, ": temporary file: Input/output error" LINE_END},
    {FAULT_fill_body_file, 1, false, false},
    {FAULT_keep_body_file, 1, false, false},
    // A source whose reading cannot be ended cleanly was still read whole.
    {FAULT_end_source_reading, 1, true, false},
    // Another file takes the name first: the run draws another, and leaves that file alone.
    {FAULT_body_name_taken, 1, true, false, "", 1},
    {FAULT_open_copy_back_target, 1, false, false},
    {FAULT_check_times_settable, 1, false, false},
    {FAULT_copy_body_back, 1, false, true, BODY_KEPT},
    {FAULT_copy_body_back_short, 1, false, true, BODY_KEPT},  // a file system that stops short
    // A cleaner of old temporary files took the name: the body is kept under a new one.
    {FAULT_copy_body_back_short, 1, false, true, BODY_KEPT, 0, 0644, true},
    {FAULT_SYSTEM_CALL + SYSTEM_CALL_ftruncate, 1, false, true, BODY_KEPT},
    {FAULT_finish_copy_back, 1, false, true, BODY_KEPT},
    {FAULT_SYSTEM_CALL + SYSTEM_CALL_close, 2, false, true,
     BODY_KEPT},  // the copy back's: its bytes may not all be there
    {FAULT_close_body_file, 1, true, true, ".tmp: could not delete this temporary file" LINE_END},
    // The modes that change go through a hold on the file that was read.
    {FAULT_make_source_writable, 1, false, false, "", 0, 0444},
    {FAULT_SYSTEM_CALL + SYSTEM_CALL_fchmod, 2, true, false, "/f: could not put back its mode" LINE_END, 0, 04755},
};

TEST_F(StripTest, EachFailingOperation) {
  const std::string before = "H\r\n\r\n" + pattern_bytes(70000, 7);  // more than is read ahead
  const std::string body = before.substr(5);
  for (const FaultCase& c : fault_cases) {
    SCOPED_TRACE(std::string(fault_operation_name(c.operation)) + ":" + std::to_string(c.nth));
    std::string path = make("f", before);
    chmod(path.c_str(), c.mode);
    fault_arm(c.operation, c.nth);
    if (c.name_taken)
      fault_hook(
          FAULT_copy_body_back, 1, [](void*) { empty_temp_directory(); }, nullptr);
    Outcome outcome = strip(path);
    EXPECT_TRUE(fault_injected());
    fault_disarm();
    EXPECT_EQ(status_of(path).st_mode & 07777, c.stripped ? c.mode | 0200 : c.mode);
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
    // A file not stripped gets one line that says why, and only then.
    std::vector<std::string> said = reason_lines(outcome.errors, path);
    EXPECT_EQ(said.size(), c.stripped ? 0u : 1u) << outcome.errors;
    if (*c.says == '\0')
      EXPECT_EQ(outcome.errors, said.empty() ? "" : "bodycut: " + path + ": " + said[0] + LINE_END);
    else
      EXPECT_NE(outcome.errors.find(c.says), std::string::npos) << outcome.errors;
    std::vector<std::string> left = temp_directory_entries();
    EXPECT_EQ(left.size(), (c.body_left ? 1u : 0u) + c.others_left);
    unsigned bodies = 0;
    for (const std::string& name : left) {
      EXPECT_EQ(name.compare(0, 3, "BCT"), 0);
      std::string kept = test_temp_directory() + "/" + name;
      struct stat kept_status = status_of(kept);  // before the read below moves its access time
      bodies += read_file(kept) == body && (kept_status.st_mode & 0777) == 0600 &&
                kept_status.st_atim.tv_sec == ACCESS_SECONDS && kept_status.st_mtim.tv_sec == WRITE_SECONDS;
    }
    EXPECT_EQ(bodies, c.body_left ? 1u : 0u);
    empty_temp_directory();
  }
}

// A cleaner of old temporary files removes the body file's name while the
// run holds it, and another file takes the name: the run, which deletes
// only what it made, leaves that file alone and says nothing. Where the
// body file was moved, not removed, it is emptied and its name told.
TEST_F(StripTest, BodyFileNameTakenMeanwhileIsLeftToTheNewFile) {
  for (bool moved : {false, true}) {
    std::string path = make("f", "H\r\n\r\nbody");
    fault_disarm();
    fault_hook(
        FAULT_copy_body_back, 1,
        [](void* moving) {
          for (const std::string& name : temp_directory_entries()) {
            std::string at = test_temp_directory() + "/" + name;
            if (*static_cast<bool*>(moving)) rename(at.c_str(), (test_temp_directory() + "/moved").c_str());
            unlink(at.c_str());
            std::FILE* out = std::fopen(at.c_str(), "wb");
            if (out != nullptr) std::fputs("another's file", out);
            if (out != nullptr) std::fclose(out);
          }
        },
        &moved);
    Outcome outcome = strip(path);
    fault_disarm();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.errors.find(": could not delete this temporary file") != std::string::npos, moved)
        << outcome.errors;
    EXPECT_EQ(scratch.read("f"), "body");
    std::vector<std::string> left = temp_directory_entries();
    ASSERT_EQ(left.size(), moved ? 2u : 1u);
    for (const std::string& name : left)
      EXPECT_EQ(read_file(test_temp_directory() + "/" + name), name == "moved" ? "" : "another's file");
    empty_temp_directory();
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
    EXPECT_EQ(reason_lines(outcome.errors, path).size(), outcome.output == "" ? 0u : 1u) << outcome.errors;
    EXPECT_LE(left.size(), 1u);
    empty_temp_directory();
  }
  EXPECT_EQ(faults, total);
}

}  // namespace

namespace {

// SAME_SIZE: bytes of the same length, its times then set back;
// NARROW_MODE: a read-only file made private; MAPPED: a page of a shared
// mapping, made and written before the file is opened, written again here,
// which changes no time.
enum { APPEND, TOUCH, STRIP_ELSEWHERE, HOLD_AND_STRIP, SAME_SIZE, NARROW_MODE, MAPPED };

struct Writer {
  std::string path;
  std::string added;
  bool touch_only;
  int kind = APPEND;      // what happens to the file meanwhile
  int operation = 0;      // and before which call of which operation
  unsigned again_at = 0;  // once more before this call, when not 0
  std::string body = {};  // what another run's strip leaves
  pid_t holder = -1;
  char* mapped = nullptr;
};

// Another run strips the file, and holds it while it does: the lease its
// copy back takes keeps everyone else out until the body is written.
void hold_and_strip(Writer* writer) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  writer->holder = fork();
  if (writer->holder == 0) {
    signal(SIGIO, SIG_IGN);
    int fd = open(writer->path.c_str(), O_RDWR);
    char done = fcntl(fd, F_SETLEASE, F_WRLCK) == 0 ? 'y' : 'n';
    if (write(ready[1], &done, 1) != 1 || done != 'y') _exit(1);
    usleep(200000);
    bool written = pwrite(fd, writer->body.data(), writer->body.size(), 0) == (ssize_t)writer->body.size() &&
                   ftruncate(fd, (off_t)writer->body.size()) == 0;
    fcntl(fd, F_SETLEASE, F_UNLCK);
    // A run lets its lease go a moment before its file; here a long one.
    usleep(50000);
    _exit(written ? 0 : 1);
  }
  char done = 'n';
  ASSERT_EQ(read(ready[0], &done, 1), 1);
  close(ready[0]);
  close(ready[1]);
  ASSERT_EQ(done, 'y') << "no lease on the scratch file system";
}

void write_meanwhile(void* context) {
  Writer* writer = static_cast<Writer*>(context);
  if (writer->again_at != 0) {
    fault_hook(writer->operation, writer->again_at, write_meanwhile, writer);
    writer->again_at = 0;
  }
  if (writer->kind == HOLD_AND_STRIP) return hold_and_strip(writer);
  if (writer->kind == MAPPED && writer->mapped == nullptr) {
    int fd = open(writer->path.c_str(), O_RDWR);
    writer->mapped = static_cast<char*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    ASSERT_NE(writer->mapped, MAP_FAILED);
    writer->mapped[0] = 'H';
    fault_hook(FAULT_fill_body_file, 1, write_meanwhile, writer);
    return;
  }
  if (writer->kind == MAPPED) {
    std::memcpy(writer->mapped + 5, "LATE", 4);
    munmap(writer->mapped, 4096);
    writer->mapped = nullptr;
    return;
  }
  if (writer->kind == NARROW_MODE) {
    chmod(writer->path.c_str(), 0400);
    return;
  }
  if (writer->touch_only || writer->kind == TOUCH) {
    set_times(writer->path, 1, 0, 2, 0);
    return;
  }
  // While the strip holds its read lease this process would wait for
  // itself: a child writes, once the strip gives the file up.
  int probe = open(writer->path.c_str(), O_RDWR | O_NONBLOCK);
  if (probe < 0 && errno == EWOULDBLOCK && (writer->holder = fork()) != 0) return;
  if (probe >= 0) close(probe);
  // The strip's descriptors, copied here, would keep its lease.
  for (int fd = 3; writer->holder == 0 && fd < 1024; ++fd) close(fd);
  std::FILE* out = std::fopen(writer->path.c_str(), writer->kind == STRIP_ELSEWHERE ? "wb" : "r+b");
  if (out == nullptr && writer->holder == 0) _exit(1);
  ASSERT_NE(out, nullptr);
  // Read once the open is through: the open waits out the strip's lease,
  // and the strip may have been done again since.
  std::string bytes = writer->kind == STRIP_ELSEWHERE ? writer->body : read_file(writer->path) + writer->added;
  if (writer->kind == SAME_SIZE) bytes.assign(bytes.size() - writer->added.size(), 'W');
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fclose(out);
  if (writer->kind == SAME_SIZE)
    set_times(writer->path, ACCESS_SECONDS, ACCESS_NANOSECONDS, WRITE_SECONDS, WRITE_NANOSECONDS);
  if (writer->holder == 0) _exit(0);
}

// A writer that changes the file while it is being stripped must not lose
// what it wrote: the strip fails and leaves the file as the writer made it.
// In HTTP mode the file is read again once: another run that stripped it
// meanwhile leaves it skipped, and a writer's bytes are stripped with it;
// a file that changes again fails.
TEST_F(StripTest, FileChangedWhileStrippedIsLeftToItsWriter) {
  const std::string page = "HTTP/1.1 200 OK\r\n\r\nbody";
  struct {
    int operation;
    unsigned nth;
    bool touch_only;
    bool http = false;
    int kind = APPEND;
    unsigned again_at = 0;
    const char* report = "error" LINE_END;
    std::string after = {};  // when not the file as the writer made it
    // A writer that opens the file while it is read is seen at once.
    const char* reason = "changed while being stripped";
  } moments[] = {
      {FAULT_fill_body_file, 1, false, false, APPEND, 0, "error" LINE_END, {}, "open in another process"},
      {FAULT_end_source_reading, 1, false, false, APPEND, 0, "error" LINE_END, {}, "open in another process"},
      {FAULT_open_copy_back_target, 1, false},  // just before the copy back
      {FAULT_open_copy_back_target, 1, true},
      {FAULT_keep_body_file, 1, false, true, STRIP_ELSEWHERE, 0, "skipped" LINE_END, "body"},
      {FAULT_open_source, 1, false, true, HOLD_AND_STRIP, 0, "skipped" LINE_END, "body"},
      {FAULT_fill_body_file, 1, false, true, APPEND, 0, "", "body+appended"},
      {FAULT_keep_body_file, 1, false, true, APPEND, 0, "", "body+appended"},
      {FAULT_keep_body_file, 1, false, true, TOUCH, 0, "", "body"},
      {FAULT_keep_body_file, 1, false, true, APPEND, 2},
      {FAULT_fill_body_file, 1, false, false, SAME_SIZE, 0, "error" LINE_END, "WWWWWWWWW", "open in another process"},
      {FAULT_fill_body_file, 1, true, false, NARROW_MODE},
      {FAULT_open_source, 1, true, false, MAPPED, 0, "error" LINE_END, {}, "open in another process"},
  };
  for (const auto& moment : moments) {
    SCOPED_TRACE(std::string(fault_operation_name(moment.operation)) + " #" + std::to_string(moment.nth) +
                 (moment.http ? " http kind " + std::to_string(moment.kind) : ""));
    std::string before = moment.http ? page : "H\r\n\r\nbody";
    std::string path = make("grow", before);
    chmod(path.c_str(), moment.kind == NARROW_MODE ? 0444 : 0644);
    Writer writer{path, "+appended", moment.touch_only, moment.kind, moment.operation, moment.again_at, "body"};
    fault_hook(moment.operation, moment.nth, write_meanwhile, &writer);
    RunSettings settings = default_run_settings();
    settings.http_only = moment.http;
    CaptureStdout();
    CaptureStderr();
    int status = strip_file(path.c_str(), &settings);
    std::string errors = GetCapturedStderr();
    Outcome outcome = {status, GetCapturedStdout(), errors};
    fault_disarm();
    if (writer.mapped != nullptr) munmap(writer.mapped, 4096);
    int holder_status = -1;
    if (writer.holder > 0) EXPECT_EQ(waitpid(writer.holder, &holder_status, 0), writer.holder);
    if (writer.holder > 0) EXPECT_EQ(holder_status, 0);
    std::string report = moment.report;
    EXPECT_EQ(outcome.status, report == "" ? STRIP_OK : report == "error" LINE_END ? STRIP_FAILED : STRIP_SKIPPED);
    EXPECT_EQ(outcome.output, report);
    std::vector<std::string> reasons;
    if (report == "error" LINE_END) reasons.push_back(moment.reason);
    EXPECT_EQ(reason_lines(outcome.errors, path), reasons);
    std::string after = moment.touch_only ? before : before + "+appended";
    if (moment.again_at != 0) after += "+appended";
    EXPECT_EQ(scratch.read("grow"), moment.after.empty() ? after : moment.after);
    EXPECT_EQ(status_of(path).st_mode & 07777, moment.kind == NARROW_MODE ? 0400u : 0644u);
  }
}

}  // namespace

namespace {

struct Swap {
  std::string path;
  std::string victim;
  int kind;  // 0: a dangling link, 1: a link to the victim, 2: the victim renamed over it, 3: renamed to victim
};

void swap_meanwhile(void* context) {
  const Swap* swap = static_cast<const Swap*>(context);
  if (swap->kind == 3) {
    ASSERT_EQ(rename(swap->path.c_str(), swap->victim.c_str()), 0);
    return;
  }
  if (swap->kind == 2) {
    ASSERT_EQ(rename(swap->victim.c_str(), swap->path.c_str()), 0);
    return;
  }
  ASSERT_EQ(unlink(swap->path.c_str()), 0);
  ASSERT_EQ(symlink(swap->kind == 0 ? "nowhere" : swap->victim.c_str(), swap->path.c_str()), 0);
}

// Whatever is put at the path between the read and the copy back, the copy
// back writes the very file that was read, or nothing: it creates no file
// and writes no other one, even one of the same size and last-write time.
// The read-only file's mode is changed and put back through what was read,
// never by path, so no other file's mode changes either.
TEST_F(StripTest, FileSwappedBeforeTheCopyBackIsNeverWritten) {
  const std::string before = "H\r\n\r\nsecret!";
  for (int operation : {FAULT_make_source_writable, FAULT_open_copy_back_target}) {
    for (int kind : {0, 1, 2}) {
      SCOPED_TRACE(std::string(fault_operation_name(operation)) + " kind " + std::to_string(kind));
      std::string path = make("page", before);
      std::string victim = make("victim", "H\r\n\r\nvictim!");  // same size, same times
      chmod(path.c_str(), 0444);
      chmod(victim.c_str(), 0644);
      Swap swap{path, victim, kind};
      // A mode that cannot be put back is said, with the path. The file
      // that lost its name before its mode changed keeps its mode.
      bool mode_changed = kind == 2 && operation == FAULT_open_copy_back_target;
      if (mode_changed) fault_arm(FAULT_restore_protection, 1);
      // The attributes are cleared just before the copy back's open.
      fault_hook(operation, 1, swap_meanwhile, &swap);
      Outcome outcome = strip(path);
      EXPECT_GE(fault_calls(operation), 1u) << "the swap never came";
      fault_disarm();
      EXPECT_EQ(outcome.status, 1);
      if (kind == 0) EXPECT_NE(access(path.c_str(), F_OK), 0) << "a file was created";
      if (kind != 2) expect_times_kept(victim, false);
      EXPECT_EQ(read_file(kind == 2 ? path : victim), "H\r\n\r\nvictim!");
      EXPECT_EQ(status_of(kind == 2 ? path : victim).st_mode & 07777, 0644u) << "another file's mode changed";
      // Another file at the path, or none, is a file changed meanwhile:
      // the file that was read has lost its name.
      EXPECT_EQ(outcome.errors, (mode_changed ? "bodycut: " + path + ": could not put back its mode" LINE_END : "") +
                                    "bodycut: " + path + ": changed while being stripped" LINE_END);
      unlink(path.c_str());
      unlink(victim.c_str());
    }
  }
}

// A file renamed between the read and the copy back is left as it is, and
// nothing appears at the old name: a rename changes the file's status
// change time, as a write that set its times back does, and nothing tells
// the two apart.
TEST_F(StripTest, FileRenamedBeforeTheCopyBackIsLeftWhereItIs) {
  std::string path = make("page", "H\r\n\r\nbody");
  Swap swap{path, path + ".moved", 3};
  fault_hook(FAULT_open_copy_back_target, 1, swap_meanwhile, &swap);
  Outcome outcome = strip(path);
  fault_disarm();
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "a file was created";
  expect_times_kept(swap.victim, false);
  EXPECT_EQ(read_file(swap.victim), "H\r\n\r\nbody");
}

void append_blocked(void* context) {
  const Writer* writer = static_cast<const Writer*>(context);
  int fd = open(writer->path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK);
  EXPECT_LT(fd, 0) << "a writer got in during the copy back";
  EXPECT_EQ(errno, EWOULDBLOCK);
  if (fd >= 0) close(fd);
}

// Nobody can append while the copy back runs, and a writer that holds the
// file open keeps it from being stripped: no appended byte is ever lost.
TEST_F(StripTest, AppendingWritersLoseNothing) {
  const std::string before = "H\r\n\r\nbody";
  std::string path = make("log", before);
  Writer writer{path, "", false};
  fault_hook(FAULT_copy_body_back, 1, append_blocked, &writer);
  EXPECT_EQ(strip(path).status, 0);
  EXPECT_EQ(fault_calls(FAULT_copy_body_back), 1u);
  fault_disarm();
  EXPECT_EQ(scratch.read("log"), "body");

  path = make("log", before);
  chmod(path.c_str(), 0400);
  int appender = open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(appender, 0);
  ASSERT_EQ(write(appender, "+1", 2), 2);
  Outcome outcome = strip(path);
  ASSERT_EQ(write(appender, "+2", 2), 2);
  close(appender);
  EXPECT_EQ(outcome.output, "error" LINE_END);
  EXPECT_EQ(reason_lines(outcome.errors, path), std::vector<std::string>{"open in another process"});
  EXPECT_EQ(scratch.read("log"), before + "+1+2");
  EXPECT_EQ(status_of(path).st_mode & 07777, 0400u) << "the mode is put back when the strip fails";
}

// The system's lease break time, set for a test and put back after it.
class LeaseBreakTime {
 public:
  explicit LeaseBreakTime(const char* seconds) {
    std::FILE* in = std::fopen(FILE_NAME, "r");
    if (in == nullptr || std::fscanf(in, "%ld", &saved_) != 1) saved_ = -1;
    if (in != nullptr) std::fclose(in);
    set_ = saved_ >= 0 && put(seconds);
  }
  ~LeaseBreakTime() {
    if (set_) put(std::to_string(saved_).c_str());
  }
  bool set() const { return set_; }

 private:
  static constexpr const char* FILE_NAME = "/proc/sys/fs/lease-break-time";
  static bool put(const char* text) {
    std::FILE* out = std::fopen(FILE_NAME, "w");
    if (out == nullptr) return false;
    bool written = std::fputs(text, out) >= 0;
    return std::fclose(out) == 0 && written;
  }
  long saved_ = -1;
  bool set_ = false;
};

struct Waiter {
  std::string path;
  bool appends;
  pid_t child;
  bool slow_chunk = false;  // the copy back's first chunk is slow
};

// Until this process holds a lease on path whose break a reader waits for.
void wait_for_lease_break(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  std::string target = real != nullptr ? real : path;
  std::free(real);
  for (int round = 0; round < 5000; ++round) {
    for (int fd = 3; fd < 1024; ++fd) {
      char link[64];
      char name[4096];
      std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
      ssize_t length = readlink(link, name, sizeof name - 1);
      if (length <= 0 || std::string(name, (size_t)length) != target) continue;
      if (fcntl(fd, F_GETLEASE) == F_RDLCK) return;
    }
    usleep(1000);
  }
  ADD_FAILURE() << "the reader never waited for the lease";
}

// Another process opens the file while the copy back holds it, and waits.
// A reader is let in when the strip ends; an appender is waited for here,
// until the break time ran out and it appended.
void open_meanwhile(void* context) {
  Waiter* waiter = static_cast<Waiter*>(context);
  waiter->child = fork();
  if (waiter->child == 0) {
    int fd = open(waiter->path.c_str(), waiter->appends ? O_WRONLY | O_APPEND : O_RDONLY);
    _exit(fd >= 0 && (!waiter->appends || write(fd, "+appended", 9) == 9) ? 0 : 1);
  }
  const int copy = FAULT_SYSTEM_CALL + SYSTEM_CALL_copy_file_range;
  if (waiter->slow_chunk)
    fault_hook(
        copy, fault_calls(copy) + 1, [](void*) { usleep(500000); }, nullptr);
  if (!waiter->appends) return wait_for_lease_break(waiter->path);
  int status = -1;
  waitpid(waiter->child, &status, 0);
  waiter->child = -1;
  EXPECT_EQ(status, 0);
}

// The lease decides from what happened: a break that has not run out by
// the end of the copy back let nobody in; once it may have run out, the
// file is not written again and its body is kept. A chunk as slow as the
// last could outlast the break time left: it is not begun.
TEST_F(StripTest, LeaseBreaksDecideFromWhatHappened) {
  LeaseBreakTime break_time("1");
  if (!break_time.set()) GTEST_SKIP() << "needs root to set the lease break time";
  const std::string large((33 << 20) + 1, 'b');  // two chunks
  const struct {
    bool appends;
    int status;
    std::string after;
    bool slow_chunk = false;
  } cases[] = {
      {false, 0, "body"},                   // a reader that merely waited
      {true, 1, "H\r\n\r\nbody+appended"},  // an appender let in when the break ran out
      {false, 1, "", true},                 // a reader, and a chunk that took half the break time
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.appends ? "appender" : "reader");
    fault_new_run();
    const std::string& body = c.slow_chunk ? large : "body";
    std::string path = make("waited", "H\r\n\r\n" + body);
    Waiter waiter{path, c.appends, -1, c.slow_chunk};
    fault_hook(FAULT_copy_body_back, 1, open_meanwhile, &waiter);
    Outcome outcome = strip(path);
    const std::string& errors = outcome.errors;
    fault_disarm();
    int status = -1;
    if (waiter.child > 0) waitpid(waiter.child, &status, 0);
    if (waiter.child > 0) EXPECT_EQ(status, 0);
    EXPECT_EQ(outcome.status, c.status);
    if (!c.after.empty()) EXPECT_EQ(scratch.read("waited"), c.after);
    std::vector<std::string> left = temp_directory_entries();
    ASSERT_EQ(left.size(), c.status == 0 ? 0u : 1u);
    if (c.status == 0) continue;
    EXPECT_TRUE(read_file(test_temp_directory() + "/" + left[0]) == body);
    EXPECT_NE(errors.find(left[0]), std::string::npos) << errors;
    EXPECT_NE(errors.find("may hold bytes from another writer"), std::string::npos) << errors;
    empty_temp_directory();
  }
}

// A running program cannot be written: nothing was, so nothing is kept.
TEST_F(StripTest, RunningProgramIsLeftAndNoBodyKept) {
  std::string program = read_file("/bin/sleep") + "\r\n\r\nbody";
  std::string path = make("program", program);
  chmod(path.c_str(), 0755);
  pid_t child = fork();
  if (child == 0) {
    execl(path.c_str(), "program", "5", (char*)nullptr);
    _exit(127);
  }
  usleep(100000);
  Outcome outcome = strip(path);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(outcome.output, "error" LINE_END);
  EXPECT_TRUE(scratch.read("program") == program);
}

// A run as a walk makes one, over the scratch directory: its settings, a
// table of stripped files (shared as workers share it, when asked), the
// temporary directory and one body file, all ended with it. Its report
// lines are taken in and dropped.
class WalkRun {
 public:
  explicit WalkRun(const Scratch& scratch, bool shared = false) : shared_(shared) {
    stripped_files_clear(&seen);
    if (shared_) lock_begin(&seen.lock);
    seen.shared = shared_;
    settings = default_run_settings();
    find_temporary_directory(&temporary_);
    EXPECT_FALSE(failed(open_walk_root((scratch.root() + "/*").c_str(), 0, &root_)));
    begin_body_file(&temporary_, &body);
    CaptureStdout();
  }
  ~WalkRun() {
    GetCapturedStdout();
    EXPECT_FALSE(failed(end_body_file(&body)));
    close_walk_root(&root_);
    close_temporary_directory(&temporary_);
    if (shared_) lock_end(&seen.lock);
  }
  int strip(const std::string& path, int reached_through_link = 0) {
    ::Run run = {&settings, &seen, &temporary_, &root_};
    StripResult result = strip_found_file(path.c_str(), &run, &body, reached_through_link);
    why = result.why;
    return result.outcome;
  }
  static StrippedFiles seen;
  RunSettings settings;
  BodyFile body;
  Reason why;  // the last strip's

 private:
  bool shared_;
  TemporaryDirectory temporary_;
  WalkRoot root_;
};
StrippedFiles WalkRun::seen;

// When the table of stripped files is full, a file that may be met again
// under another name is left alone, however the walk found it (a link put
// at a name after the listing included); any other is still stripped.
TEST_F(StripTest, FullTableLeavesFilesWithSecondNames) {
  std::string first = make("first", "H\r\n\r\n1");
  ASSERT_EQ(link(first.c_str(), scratch.path("first-again").c_str()), 0);
  std::string linked = make("linked", "H\r\n\r\n2");
  ASSERT_EQ(link(linked.c_str(), scratch.path("linked-again").c_str()), 0);
  std::string plain = make("plain", "H\r\n\r\n3");
  ASSERT_EQ(symlink("plain", scratch.path("soft").c_str()), 0);
  {
    WalkRun run(scratch);
    run.seen.limit = 1;
    EXPECT_EQ(run.strip(first), STRIP_OK);
    EXPECT_EQ(run.strip(scratch.path("first-again")), STRIP_OK) << "met before";
    EXPECT_EQ(run.strip(linked), STRIP_FAILED);
    EXPECT_EQ(run.strip(plain, 1), STRIP_FAILED) << "reached through a link";
    EXPECT_EQ(run.strip(scratch.path("soft")), STRIP_FAILED) << "a link the walk did not see";
    EXPECT_EQ(run.strip(plain), STRIP_OK);
  }
  EXPECT_EQ(scratch.read("first"), "1");
  EXPECT_EQ(scratch.read("linked"), "H\r\n\r\n2");
  EXPECT_EQ(scratch.read("plain"), "3");
}

// A walk through the temporary directory meets the body file the run
// holds, one it kept for a copy back that failed, or one another run
// keeps: each is left alone, unread, and gets no line, even where its bytes
// hold a header end, or where it is gone by then. Only the name and the
// directory tell: a file so named elsewhere is stripped.
TEST_F(StripTest, BodyFilesInTheTemporaryDirectoryAreLeftAlone) {
  std::string others = test_temp_directory() + "/BCTother1.tmp";
  std::FILE* out = std::fopen(others.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fputs("H\r\n\r\nY", out);
  std::fclose(out);
  std::string elsewhere = make("BCTother1.tmp", "H\r\n\r\nZ");
  std::string linked = scratch.path("temporary") + "/BCTother1.tmp";  // the walk follows no link to it
  ASSERT_EQ(symlink(test_temp_directory().c_str(), scratch.path("temporary").c_str()), 0);
  std::string held;
  {
    WalkRun run(scratch);
    EXPECT_EQ(run.strip(make("first", "H\r\n\r\nX\r\n\r\nbody")), STRIP_OK);
    held = run.body.name;
    const struct {
      std::string path;
      int close_first;
      int outcome;
      const char* after;
      int fault = -1;  // a failing system call: its directory cannot be told
    } meetings[] = {{held, 0, STRIP_NO_LINE, "X\r\n\r\nbody"},
                    {held, 1, STRIP_NO_LINE, "X\r\n\r\nbody"},
                    {others, 0, STRIP_NO_LINE, "H\r\n\r\nY"},
                    {test_temp_directory() + "/BCTgone99.tmp", 0, STRIP_NO_LINE, nullptr},
                    {elsewhere, 0, STRIP_OK, "Z"},
                    {linked, 0, STRIP_FAILED, "H\r\n\r\nY"},
                    {others, 0, STRIP_FAILED, "H\r\n\r\nY", FAULT_ANY}};
    for (const auto& m : meetings) {
      if (m.close_first) EXPECT_FALSE(failed(close_body_file(&run.body, 0)));
      if (m.fault >= 0) fault_arm(m.fault, 1);
      EXPECT_EQ(run.strip(m.path), m.outcome) << m.path;
      fault_disarm();
      if (m.after != nullptr) EXPECT_EQ(read_file(m.path), m.after) << m.path;
    }
  }
  unlink(held.c_str());
  unlink(others.c_str());
}

// A worker strips a file with the mode it had when opened, not when it was
// found: a set-ID bit removed meanwhile is not put back, nor a mode that
// was narrowed widened again. Nor is one its owner removes during the copy
// back, where the system keeps such bits through a write (for root).
TEST_F(StripTest, ModeChangedBeforeAWorkerOpensTheFileIsTheOneKept) {
  struct Change {
    std::string path;
    unsigned found, opened, kept;
    int operation = FAULT_open_found_source;
  } changes[] = {{make("setid", "H\r\n\r\nbody"), 04755, 0755, 0755},
                 {make("narrowed", "H\r\n\r\nbody"), 0666, 0444, 0644},
                 {make("late", "H\r\n\r\nbody"), 04755, 0755, geteuid() == 0 ? 0755u : 04755u, FAULT_finish_copy_back}};
  WalkRun run(scratch, true);
  for (Change& c : changes) {
    chmod(c.path.c_str(), c.found);
    fault_hook(
        c.operation, 1,
        [](void* change) { chmod(static_cast<Change*>(change)->path.c_str(), static_cast<Change*>(change)->opened); },
        &c);
    EXPECT_EQ(run.strip(c.path), STRIP_OK) << c.path;
    fault_disarm();
    EXPECT_EQ(status_of(c.path).st_mode & 07777, c.kept) << c.path;
    EXPECT_EQ(read_file(c.path), "body");
  }
}

// A file made during the run under the number of a stripped file that was
// deleted is another file, and is stripped (where the file system tells
// when a file was made, and gives the number again).
TEST_F(StripTest, NewFileAtAStrippedFilesFreedNumberIsStripped) {
  std::string first = make("first", "H\r\n\r\n1");
  ino_t number = status_of(first).st_ino;
  std::string again;
  {
    WalkRun run(scratch);
    EXPECT_EQ(run.strip(first), STRIP_OK);
    unlink(first.c_str());
    for (int i = 0; i < 64 && again.empty(); ++i) {
      std::string path = make("new" + std::to_string(i), "H\r\n\r\n2");
      if (status_of(path).st_ino == number) again = path;
    }
    if (!again.empty()) EXPECT_EQ(run.strip(again), STRIP_OK);
  }
  if (again.empty()) GTEST_SKIP() << "the file system gave no number again";
  EXPECT_EQ(read_file(again), "2");
}

// In HTTP mode a file that another run holds is waited for, but one that
// a writer merely keeps open only a little (not the ten seconds a copy
// back gets).
TEST_F(StripTest, HttpRunWaitsForNoWriterThatKeepsTheFileOpen) {
  std::string path = make("log", "HTTP/1.1 200 OK\r\n\r\nbody");
  int writer = open(path.c_str(), O_WRONLY | O_APPEND);
  RunSettings settings = default_run_settings();
  settings.http_only = 1;
  fault_disarm();
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(strip_file(path.c_str(), &settings), STRIP_FAILED);
  GetCapturedStdout();
  EXPECT_EQ(reason_lines(GetCapturedStderr(), path), std::vector<std::string>{"open in another process"});
  EXPECT_LE(fault_calls(FAULT_open_source), 22u) << "the strip, 20 looks at most, the second strip";
  close(writer);
}

// A stripped file is known by its identity only while it is as the run
// left it: where no birth time tells files apart, one made later under a
// number the system gave again is another file, not one stripped already.
TEST(Claims, AStrippedIdentityIsTheFileOnlyAsItWasLeft) {
  static StrippedFiles seen;
  stripped_files_clear(&seen);
  const FileIdentity identity = {1, 2, 0};
  const FileStamp written = {1500000000, 5}, later = {1700000000, 0};
  int recorded = 0;
  ASSERT_EQ(claim_file(&seen, &identity, folded_facts(10, &written), 0, &recorded), FILE_CLAIMED);
  settle_file(&seen, &identity, FILE_STRIPPED, folded_facts(4, &written));
  EXPECT_EQ(claim_file(&seen, &identity, folded_facts(4, &written), 0, &recorded), FILE_STRIPPED);
  EXPECT_EQ(claim_file(&seen, &identity, folded_facts(4, &later), 0, &recorded), FILE_NOT_AS_LEFT);
  EXPECT_EQ(claim_file(&seen, &identity, folded_facts(10, &written), 0, &recorded), FILE_NOT_AS_LEFT);
}

// A dry run counts a file as stripped: its other names are not read again.
TEST_F(StripTest, DryRunCountsAFileAsStripped) {
  std::string first = make("first", "H\r\n\r\n1");
  ASSERT_EQ(link(first.c_str(), scratch.path("first-again").c_str()), 0);
  WalkRun run(scratch);
  run.settings.dry_run = 1;
  EXPECT_EQ(run.strip(first), STRIP_OK);
  SourceFile file;
  ASSERT_FALSE(failed(open_source(nullptr, first.c_str(), &file)));
  FileIdentity identity = file.facts.identity;
  close_source(&file);
  EXPECT_EQ(stripped_files_state(&run.seen, &identity), FILE_STRIPPED);
  EXPECT_EQ(run.strip(scratch.path("first-again")), STRIP_OK);
  EXPECT_EQ(scratch.read("first"), "H\r\n\r\n1");
}

// A copy back that failed midway leaves part of the body, whose first
// blank line a second strip would take for a header end: another name of
// the file is not read again, and the body kept stays the only one.
TEST_F(StripTest, HalfWrittenFileIsNotStrippedUnderAnotherName) {
  std::string first = make("first", "H\r\n\r\n" + std::string(3000, 'a') + "\r\n\r\n" + std::string(3000, 'b'));
  ASSERT_EQ(link(first.c_str(), scratch.path("first-again").c_str()), 0);
  std::string left;
  {
    WalkRun run(scratch);
    CaptureStderr();
    fault_arm(FAULT_copy_body_back_short, 1);
    EXPECT_EQ(run.strip(first), STRIP_FAILED);
    fault_disarm();
    left = scratch.read("first");
    EXPECT_EQ(run.strip(scratch.path("first-again")), STRIP_FAILED);
    EXPECT_EQ(run.why.kind, REASON_HALF_WRITTEN);
    GetCapturedStderr();
  }
  EXPECT_EQ(scratch.read("first"), left);
  empty_temp_directory();
}

}  // namespace
