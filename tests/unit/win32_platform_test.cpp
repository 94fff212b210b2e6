// The Windows platform under wine: every system call and every operation
// fails in turn during a strip, a single file's and a tree's with workers,
// and no byte is lost whichever it is.
#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "strip/strip_file.h"
#include "walk/walk_target.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_whole(const std::string& path, const std::string& bytes) {
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  EXPECT_TRUE(out.good()) << path << " is held open";
}

std::vector<std::string> names_in(const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found))
    if (found.cFileName[0] != '.') names.push_back(found.cFileName);
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  return names;
}

// A directory of the test's own in the system's temporary directory, which
// is also the run's temporary directory (TMP), with the console's output
// going to a file in it.
class Win32Platform : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, base), 0u);
    ASSERT_NE(GetFileAttributesA(base), INVALID_FILE_ATTRIBUTES) << base << ": under wine, set BODYCUT_TEMP";
    original_tmp = GetEnvironmentVariableA("TMP", saved_tmp, MAX_PATH) != 0;
    temporary = base;
    temporary.pop_back();
    directory = temporary + "\\bodycut-test-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(directory.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((directory + "\\tree").c_str(), nullptr));
    SetEnvironmentVariableA("TMP", directory.c_str());
    fault_disarm();
  }
  void TearDown() override {
    fault_disarm();
    SetEnvironmentVariableA("TMP", original_tmp ? saved_tmp : nullptr);
    for (const std::string& name : names_in(directory + "\\tree\\*")) remove_file(directory + "\\tree\\" + name);
    RemoveDirectoryA((directory + "\\tree").c_str());
    for (const std::string& name : names_in(directory + "\\*")) remove_file(directory + "\\" + name);
    EXPECT_TRUE(RemoveDirectoryA(directory.c_str()));
  }
  // Fails while the file is held open.
  static bool remove_file(const std::string& path) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileA(path.c_str());
  }

  // Runs action with standard output and error going to a file; gives what was written.
  template <typename Action>
  std::string console_of(Action action) {
    std::string path = directory + "\\console.txt";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    SetStdHandle(STD_ERROR_HANDLE, file);
    action();
    SetStdHandle(STD_OUTPUT_HANDLE, output);
    SetStdHandle(STD_ERROR_HANDLE, error);
    CloseHandle(file);
    std::string written = read_whole(path);
    DeleteFileA(path.c_str());
    return written;
  }

  // Whether a temporary file the run named on the console holds body
  // whole; every temporary file left is that or empty (one whose deletion
  // failed, which the console names too), and is removed.
  bool body_kept(const std::string& body, const std::string& console) {
    bool kept = false;
    for (const std::string& name : names_in(directory + "\\BCT*.tmp")) {
      std::string held = read_whole(directory + "\\" + name);
      EXPECT_TRUE(held.empty() || held == body) << name;
      EXPECT_NE(console.find(name), std::string::npos) << name;
      kept = kept || held == body;
      EXPECT_TRUE(remove_file(directory + "\\" + name)) << name << " is held open";
    }
    return kept;
  }

  // Every byte is kept: the file is as it was or its body, or its body is
  // whole in a temporary file.
  static void expect_nothing_lost(const std::string& path, const std::string& before, const std::string& body,
                                  bool kept) {
    std::string now = read_whole(path);
    EXPECT_TRUE(now == before || now == body || kept) << path << ": " << now;
  }

  std::string directory;
  char saved_tmp[MAX_PATH] = "";
  bool original_tmp = false;
  std::string temporary;  // the system's temporary directory, with no separator at its end
};

// Armed as BODYCUT_FAULT arms it, so that the console says which call failed.
void arm_announced(const std::string& setting) {
  _putenv(("BODYCUT_FAULT=" + setting).c_str());
  fault_arm_from_environment();
  _putenv("BODYCUT_FAULT=");
}

struct StripCase {
  const char* content;
  const char* body;
  DWORD attributes;
  int http_only;
};

