// The POSIX platform's operations, where they must act as the logic relies
// on: resolution, the copy back held alone, the body file, modes through
// the hold, searching, names in the report.
#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "support/scratch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <set>
#include <string>

namespace {

// A temporary directory of the test's own, as find_temporary_directory
// makes one from TMPDIR.
TemporaryDirectory temporary_directory_at(const std::string& path) {
  TemporaryDirectory directory = {};
  std::snprintf(directory.path, sizeof directory.path, "%s/", path.c_str());
  directory.length = (unsigned)path.size() + 1;
  directory.fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  directory.failure = done_reason();
  return directory;
}

// Only a regular file is opened; below a walk's root a link is followed
// only when the user running the tool owns it, and a target named on the
// command line is followed as given.
TEST(PosixPlatform, WhatIsOpened) {
  Scratch scratch;
  scratch.write("file", "x");
  scratch.make_directory("dir");
  mkfifo(scratch.path("fifo").c_str(), 0600);
  symlink("file", scratch.path("own-link").c_str());
  symlink("file", scratch.path("other-link").c_str());
  bool other_owner = geteuid() == 0 && lchown(scratch.path("other-link").c_str(), 1, 1) == 0;
  // Own links whose text leads through further links, one whose directory
  // is swapped for another while it is followed, and one whose ".." leads
  // where the walk reaches, not where its directory was moved meanwhile.
  symlink("own-link", scratch.path("chain").c_str());
  symlink(scratch.path("file").c_str(), scratch.path("absolute").c_str());
  symlink("loop", scratch.path("loop").c_str());
  symlink("other-link", scratch.path("through-other").c_str());
  scratch.write("sub/page", "x");
  scratch.write("swapped/page", "y");
  symlink("page", scratch.path("sub/link").c_str());
  symlink("page", scratch.path("swapped/link").c_str());
  scratch.write("tree/file", "t");
  scratch.make_directory("tree/sub");
  scratch.write("elsewhere/file", "e");
  symlink("../file", scratch.path("tree/sub/up").c_str());
  scratch.write("abs/file", "a");
  scratch.write("away/file", "w");
  scratch.make_directory("abs/sub");
  symlink("../file", scratch.path("abs/sub/up").c_str());
  symlink(scratch.path("abs/sub/up").c_str(), scratch.path("hop").c_str());
  symlink("file/../file", scratch.path("through-file").c_str());
  // A link on the way whose text, with the rest after it, no longer fits.
  scratch.write("dir/file", "g");
  std::string dots, rest;
  while (dots.size() < 200) dots += "./";
  while (rest.size() < 3980) rest += "/.";
  symlink((dots + "dir").c_str(), scratch.path("mid").c_str());
  symlink(("mid" + rest + "/file").c_str(), scratch.path("grow").c_str());
  WalkRoot root;
  ASSERT_FALSE(failed(open_walk_root((scratch.root() + "/*").c_str(), 0, &root)));
  // A move of a directory made just before the nth call of a system call:
  // renamed, or swapped with another (RENAME_EXCHANGE).
  struct Move {
    int call;
    unsigned nth;
    std::string from, to;
    unsigned flags;
  };
  const struct {
    const char* name;
    bool in_walk;
    int kind;
    Move move = {};
    const char* opened = nullptr;
  } cases[] = {{"file", true, REASON_NONE},
               {"dir", true, REASON_NOT_REGULAR},
               {"fifo", true, REASON_NOT_REGULAR},
               {"fifo", false, REASON_NOT_REGULAR},
               {"own-link", true, REASON_NONE},
               {"other-link", false, REASON_NONE},
               {"other-link", true, other_owner ? REASON_LINK_OWNER : REASON_NONE},
               {"missing", true, REASON_SYSTEM},
               {"chain", true, REASON_NONE},
               {"absolute", true, REASON_NONE},
               {"loop", true, REASON_SYSTEM},
               {"through-other", true, other_owner ? REASON_LINK_OWNER : REASON_NONE},
               {"sub/link", true, REASON_NONE},
               // swapped as the link is read
               {"sub/link", true, REASON_CHANGED, {SYSTEM_CALL_readlinkat, 1, "sub", "swapped", RENAME_EXCHANGE}},
               // moved once the link is checked
               {"tree/sub/up", true, REASON_NONE, {SYSTEM_CALL_statx, 2, "tree/sub", "elsewhere/sub", 0}, "tree/file"},
               // moved as the link an absolute text leads to is read
               {"hop", true, REASON_NONE, {SYSTEM_CALL_readlinkat, 2, "abs/sub", "away/sub", 0}, "abs/file"},
               {"through-file", true, REASON_SYSTEM},
               {"grow", true, REASON_TOO_LONG},
               {"grow", false, REASON_NONE}};
  for (const auto& c : cases) {
    SourceFile file;
    Move move = c.move;
    move.from = scratch.path(move.from);
    move.to = scratch.path(move.to);
    if (move.nth != 0)
      fault_hook(
          FAULT_SYSTEM_CALL + move.call, move.nth,
          [](void* m) {
            const Move* at = static_cast<const Move*>(m);
            EXPECT_EQ(renameat2(AT_FDCWD, at->from.c_str(), AT_FDCWD, at->to.c_str(), at->flags), 0);
          },
          &move);
    Reason why = open_source(c.in_walk ? &root : nullptr, scratch.path(c.name).c_str(), &file);
    EXPECT_EQ(why.kind, c.kind) << c.name << " in walk " << c.in_walk;
    if (c.opened != nullptr && !failed(why))
      EXPECT_EQ(file.facts.identity.index, status_of(scratch.path(c.opened)).st_ino) << c.name;
    fault_disarm();
    close_source(&file);
  }
  close_walk_root(&root);
}

// The copy back is refused while anyone else has the file open, for
// reading or writing; while it is held, nobody else opens the file.
TEST(PosixPlatform, CopyBackHeldAlone) {
  Scratch scratch;
  scratch.write("target", "original");
  std::string path = scratch.path("target");
  SourceFile source;
  ASSERT_FALSE(failed(open_source(nullptr, path.c_str(), &source)));
  CopyBackTarget target;
  EXPECT_EQ(open_copy_back_target(&source, path.c_str(), &target).kind, REASON_IN_USE) << "refused while read";
  close_copy_back_target(&target);
  EXPECT_EQ(end_source_reading(&source).kind, REASON_IN_USE) << "a writer came while it was read";
  for (int flags : {O_RDONLY, O_WRONLY | O_APPEND}) {
    int other = open(path.c_str(), flags);
    ASSERT_GE(other, 0);
    EXPECT_EQ(open_copy_back_target(&source, path.c_str(), &target).kind, REASON_IN_USE) << flags;
    close_copy_back_target(&target);
    close(other);
  }
  ASSERT_FALSE(failed(open_copy_back_target(&source, path.c_str(), &target)));
  EXPECT_LT(open(path.c_str(), O_WRONLY | O_NONBLOCK), 0);
  EXPECT_EQ(errno, EWOULDBLOCK);
  SourceFile other;
  EXPECT_EQ(open_source(nullptr, path.c_str(), &other).kind, REASON_IN_USE);
  close_source(&other);
  close_copy_back_target(&target);
  close_source(&source);
  int after = open(path.c_str(), O_WRONLY | O_NONBLOCK);
  EXPECT_GE(after, 0) << "released with the target";
  close(after);
}

// One body file serves strip after strip: read-only while it is filled,
// readable and writable once whole, and each time it holds exactly the new
// body, whatever the one before left (longer, or where a sparse source has
// holes). The body is copied between file systems too (where the in-kernel
// copy refuses); ending it leaves nothing behind.
TEST(PosixPlatform, BodyFileRefilledHoldsOnlyTheNewBody) {
  Scratch disk;
  disk.make_directory("temporary");
  TemporaryDirectory directory = temporary_directory_at(disk.path("temporary"));
  std::string on_tmpfs = "/dev/shm/bodycut-copy-test-" + std::to_string(getpid());
  std::string big(3 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = (char)(i / 4096);
  std::string on_disk = disk.path("source");
  std::string sparse = big.substr(0, 8192) + std::string(1 << 20, '\0') + "end";
  struct Fill {
    const std::string* path;
    const std::string* bytes;
    FileSize offset;
    unsigned ahead;
    bool holes;
  } fills[] = {{&on_tmpfs, &big, 3, 0, false},
               {&on_disk, &big, 2 << 20, 100, false},
               {&on_tmpfs, &sparse, 5, 0, true},
               {&on_disk, &big, 7, 1000, false}};
  BodyFile body;
  begin_body_file(&directory, &body);
  for (const Fill& fill : fills) {
    SCOPED_TRACE(*fill.path + " from " + std::to_string(fill.offset));
    int out = open(fill.path->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(out, 0);
    // A hole is left unwritten: only the data of the sparse source is written.
    for (size_t at = 0; at < fill.bytes->size(); at += 4096) {
      std::string part = fill.bytes->substr(at, 4096);
      if (!fill.holes || part != std::string(part.size(), '\0'))
        ASSERT_GT(pwrite(out, part.data(), part.size(), at), 0);
    }
    ASSERT_EQ(ftruncate(out, fill.bytes->size()), 0);
    close(out);
    SourceFile source;
    ASSERT_FALSE(failed(open_source(nullptr, fill.path->c_str(), &source)));
    ASSERT_FALSE(failed(choose_body_name(&directory, &body)));
    ASSERT_FALSE(failed(create_body_file(&directory, &body)));
    ASSERT_FALSE(failed(fill_body_file(&body, &source, fill.offset, fill.bytes->data() + fill.offset, fill.ahead)));
    struct stat status {};
    EXPECT_EQ(stat(body.name, &status) == 0 ? status.st_mode & 07777 : 0u, 0400u);
    ASSERT_FALSE(failed(keep_body_file(&body, &source.facts.times)));
    EXPECT_EQ(stat(body.name, &status) == 0 ? status.st_mode & 07777 : 0u, 0600u);
    EXPECT_TRUE(read_file(body.name) == fill.bytes->substr(fill.offset));
    EXPECT_EQ(disk.list("temporary").size(), 1u);
    EXPECT_FALSE(failed(close_body_file(&body, 1)));
    close_source(&source);
    unlink(fill.path->c_str());
  }
  EXPECT_FALSE(failed(end_body_file(&body)));
  EXPECT_TRUE(disk.list("temporary").empty());
  close_temporary_directory(&directory);
}

// Read-only is the owner-write bit alone, changed through the hold on the
// file that was opened, not the path given: restoring gives the mode back.
// A mode its owner changed meanwhile is left as the owner set it.
TEST(PosixPlatform, ModesThroughTheHold) {
  Scratch scratch;
  scratch.write("file", "x");
  scratch.write("read-only", "x");
  for (unsigned mode : {0444u, 0464u, 04555u}) {
    chmod(scratch.path("read-only").c_str(), mode);
    SourceFile file;
    ASSERT_FALSE(failed(open_source(nullptr, scratch.path("read-only").c_str(), &file)));
    EXPECT_TRUE(file.facts.write_protected);
    ASSERT_FALSE(failed(make_source_writable(&file, scratch.path("file").c_str())));
    EXPECT_EQ(status_of(scratch.path("read-only")).st_mode & 07777, mode | 0200u);
    ASSERT_FALSE(failed(restore_protection(&file, scratch.path("file").c_str())));
    EXPECT_EQ(status_of(scratch.path("read-only")).st_mode & 07777, mode);
    EXPECT_EQ(status_of(scratch.path("file")).st_mode & 07777, 0644u) << "changed by path";
    close_source(&file);
    // Narrowed by its owner after it was read: refused, and left so.
    ASSERT_FALSE(failed(open_source(nullptr, scratch.path("read-only").c_str(), &file)));
    chmod(scratch.path("read-only").c_str(), mode & 0700);
    EXPECT_EQ(make_source_writable(&file, nullptr).kind, REASON_CHANGED);
    EXPECT_EQ(status_of(scratch.path("read-only")).st_mode & 07777, mode & 0700);
    close_source(&file);
  }
}

TEST(PosixPlatform, PathKinds) {
  Scratch scratch;
  scratch.write("file", "x");
  scratch.make_directory("dir");
  symlink("dir", scratch.path("link-to-dir").c_str());
  symlink("file", scratch.path("link-to-file").c_str());
  symlink("nothing", scratch.path("dangling").c_str());
  const struct {
    const char* name;
    int kind;
  } cases[] = {{"file", PATH_OTHER},         {"dir", PATH_DIRECTORY},  {"link-to-dir", PATH_DIRECTORY},
               {"link-to-file", PATH_OTHER}, {"dangling", PATH_OTHER}, {"missing", PATH_NAMES_NOTHING},
               {"*.htm", PATH_NAMES_NOTHING}};
  for (const auto& c : cases) EXPECT_EQ(path_kind(scratch.path(c.name).c_str()), c.kind) << c.name;
}

// The names a search lists; empty when it fails.
std::set<std::string> search(const std::string& pattern) {
  std::set<std::string> names;
  WalkRoot root;
  WalkSearch search;
  WalkEntry entry;
  Reason why;
  if (failed(open_walk_root(pattern.c_str(), 0, &root))) return names;
  for (int listed = first_entry(&root, pattern.c_str(), &search, &entry, &why); listed == LISTED_ENTRY;
       listed = next_entry(&search, &entry, &why))
    names.insert(entry.name);
  end_search(&search);
  close_walk_root(&root);
  return names;
}

TEST(PosixPlatform, WildcardSearch) {
  Scratch scratch;
  for (const char* name : {"a.htm", "b.HTM", "noext", "a.htm.bak", "ab", "x?y"}) scratch.write(name, "");
  using Names = std::set<std::string>;
  const Names all = {".", "..", "a.htm", "b.HTM", "noext", "a.htm.bak", "ab", "x?y"};
  const struct {
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
               {"zzz*", {}},
               {"", {}},
               {"missing-dir/*", {}}};
  for (const auto& c : cases) EXPECT_EQ(search(scratch.path(c.pattern)), c.names) << c.pattern;
}

// A walk that stays on one file system opens nothing through a mount
// below its root, whatever listed it: a directory moved there after its
// check is refused as it is opened. In a mount namespace of a child's own.
TEST(PosixPlatform, OneFileSystemOpensNothingThroughAMount) {
  Scratch scratch;
  scratch.write("f", "x");
  scratch.make_directory("m");
  symlink("m/f", scratch.path("link").c_str());
  pid_t child = fork();
  if (child == 0) {
    if (unshare(geteuid() == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("none", scratch.path("m").c_str(), "tmpfs", 0, nullptr) != 0)
      _exit(100);
    close(open(scratch.path("m/f").c_str(), O_CREAT | O_WRONLY, 0600));
    const struct {
      const char* name;
      int one_file_system, kind;
    } cases[] = {{"m/f", 1, REASON_OTHER_FILE_SYSTEM},
                 {"link", 1, REASON_OTHER_FILE_SYSTEM},
                 {"f", 1, REASON_NONE},
                 {"m/f", 0, REASON_NONE},
                 {"link", 0, REASON_NONE}};
    int wrong = 0;
    for (const auto& c : cases) {
      WalkRoot root;
      SourceFile file;
      WalkSearch search;
      WalkEntry entry;
      Reason why;
      open_walk_root((scratch.root() + "/*").c_str(), c.one_file_system, &root);
      wrong += open_source(&root, scratch.path(c.name).c_str(), &file).kind != c.kind;
      close_source(&file);
      int listed = first_entry(&root, scratch.path("m/*").c_str(), &search, &entry, &why);
      wrong += c.one_file_system ? why.kind != REASON_OTHER_FILE_SYSTEM : listed != LISTED_ENTRY;
      end_search(&search);
      close_walk_root(&root);
    }
    _exit(wrong);
  }
  int status = -1;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 100) GTEST_SKIP() << "no mount namespace can be made here";
  EXPECT_EQ(status, 0) << "cases gone wrong: " << WEXITSTATUS(status);
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