const StripCase strip_cases[] = {
    {"H\r\n\r\nbody", "body", FILE_ATTRIBUTE_NORMAL, 0},
    {"H\r\n\r\nread-only body", "read-only body", FILE_ATTRIBUTE_READONLY, 0},
    // The scan reads past the redirect's block, then steps back to its body.
    {"HTTP/1.1 301 Moved\r\nLocation: /\r\n\r\nHTTP body", "HTTP body", FILE_ATTRIBUTE_NORMAL, 1},
};

// The nth system call fails, for each n until a strip makes no more.
TEST_F(Win32Platform, EverySystemCallOfAStripFailingInTurn) {
  for (const StripCase& row : strip_cases) {
    std::string path = directory + "\\page.htm";
    // The calls of a strip that fails nowhere: the sweep fails each in turn.
    write_whole(path, row.content);
    SetFileAttributesA(path.c_str(), row.attributes);
    RunSettings clean = default_run_settings();
    clean.http_only = row.http_only;
    fault_arm(FAULT_ANY, 0);
    console_of([&] { strip_file(path.c_str(), &clean); });
    unsigned calls = fault_calls(FAULT_ANY);
    // The copy back's calls among them.
    EXPECT_EQ(fault_calls(FAULT_SYSTEM_CALL + SYSTEM_CALL_SetEndOfFile), 1u);
    fault_disarm();
    bool injected = true;
    unsigned nth = 1;
    for (; injected && nth < 200; ++nth) {
      write_whole(path, row.content);
      SetFileAttributesA(path.c_str(), row.attributes);
      RunSettings settings = default_run_settings();
      settings.http_only = row.http_only;
      int status = -1;
      arm_announced(std::to_string(nth));
      std::string console = console_of([&] { status = strip_file(path.c_str(), &settings); });
      injected = fault_injected() != 0;
      fault_disarm();
      if (nth == 1) EXPECT_TRUE(injected);
      SCOPED_TRACE(console);
      if (status == STRIP_OK || !injected) EXPECT_EQ(read_whole(path), row.body);
      expect_nothing_lost(path, row.content, row.body, body_kept(row.body, console));
    }
    EXPECT_FALSE(injected);
    EXPECT_EQ(nth, calls + 2);
  }
}

// A write made between the read and the copy back is seen, even where its
// writer puts the file's times back: the file keeps it and reports "error".
// Just after a read-only file is made writable no writer gets in at all.
TEST_F(Win32Platform, WriteBeforeTheCopyBackIsSeen) {
  static std::string path;
  static bool wrote;
  path = directory + "\\page.htm";
  const struct {
    const StripCase& strip;
    int call;      // the writer comes just before its nth call
    unsigned nth;  // 0: the strip's last
  } rows[] = {{strip_cases[0], SYSTEM_CALL_CreateFileA, 0},
              {strip_cases[1], SYSTEM_CALL_CreateFileA, 0},
              {strip_cases[1], SYSTEM_CALL_GetFileInformationByHandleEx, 3}};
  for (const auto& row : rows) {
    RunSettings settings = default_run_settings();
    write_whole(path, row.strip.content);
    SetFileAttributesA(path.c_str(), row.strip.attributes);
    fault_arm(FAULT_ANY, 0);
    console_of([&] { strip_file(path.c_str(), &settings); });
    unsigned nth = row.nth != 0 ? row.nth : fault_calls(FAULT_SYSTEM_CALL + row.call);
    fault_disarm();
    write_whole(path, row.strip.content);
    SetFileAttributesA(path.c_str(), row.strip.attributes);
    wrote = false;
    fault_hook(
        FAULT_SYSTEM_CALL + row.call, nth,
        [](void*) {
          HANDLE file =
              CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
          FILETIME times[3];
          DWORD written = 0;
          wrote = GetFileTime(file, &times[0], &times[1], &times[2]) &&
                  SetFilePointer(file, -1, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
                  WriteFile(file, "Z", 1, &written, nullptr) && SetFileTime(file, &times[0], &times[1], &times[2]);
          if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        },
        nullptr);
    int status = STRIP_OK;
    console_of([&] { status = strip_file(path.c_str(), &settings); });
    fault_disarm();
    std::string changed = row.strip.content;
    changed.back() = 'Z';
    EXPECT_EQ(status != STRIP_OK, wrote) << row.strip.body << " " << row.nth;
    EXPECT_EQ(read_whole(path), wrote ? changed : row.strip.body) << row.nth;
    EXPECT_EQ(wrote, row.nth == 0) << row.nth;
  }
}

// A last-write time of zero, or of all ones, is one SetFileTime cannot
// give back: such a file is not written.
TEST_F(Win32Platform, ZeroLastWriteTimeIsNotTakenAsSettable) {
  std::string path = directory + "\\page.htm";
  write_whole(path, "H\r\n\r\nbody");
  SourceFile source;
  ASSERT_FALSE(failed(open_source(nullptr, path.c_str(), &source)));
  ASSERT_FALSE(failed(end_source_reading(&source)));
  CopyBackTarget target;
  ASSERT_FALSE(failed(open_copy_back_target(&source, path.c_str(), &target)));
  FileTimes times = source.facts.times;
  EXPECT_FALSE(failed(check_times_settable(&target, &times)));
  for (std::int64_t unsettable : {0, -1}) {
    times.written = FileStamp{unsettable, 0};
    EXPECT_EQ(check_times_settable(&target, &times).kind, REASON_TIMES) << unsettable;
  }
  close_copy_back_target(&target);
  close_source(&source);
}

// A temporary folder must leave room for the names GetTempFileNameA adds:
// C:\ and n letters come back as n + 4 bytes, a separator at their end.
TEST_F(Win32Platform, TemporaryFolderTooLongForItsNames) {
  const struct {
    size_t letters;
    int kind;
  } rows[] = {{242, REASON_NONE}, {243, REASON_TOO_LONG}};
  for (const auto& row : rows) {
    SetEnvironmentVariableA("TMP", ("C:\\" + std::string(row.letters, 't')).c_str());
    TemporaryDirectory temporary;
    find_temporary_directory(&temporary);
    EXPECT_EQ(temporary.failure.kind, row.kind) << row.letters;
    close_temporary_directory(&temporary);
  }
}

// Each operation fails first thing.
TEST_F(Win32Platform, EachOperationOfAStripFailing) {
  for (int operation = FAULT_ANY + 1; operation < FAULT_SYSTEM_CALL; ++operation) {
    std::string path = directory + "\\page.htm";
    write_whole(path, strip_cases[0].content);
    RunSettings settings = default_run_settings();
    int status = -1;
    arm_announced(fault_operation_name(operation) + std::string(":1"));
    std::string console = console_of([&] { status = strip_file(path.c_str(), &settings); });
    bool injected = fault_injected() != 0;
    fault_disarm();
    SCOPED_TRACE(fault_operation_name(operation) + std::string(": ") + console);
    EXPECT_EQ(status == STRIP_OK, !injected || operation == FAULT_close_body_file);
    expect_nothing_lost(path, strip_cases[0].content, strip_cases[0].body, body_kept(strip_cases[0].body, console));
  }
}

// A tree with workers: the files are found, then opened, and the walk's
// searches fail too.
TEST_F(Win32Platform, EverySystemCallOfATreeRunWithWorkersFailingInTurn) {
  static WalkMemory memory;
  const std::string tree = directory + "\\tree";
  const char* const names[] = {"a.htm", "b.htm", "c.htm"};
  bool injected = true;
  unsigned nth = 1;
  unsigned copy_backs = 0;
  for (; injected && nth < 400; ++nth) {
    for (const char* name : names) write_whole(tree + "\\" + name, strip_cases[0].content);
    RunSettings settings = default_run_settings();
    settings.workers = 2;
    Reason why = done_reason();
    arm_announced(std::to_string(nth));
    std::string console = console_of([&] { walk_target(tree.c_str(), 0, &settings, &memory, &why); });
    injected = fault_injected() != 0;
    // Each of the three files' copy backs is reached.
    copy_backs = fault_calls(FAULT_SYSTEM_CALL + SYSTEM_CALL_SetEndOfFile);
    fault_disarm();
    if (nth == 1) EXPECT_TRUE(injected);
    SCOPED_TRACE(console);
    bool kept = body_kept("body", console);
    for (const char* name : names) {
      std::string path = tree + "\\" + name;
      if (!injected || console.find(path + " : ok") != std::string::npos) EXPECT_EQ(read_whole(path), "body");
      expect_nothing_lost(path, strip_cases[0].content, "body", kept);
    }
  }
  EXPECT_FALSE(injected);
  EXPECT_EQ(copy_backs, 3u) << "the run that failed nowhere";
}

// What the source and the copy back tell, in the tool's words.
TEST_F(Win32Platform, ReasonsOfOpeningAFile) {
  const std::string path = directory + "\\page.htm";
  write_whole(path, "H\r\n\r\nbody");
  HANDLE reader =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE writer =
      CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  const struct {
    std::string path;
    HANDLE held;  // closed before the open
    int source;   // open_source's reason
    int target;   // open_copy_back_target's
  } rows[] = {
      {path, writer, REASON_NONE, REASON_IN_USE},  // a reader holds it
      {path, reader, REASON_NONE, REASON_NONE},    // nobody
      {directory, nullptr, REASON_NOT_REGULAR, REASON_NOT_REGULAR},
      {directory + "\\missing", nullptr, REASON_SYSTEM, REASON_SYSTEM},
  };
  SourceFile source;
  CopyBackTarget target;
  EXPECT_EQ(open_source(nullptr, path.c_str(), &source).kind, REASON_IN_USE);  // a writer holds it
  close_source(&source);
  for (const auto& row : rows) {
    if (row.held != nullptr) CloseHandle(row.held);
    EXPECT_EQ(open_source(nullptr, row.path.c_str(), &source).kind, row.source) << row.path;
    if (row.source == REASON_NONE) EXPECT_FALSE(failed(end_source_reading(&source)));
    EXPECT_EQ(open_copy_back_target(&source, row.path.c_str(), &target).kind, row.target) << row.path;
    close_copy_back_target(&target);
    close_source(&source);
  }
}

// Attributes go by path, but only to the file that was read: one put at
// its path meanwhile keeps its own. The file that was read gets its own
// back even while another program holds it alone.
TEST_F(Win32Platform, AttributesGoOnlyToTheFileThatWasRead) {
  const std::string path = directory + "\\page.htm", other = directory + "\\other.htm";
  const DWORD protecting = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
  for (bool swapped : {true, false}) {
    write_whole(path, "H\r\n\r\nbody");
    write_whole(other, "other");
    DWORD others = GetFileAttributesA(other.c_str());
    SetFileAttributesA(path.c_str(), protecting);
    SourceFile source;
    ASSERT_FALSE(failed(open_source(nullptr, path.c_str(), &source)));
    EXPECT_FALSE(failed(end_source_reading(&source)));
    ASSERT_FALSE(failed(make_source_writable(&source, path.c_str())));
    if (swapped) ASSERT_TRUE(MoveFileExA(path.c_str(), (directory + "\\moved.htm").c_str(), 0));
    if (swapped) ASSERT_TRUE(MoveFileExA(other.c_str(), path.c_str(), 0));
    HANDLE alone =
        swapped ? INVALID_HANDLE_VALUE : CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(restore_protection(&source, path.c_str()).kind, swapped ? REASON_CHANGED : REASON_NONE);
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & ~FILE_ATTRIBUTE_ARCHIVE,
              swapped ? others & ~FILE_ATTRIBUTE_ARCHIVE : protecting);
    if (alone != INVALID_HANDLE_VALUE) CloseHandle(alone);
    close_source(&source);
    remove_file(path);
  }
}

// Body files are told by their name and by their folder, whatever path
// leads there: a walk leaves them alone.
TEST_F(Win32Platform, BodyFilesToldByNameAndFolder) {
  TemporaryDirectory temporary;
  find_temporary_directory(&temporary);
  std::string lower = directory;
  for (char& c : lower) c = (char)(c >= 'A' && c <= 'Z' ? c + 32 : c);
  const struct {
    std::string path;
    bool body;
  } rows[] = {{directory + "\\BCT1A2B.TMP", true},   {"\\\\?\\" + directory + "\\bct9.tmp", true},
              {lower + "/BCT1A2B.TMP", true},        {directory + "\\tree\\BCT1A2B.TMP", false},
              {directory + "\\BCT12345.TMP", false}, {directory + "\\BCT1A2B.TMP.htm", false}};
  WalkRoot root;
  Reason unknown;
  for (const auto& row : rows)
    EXPECT_EQ(is_body_file(&temporary, &root, row.path.c_str(), &unknown), row.body) << row.path;
}

// A body file name whose file is gone (or was never made) leaves nothing
// behind: its deletion is not a failure to tell of.
TEST_F(Win32Platform, BodyFileGoneIsNoFailedDeletion) {
  TemporaryDirectory temporary;
  find_temporary_directory(&temporary);
  BodyFile body;
  begin_body_file(&temporary, &body);
  ASSERT_FALSE(failed(choose_body_name(&temporary, &body)));
  ASSERT_TRUE(DeleteFileA(body.name));
  EXPECT_FALSE(failed(close_body_file(&body, 1)));
}

// A folder being listed, the root or one below it, is held: no other
// program renames it (or puts a link in its place) until its search ends.
// Below the root, a folder that is a link now is not listed: the walk saw
// a plain folder there. The link, folder-link in the temporary directory,
// is the build's own (wine makes none).
TEST_F(Win32Platform, FoldersListed) {
  const std::string sub = directory + "\\tree\\sub";
  ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
  write_whole(sub + "\\page.htm", "H\r\n\r\nbody");
  const std::string link = temporary + "\\folder-link";
  ASSERT_NE(GetFileAttributesA(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << link << " is no link";
  const struct {
    std::string root, folder;
    int listed, kind;
    bool moving;  // another program holds the folder with delete access
  } rows[] = {{directory + "\\tree", directory + "\\tree", LISTED_ENTRY, REASON_NONE, false},
              {directory + "\\tree", sub, LISTED_ENTRY, REASON_NONE, false},
              {directory + "\\tree", sub, LIST_FAILED, REASON_IN_USE, true},
              {temporary, link, LIST_FAILED, REASON_CHANGED, false},
              {link, link, LISTED_ENTRY, REASON_NONE, false}};
  for (const auto& row : rows) {
    WalkRoot root;
    WalkSearch search;
    WalkEntry entry;
    Reason why;
    HANDLE mover = row.moving ? CreateFileA(sub.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                              : INVALID_HANDLE_VALUE;
    ASSERT_FALSE(failed(open_walk_root((row.root + "\\*.*").c_str(), 0, &root)));
    EXPECT_EQ(first_entry(&root, (row.folder + "\\*.*").c_str(), &search, &entry, &why), row.listed) << row.folder;
    EXPECT_EQ(why.kind, row.kind) << row.folder;
    if (row.folder == sub && !row.moving) EXPECT_FALSE(MoveFileA(sub.c_str(), (sub + "-moved").c_str()));
    end_search(&search);
    close_walk_root(&root);
    if (mover != INVALID_HANDLE_VALUE) CloseHandle(mover);
  }
  EXPECT_TRUE(MoveFileA(sub.c_str(), (sub + "-moved").c_str()));
  EXPECT_TRUE(remove_file(sub + "-moved\\page.htm") && RemoveDirectoryA((sub + "-moved").c_str()));
}

// Reads go back and forth: the handle moves only where it is not already.
TEST_F(Win32Platform, ReadsAtAnyOffset) {
  const std::string path = directory + "\\page.htm";
  write_whole(path, "0123456789");
  SourceFile source;
  ASSERT_FALSE(failed(open_source(nullptr, path.c_str(), &source)));
  EXPECT_EQ(source.facts.size, 10u);
  const struct {
    FileSize offset;
    unsigned wanted;
    const char* bytes;
    unsigned moves;  // SetFilePointer calls
  } reads[] = {{0, 4, "0123", 0}, {4, 4, "4567", 0}, {2, 3, "234", 1}, {8, 4, "89", 1}, {10, 4, "", 0}};
  for (const auto& read : reads) {
    char buffer[8] = {};
    unsigned got = 99;
    fault_disarm();
    EXPECT_FALSE(failed(read_source(&source, read.offset, buffer, read.wanted, &got)));
    EXPECT_EQ(std::string(buffer, got), read.bytes);
    EXPECT_EQ(fault_calls(FAULT_SYSTEM_CALL + SYSTEM_CALL_SetFilePointer), read.moves) << read.offset;
  }
  close_source(&source);
}

}  // namespace
