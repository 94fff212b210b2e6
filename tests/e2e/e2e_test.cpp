// End-to-end cases: the built executable run on scratch trees, checking the
// exact output, the exit status and every file's bytes, times and inode.
#include "run_tool.h"
#include "support/scratch.h"
#include "target.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const long long WRITE_SECONDS = 1500000000;
const long WRITE_NANOSECONDS = 111222300;  // Windows keeps 100 ns steps
const long long ACCESS_SECONDS = 1600000000;
const long ACCESS_NANOSECONDS = 444555600;

const char* const HEADER = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";

std::string page(const std::string& body) { return HEADER + body; }

// Interim responses that a client saves ahead of the final one.
const std::string CONTINUE = "HTTP/1.1 100 Continue\r\n\r\n";
const std::string HINTS = "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n";
// Responses whose body a client does not save ahead of the final one.
const std::string REDIRECT = "HTTP/2 302 \r\nlocation: /b\r\ncontent-length: 5\r\n\r\n";
const std::string TUNNEL = "HTTP/1.0 200 Connection established\r\n\r\n";
const std::string CHALLENGE = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"r\"\r\n\r\n";
const std::string PROXY_CHALLENGE = "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n";
const std::string SIZED = "HTTP/1.1 200 OK\r\nContent-Length: 45\r\n\r\n";

struct Case {
  const char* name;
  std::map<std::string, std::string> files;  // below work/, as they are before
  std::vector<std::string> stripped;         // files that end as their body
  std::vector<std::string> arguments;
  int status;
  std::vector<std::string> lines;  // the report, one entry a line, in any order
  std::function<void(const Scratch&)> setup;
  std::vector<std::string> environment;  // "@" stands for the scratch root
  bool literal_arguments = false;        // pass '/' as typed, even to Windows
  // Stripped files whose body does not start right after the first
  // CR LF CR LF: interim blocks went with the header.
  std::map<std::string, std::string> bodies = {};
  RunOptions options = {};
  // POSIX build: a dry run (-n) first must write this very report and
  // leave every file's bytes, times and mode as they were.
  bool dry_run_first = false;
  // Pages whose body is this many bytes, made when the case runs rather
  // than held in the table that every test process builds.
  std::map<std::string, size_t> large = {};
};

// Cases about what only a POSIX system has (FIFOs, devices, links to files,
// case-sensitive names, TMPDIR, file size limits) or only its command line:
// its forming, its options, and a shell that expands wildcards. Links to
// directories reach a Windows program as reparse points.
const std::set<std::string> posix_only = {
    "PatternIsCaseSensitive", "FifoInTreeIsAnErrorNotAHang", "LinkToFileIsStrippedThroughTheLink",
    "DanglingLinkAndDeviceLinkInTree", "TargetWithLineBreak", "TemporaryDirectoryMissing", "TemporaryDirectoryTooLong",
    "LinkToAnotherOwnersFileIsNotFollowed", "LinkOfAnotherUserToTheirOwnFileIsNotFollowed",
    "OwnLinkToAnotherUsersFileIsFollowed", "OwnLinkThroughAnotherUsersLinkIsNotFollowed",
    "AnotherUsersLinkToDirectoryGetsALine", "AnotherUsersLinkToDirectoryGetsALineOnOneFileSystem",
    "OwnLinkThroughAnotherUsersLinkToDirectoryGetsALine", "LinkToDirectoryAsTargetIsWalked",
    // HTTP mode is an option of the POSIX build only.
    "HttpSingleFileStrippedSilently", "HttpSingleFileWithoutStatusLineIsSkipped", "HttpEmptyFileIsSkipped",
    "HttpInterimBlocksRemoved", "HttpInterimFollowedByBodyIsAnError", "HttpTree", "HttpPattern",
    "HttpChainsRemovedInOneRun",
    // Options and the shell are the POSIX build's.
    "SecondArgumentIsRefused", "OptionAfterTargetIsASecondArgument", "HelpOption", "VersionOption",
    "OptionsWithoutTarget", "DoubleDashEndsOptions", "FileNamedLikeAnOptionReachedByPath", "HttpOption",
    "WorkersOption", "WorkersOptionJoined", "WorkersOptionNotANumber", "WorkersOptionWithoutNumber",
    "WorkersOptionTooMany", "FileOverSizeLimit", "FileOverSizeLimitInTree", "DryRunHttpTree", "DryRunWithWorkers",
    "DryRunHardLinksCountOnce", "UnknownOptionRefused", "UnknownLongOptionRefused", "MistypedOptionBeforeTarget",
    "OneFileSystemOptionBeforeTarget", "DashedPatternThatMatchesIsATarget",
    // Names that hold control bytes or a backslash, which Windows names do not.
    "ControlBytesInNamesAreEscaped", "BackslashInNameIsEscaped",
    // A link to a directory is passed over silently; Windows gives it a line.
    "LinksToDirectoriesAreNotEntered"};

// Path forms only Windows has: a forward slash or a drive prefix ending
// the directory part of a pattern, a forward slash ending a directory
// target, and double-byte characters of code page 932 whose second byte is
// a backslash. Its command line comes as one text that no shell expanded,
// so words after the target are ignored.
const std::set<std::string> windows_only = {
    "PatternWithForwardSlash", "PatternWithDrivePrefix", "TreeWithTrailingForwardSlash",
    "DoubleByteNamesEndingInBackslashByte", "OnlyFirstArgumentIsRead",
    // Names the code page bends, and names Win32 would open as
    // another: POSIX takes every name as its bytes.
    "YenSignNamesStayInTheTree", "CodePageBentNameBesideItsTwin", "TargetTypedWithYenSign",
    "TrailingDotAndBlankNamesAreNotOpened", "ControlBytesInNamesAreNotOpened",
    // Ctrl-C reaches a POSIX run as SIGINT, which ends it by that signal.
    "CtrlCDuringCopyBackFinishesTheFile", "CtrlCWhileFillingTheTemporaryFile", "LinksToDirectoriesGetALine",
    // Body files are named as GetTempFileNameA names them.
    "BodyFileNamesInTheTemporaryDirectoryAreLeftAlone"};

const char* const SECOND_ARGUMENT =
    "bodycut: one target only: quote a wildcard, as in bodycut '*.htm', so that the shell does not expand it";
const char* const BAD_WORKERS = "bodycut: -j takes a number of workers from 0 to 16";
const char* const UNKNOWN_HINT = "Options are listed by bodycut --help; put -- before a target that begins with a dash";

// What the POSIX build's standard error says of each case's files and
// directories reported "error", one line each, in any order, and of a
// command line it refuses; nothing for a case not listed here. The
// Windows build writes no such line.
const std::map<std::string, std::vector<std::string>> reasons = {
    {"SingleFileWithoutHeaderEnd", {"bodycut: plain.htm: no header end"}},
    {"BareLineFeedStatusLineIsAnError", {"bodycut: page.htm: status line ends in a bare LF; strip it with --http"}},
    {"MissingFileIsSearchedAndNotFound", {"bodycut: missing.htm: No such file or directory"}},
    {"PatternMatchingNothing", {"bodycut: *.htm: No such file or directory"}},
    {"PatternInMissingDirectory", {"bodycut: nowhere/*.htm: No such file or directory"}},
    {"SingleEmptyFile", {"bodycut: empty: no header end"}},
    {"FileOverSizeLimit", {"bodycut: big: temporary file: over the file size limit"}},
    {"FileOverSizeLimitInTree", {"bodycut: t/big: temporary file: over the file size limit"}},
    {"DryRunTree", {"bodycut: t/sub/plain: no header end"}},
    {"DryRunWithWorkers", {"bodycut: t/b: no header end"}},
    {"DryRunSingleFileWithoutHeaderEnd", {"bodycut: p: no header end"}},
    {"DryRunPattern", {"bodycut: b.htm: no header end"}},
    {"DryRunHttpTree", {"bodycut: t/d: incomplete HTTP header"}},
    {"ControlBytesInNamesAreEscaped", {"bodycut: t/\\x1b[2J\\t\\r: no header end"}},
    {"Tree", {"bodycut: cache/sub/plain: no header end"}},
    {"PatternWithoutDirectory", {"bodycut: b.htm: no header end"}},
    {"FifoInTreeIsAnErrorNotAHang", {"bodycut: t/fifo: not a regular file"}},
    {"LinkToAnotherOwnersFileIsNotFollowed", {"bodycut: ol/x: link owned by another user"}},
    {"LinkOfAnotherUserToTheirOwnFileIsNotFollowed", {"bodycut: ol/x: link owned by another user"}},
    {"OwnLinkThroughAnotherUsersLinkIsNotFollowed", {"bodycut: ol/x: link owned by another user"}},
    {"AnotherUsersLinkToDirectoryGetsALine", {"bodycut: ol/x: link owned by another user"}},
    {"AnotherUsersLinkToDirectoryGetsALineOnOneFileSystem", {"bodycut: ol/x: link owned by another user"}},
    {"OwnLinkThroughAnotherUsersLinkToDirectoryGetsALine", {"bodycut: ol/x: link owned by another user"}},
    {"DanglingLinkAndDeviceLinkInTree",
     {"bodycut: t/dangling: No such file or directory", "bodycut: t/zero: not a regular file"}},
    {"TemporaryDirectoryMissing", {"bodycut: p.htm: temporary file: No such file or directory"}},
    {"TemporaryDirectoryTooLong", {"bodycut: p.htm: temporary file: path too long"}},
    {"HttpInterimFollowedByBodyIsAnError", {"bodycut: page.htm: incomplete HTTP header"}},
    {"HttpTree", {"bodycut: t/interim: incomplete HTTP header", "bodycut: t/no-end: incomplete HTTP header"}},
    // A command line refused.
    {"SecondArgumentIsRefused", {SECOND_ARGUMENT}},
    {"OptionAfterTargetIsASecondArgument", {SECOND_ARGUMENT}},
    {"WorkersOptionNotANumber", {BAD_WORKERS}},
    {"WorkersOptionWithoutNumber", {BAD_WORKERS}},
    {"WorkersOptionTooMany", {BAD_WORKERS}},
    {"UnknownOptionRefused", {"bodycut: unknown option '--bogus'", UNKNOWN_HINT}},
    {"UnknownLongOptionRefused", {"bodycut: unknown option '--HTTP'", UNKNOWN_HINT}},
    {"MistypedOptionBeforeTarget", {"bodycut: unknown option '-q'", UNKNOWN_HINT}},
    {"TargetWithLineBreak",
     {"bodycut: target cannot be passed on exactly: it holds a line break or a quote before a blank, or is too long"}},
};

// The lines a case's run must write on standard error, sorted.
std::vector<std::string> expected_reasons(const std::string& name) {
  auto found = reasons.find(name);
  if (windows_target() || found == reasons.end()) return {};
  std::vector<std::string> lines = found->second;
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::vector<std::string> sorted_error_lines(const std::string& errors) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < errors.size(); start = end + 1) {
    end = errors.find('\n', start);
    if (end == std::string::npos) end = errors.size();
    lines.push_back(errors.substr(start, end - start));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string usage_line_1() {
  return "BODYCUT : removes the HTTP header block from saved files; written by the BODYCUT developers";
}

RunOptions file_size_limit(long long bytes) {
  RunOptions options;
  options.file_size_limit = bytes;
  return options;
}

void plant_directory_links(const Scratch& s) {
  symlink(".", s.path("work/t/loop").c_str());
  symlink("..", s.path("work/t/sub/up").c_str());
  symlink("/", s.path("work/t/root").c_str());
}

// Long enough to fill or copy back that wine's Ctrl-C thread, slow to
// start on a loaded machine, still comes while that step goes on.
const size_t CTRL_C_BODY = 256 << 20;

// Ctrl-C once the file at path, or a file in that directory, is being
// written. Wine turns SIGINT into the console's Ctrl-C event, as a console
// turns the keys; no pseudo-terminal is needed for it.
RunOptions ctrl_c_once_rewritten(const std::string& path) {
  RunOptions options;
  options.kill_once_rewritten = path;
  options.kill_signal = SIGINT;
  return options;
}

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"SingleFileStrippedSilently", {{"page.htm", page("<p>body</p>")}}, {"page.htm"}, {"page.htm"}, 0, {}},
      {"SingleFileWithoutHeaderEnd", {{"plain.htm", "no blank line\r\n"}}, {}, {"plain.htm"}, 1, {"error"}},
      {"SingleEmptyFile", {{"empty", ""}}, {}, {"empty"}, 1, {"error"}},
      {"SingleFileHeaderOnly", {{"h", "H: v\r\n\r\n"}}, {"h"}, {"h"}, 0, {}},
      {"NameWithBlanksAndHighBytes",
       {{"my page \xe3\x81\x82.htm", page("x")}},
       {"my page \xe3\x81\x82.htm"},
       {"my page \xe3\x81\x82.htm"},
       0,
       {}},
      {"NameStartingWithDash", {{"-page", page("x")}}, {"-page"}, {"-page"}, 0, {}},
      {"MissingFileIsSearchedAndNotFound", {}, {}, {"missing.htm"}, 1, {"Source open error"}},
      {"NoTarget", {}, {}, {}, 1, {usage_line_1(), "usage: BODYCUT target"}},
      {"EmptyTarget", {}, {}, {""}, 1, {usage_line_1(), "usage: BODYCUT target"}},
      {"OnlyFirstArgumentIsRead", {{"a", page("1")}, {"b", page("2")}}, {"a"}, {"a", "b"}, 0, {}},
      {"SecondArgumentIsRefused", {{"a", page("1")}, {"b", page("2")}}, {}, {"a", "b"}, 1, {}},
      {"OptionAfterTargetIsASecondArgument", {{"a", page("1")}}, {}, {"a", "--http"}, 1, {}},
      {"HelpOption",
       {{"--help", page("h")}},
       {},
       {"--help"},
       0,
       {usage_line_1(), "usage: BODYCUT target",
        "options, before the target:", "  --http     strip only files that begin with an HTTP status line",
        "  -j N       strip N files at once in a tree or pattern run, 0 to 16; 0: one per core",
        "  -n         report what a run would do, and change nothing (--dry-run)",
        "  -x         skip directories on other file systems than the target's (--one-file-system)",
        "  --help     print this text", "  --version  print the name and the version",
        "  --         end the options: what follows is the target", "see the manual page bodycut(1)"}},
      {"VersionOption", {}, {}, {"--version"}, 0, {"BODYCUT " BODYCUT_VERSION}},
      {"OptionsWithoutTarget", {}, {}, {"--http", "-j", "2", "--"}, 1, {usage_line_1(), "usage: BODYCUT target"}},
      {"DoubleDashEndsOptions", {{"--help", page("h")}}, {"--help"}, {"--", "--help"}, 0, {}},
      {"FileNamedLikeAnOptionReachedByPath", {{"--help", page("h")}}, {"--help"}, {"./--help"}, 0, {}},
      {"HttpOption", {{"p.htm", page("P")}}, {"p.htm"}, {"--http", "p.htm"}, 0, {}},
      {"WorkersOption",
       {{"t/a", page("A")}, {"t/b", page("B")}},
       {"t/a", "t/b"},
       {"-j", "4", "t"},
       1,
       {"t/a : ok", "t/b : ok"}},
      {"WorkersOptionJoined", {{"t/a", page("A")}}, {"t/a"}, {"-j0", "t"}, 1, {"t/a : ok"}},
      {"WorkersOptionNotANumber", {{"p", page("P")}}, {}, {"-j", "p"}, 1, {}},
      {"WorkersOptionWithoutNumber", {{"-j", page("P")}}, {}, {"-j"}, 1, {}},
      {"WorkersOptionTooMany", {{"p", page("P")}}, {}, {"-j17", "p"}, 1, {}},
      // The write past the limit fails instead of killing the run.
      {"FileOverSizeLimit",
       {{"big", page(std::string(3 << 20, 'b'))}},
       {},
       {"big"},
       1,
       {"error"},
       nullptr,
       {},
       false,
       {},
       file_size_limit(1 << 20)},
      {"FileOverSizeLimitInTree",
       {{"t/big", page(std::string(3 << 20, 'b'))}, {"t/small", page("s")}},
       {"t/small"},
       {"t"},
       1,
       {"t/big : error", "t/small : ok"},
       nullptr,
       {},
       false,
       {},
       file_size_limit(1 << 20)},
      {"DryRunTree",
       {{"t/a.htm", page("A")}, {"t/sub/b.gif", page("\x89PNG")}, {"t/sub/plain", "no header"}, {"t/.dot", page("d")}},
       {"t/a.htm", "t/sub/b.gif", "t/.dot"},
       {"t"},
       1,
       {"t/a.htm : ok", "t/sub/b.gif : ok", "t/sub/plain : error", "t/.dot : ok"},
       [](const Scratch& s) { chmod(s.path("work/t/sub/b.gif").c_str(), 0444); },
       {},
       false,
       {},
       {},
       true},
      {"DryRunWithWorkers",
       {{"t/a", page("A")}, {"t/b", "none"}, {"t/c/d", page("D")}},
       {"t/a", "t/c/d"},
       {"-j", "3", "t"},
       1,
       {"t/a : ok", "t/b : error", "t/c/d : ok"},
       nullptr,
       {},
       false,
       {},
       {},
       true},
      {"DryRunSingleFile", {{"p.htm", page("P")}}, {"p.htm"}, {"p.htm"}, 0, {}, nullptr, {}, false, {}, {}, true},
      {"DryRunSingleFileWithoutHeaderEnd", {{"p", "none"}}, {}, {"p"}, 1, {"error"}, nullptr, {}, false, {}, {}, true},
      {"DryRunPattern",
       {{"a.htm", page("A")}, {"b.htm", "B"}},
       {"a.htm"},
       {"*.htm"},
       1,
       {"a.htm : ok", "b.htm : error"},
       nullptr,
       {},
       false,
       {},
       {},
       true},
      {"DryRunHttpTree",
       {{"t/a", page("A")}, {"t/b", "<html>"}, {"t/c", CONTINUE + page("C")}, {"t/d", CONTINUE + "D\r\n\r\n"}},
       {"t/a", "t/c"},
       {"--http", "t"},
       1,
       {"t/a : ok", "t/b : skipped", "t/c : ok", "t/d : error"},
       nullptr,
       {},
       false,
       {{"t/c", "C"}},
       {},
       true},
      // Once a name of a file is counted as stripped, its others are not
      // read again: a dry run keeps the same table.
      {"DryRunHardLinksCountOnce",
       {{"t/a", page("A\r\n\r\nB")}},
       {"t/a"},
       {"-j", "2", "t"},
       1,
       {"t/a : ok", "t/b : ok", "t/c : ok"},
       [](const Scratch& s) {
         link(s.path("work/t/a").c_str(), s.path("work/t/b").c_str());
         link(s.path("work/t/a").c_str(), s.path("work/t/c").c_str());
       },
       {},
       false,
       {},
       {},
       true},
      {"UnknownOptionRefused", {{"a.htm", page("A")}}, {}, {"--bogus"}, 1, {}},
      {"UnknownLongOptionRefused", {{"b.htm", page("B")}}, {}, {"--HTTP", "b.htm"}, 1, {}},
      {"MistypedOptionBeforeTarget", {{"a.htm", page("A")}}, {}, {"--http", "-q", "a.htm"}, 1, {}},
      {"OneFileSystemOptionBeforeTarget", {{"a.htm", page("A")}}, {"a.htm"}, {"-x", "a.htm"}, 0, {}},
      {"DashedPatternThatMatchesIsATarget", {{"-a.htm", page("A")}}, {"-a.htm"}, {"-x", "-*.htm"}, 1, {"-a.htm : ok"}},
      {"ControlBytesInNamesAreEscaped",
       {{"t/x : ok\nt/forged", page("A")}, {"t/\x1b[2J\t\r", "none"}},
       {"t/x : ok\nt/forged"},
       {"t"},
       1,
       {"t/x : ok\\nt/forged : ok", "t/\\x1b[2J\\t\\r : error"}},
      {"BackslashInNameIsEscaped", {{"t/a\\nb", page("A")}}, {"t/a\\nb"}, {"t"}, 1, {"t/a\\\\nb : ok"}},
      {"Tree",
       {{"cache/a.htm", page("A")},
        {"cache/sub/b.gif", page("\x89PNG")},
        {"cache/sub/plain", "no header"},
        {"cache/.dotfile", page("dot")},
        {"cache/.hidden/c.htm", page("hidden")}},
       {"cache/a.htm", "cache/sub/b.gif", "cache/.dotfile"},
       {"cache"},
       1,
       {"cache/a.htm : ok", "cache/sub/b.gif : ok", "cache/sub/plain : error", "cache/.dotfile : ok"}},
      {"TreeWithTrailingSeparator", {{"t/a", page("A")}}, {"t/a"}, {"t/"}, 1, {"t/a : ok"}},
      // Only a backslash ending the directory saves the joined one.
      {"TreeWithTrailingForwardSlash",
       {{"d/a.htm", page("A")}, {"d/sub/b", page("B")}},
       {"d/a.htm", "d/sub/b"},
       {"d/"},
       1,
       {"d/\\a.htm : ok", "d/\\sub\\b : ok"},
       nullptr,
       {},
       true},
      {"DotNamedTargetDirectoryIsWalked", {{".cache/a", page("A")}}, {".cache/a"}, {".cache"}, 1, {".cache/a : ok"}},
      {"EmptyDirectory", {}, {}, {"empty"}, 1, {}, [](const Scratch& s) { s.make_directory("work/empty"); }},
      {"PatternWithoutDirectory",
       {{"a.htm", page("A")}, {"b.htm", "nothing"}, {"c.txt", page("C")}},
       {"a.htm"},
       {"*.htm"},
       1,
       {"a.htm : ok", "b.htm : error"}},
      {"PatternWithDirectory",
       {{"sub/a.htm", page("A")}, {"sub/c.txt", page("C")}, {"a.htm", page("top")}},
       {"sub/a.htm"},
       {"sub/*.htm"},
       1,
       {"sub/a.htm : ok"}},
      {"QuestionMarkPattern", {{"a1", page("1")}, {"a22", page("2")}}, {"a1"}, {"a?"}, 1, {"a1 : ok"}},
      {"PatternIsCaseSensitive", {{"A.HTM", page("1")}, {"b.htm", page("2")}}, {"b.htm"}, {"*.htm"}, 1, {"b.htm : ok"}},
      {"PatternMatchingADirectoryWalksItWhole",
       {{"docs/x.txt", page("x")}, {"d.htm", page("d")}, {"e.htm", page("e")}},
       {"docs/x.txt", "d.htm"},
       {"d*"},
       1,
       {"docs/x.txt : ok", "d.htm : ok"}},
      {"PatternMatchingNothing", {{"a.txt", page("A")}}, {}, {"*.htm"}, 1, {"Source open error"}},
      {"PatternInMissingDirectory", {}, {}, {"nowhere/*.htm"}, 1, {"Source open error"}},
      {"ReadOnlyFileIsStrippedAndMadeWritable",
       {{"ro.htm", page("R")}},
       {"ro.htm"},
       {"ro.htm"},
       0,
       {},
       [](const Scratch& s) { chmod(s.path("work/ro.htm").c_str(), 0444); }},
      {"FifoInTreeIsAnErrorNotAHang",
       {{"t/a", page("A")}},
       {"t/a"},
       {"t"},
       1,
       {"t/a : ok", "t/fifo : error"},
       [](const Scratch& s) { mkfifo(s.path("work/t/fifo").c_str(), 0600); }},
      {"LinksToDirectoriesAreNotEntered",
       {{"t/a", page("A")}, {"t/sub/b", page("B")}},
       {"t/a", "t/sub/b"},
       {"t"},
       1,
       {"t/a : ok", "t/sub/b : ok"},
       plant_directory_links},
      // Windows reports a link or junction it does not follow. Wine shows a
      // link to a file as the file itself, so the line a link to a file
      // gets on Windows cannot be shown here.
      {"LinksToDirectoriesGetALine",
       {{"t/a", page("A")}, {"t/sub/b", page("B")}},
       {"t/a", "t/sub/b"},
       {"t"},
       1,
       {"t/a : ok", "t/sub/b : ok", "t/loop : error", "t/sub/up : error", "t/root : error"},
       plant_directory_links},
      // A body kept after a failed copy back may be the only whole copy:
      // a walk through the temporary directory leaves such names alone.
      {"BodyFileNamesInTheTemporaryDirectoryAreLeftAlone",
       {{"t/a", page("A")},
        {"t/BCT1A2B.TMP", page("elsewhere")},
        {"t/tmp/BCT1A2B.TMP", page("kept")},
        {"t/tmp/bct9.tmp", page("kept")},
        {"t/tmp/BCT12345.TMP", page("five digits")}},
       {"t/a", "t/BCT1A2B.TMP", "t/tmp/BCT12345.TMP"},
       {"t"},
       1,
       {"t/a : ok", "t/BCT1A2B.TMP : ok", "t/tmp/BCT12345.TMP : ok"},
       nullptr,
       {"BODYCUT_TEMP=Z:@/work/T/TMP"}},
      {"LinkToFileIsStrippedThroughTheLink",
       {{"t/a", page("A")}, {"outside.htm", page("O")}},
       {"t/a", "outside.htm"},
       {"t"},
       1,
       {"t/a : ok", "t/link : ok"},
       [](const Scratch& s) { symlink("../outside.htm", s.path("work/t/link").c_str()); }},
      // One file reached under two names is stripped once: its body keeps
      // its own empty line.
      {"HardLinkedFileStrippedOnce",
       {{"hl/page", "HTTP/1.1 200\r\n\r\nPART1\r\n\r\nPART2"}},
       {"hl/page"},
       {"hl"},
       1,
       {"hl/page : ok", "hl/sub/copy : ok"},
       [](const Scratch& s) {
         s.make_directory("work/hl/sub");
         link(s.path("work/hl/page").c_str(), s.path("work/hl/sub/copy").c_str());
       }},
      {"FileAndLinkToItStrippedOnce",
       {{"sl/page", "HTTP/1.1 200\r\n\r\nPART1\r\n\r\nPART2"}},
       {"sl/page"},
       {"sl"},
       1,
       {"sl/page : ok", "sl/link : ok"},
       [](const Scratch& s) { symlink("page", s.path("work/sl/link").c_str()); }},
      // A link planted in a tree is followed only to a file of its owner.
      {"LinkToAnotherOwnersFileIsNotFollowed",
       {{"ol/a", page("A")}, {"victim.htm", page("V")}},
       {"ol/a"},
       {"ol"},
       1,
       {"ol/a : ok", "ol/x : error"},
       [](const Scratch& s) {
         symlink("../victim.htm", s.path("work/ol/x").c_str());
         if (lchown(s.path("work/ol/x").c_str(), 65534, 65534) != 0) throw std::runtime_error("needs root");
       }},
      // Whoever owns the file it names, a link in a tree is followed only
      // when it is the running user's own.
      {"LinkOfAnotherUserToTheirOwnFileIsNotFollowed",
       {{"ol/a", page("A")}, {"theirs.htm", page("T")}},
       {"ol/a"},
       {"ol"},
       1,
       {"ol/a : ok", "ol/x : error"},
       [](const Scratch& s) {
         symlink("../theirs.htm", s.path("work/ol/x").c_str());
         if (lchown(s.path("work/ol/x").c_str(), 65534, 65534) != 0 ||
             chown(s.path("work/theirs.htm").c_str(), 65534, 65534) != 0)
           throw std::runtime_error("needs root");
       }},
      {"OwnLinkToAnotherUsersFileIsFollowed",
       {{"ol/a", page("A")}, {"theirs.htm", page("T")}},
       {"ol/a", "theirs.htm"},
       {"ol"},
       1,
       {"ol/a : ok", "ol/x : ok"},
       [](const Scratch& s) {
         symlink("../theirs.htm", s.path("work/ol/x").c_str());
         if (chown(s.path("work/theirs.htm").c_str(), 65534, 65534) != 0) throw std::runtime_error("needs root");
       }},
      // Nor is another user's link on the way an own link leads.
      {"OwnLinkThroughAnotherUsersLinkIsNotFollowed",
       {{"ol/a", page("A")}, {"victim.htm", page("V")}},
       {"ol/a"},
       {"ol"},
       1,
       {"ol/a : ok", "ol/x : error"},
       [](const Scratch& s) {
         symlink("../theirs", s.path("work/ol/x").c_str());
         symlink("victim.htm", s.path("work/theirs").c_str());
         if (lchown(s.path("work/theirs").c_str(), 65534, 65534) != 0) throw std::runtime_error("needs root");
       }},
      // Another user's link to a directory is refused with a line, unfollowed.
      {"AnotherUsersLinkToDirectoryGetsALine",
       {{"ol/a", page("A")}, {"d/b", page("B")}},
       {"ol/a"},
       {"ol"},
       1,
       {"ol/a : ok", "ol/x : error"},
       [](const Scratch& s) {
         symlink("../d", s.path("work/ol/x").c_str());
         if (lchown(s.path("work/ol/x").c_str(), 65534, 65534) != 0) throw std::runtime_error("needs root");
       }},
      {"AnotherUsersLinkToDirectoryGetsALineOnOneFileSystem",
       {{"ol/a", page("A")}, {"d/b", page("B")}},
       {"ol/a"},
       {"-x", "ol"},
       1,
       {"ol/a : ok", "ol/x : error"},
       [](const Scratch& s) {
         symlink("/proc", s.path("work/ol/x").c_str());  // another file system
         if (lchown(s.path("work/ol/x").c_str(), 65534, 65534) != 0) throw std::runtime_error("needs root");
       }},
      // Nor one the way of an own link passes, even to tell a directory.
      {"OwnLinkThroughAnotherUsersLinkToDirectoryGetsALine",
       {{"ol/a", page("A")}, {"d/b", page("B")}},
       {"ol/a"},
       {"ol"},
       1,
       {"ol/a : ok", "ol/x : error"},
       [](const Scratch& s) {
         symlink("../theirs", s.path("work/ol/x").c_str());
         symlink("d", s.path("work/theirs").c_str());
         if (lchown(s.path("work/theirs").c_str(), 65534, 65534) != 0) throw std::runtime_error("needs root");
       }},
      // A link named on the command line is followed, as given.
      {"LinkToDirectoryAsTargetIsWalked",
       {{"real/a", page("A")}},
       {"real/a"},
       {"ln"},
       1,
       {"ln/a : ok"},
       [](const Scratch& s) { symlink("real", s.path("work/ln").c_str()); }},
      {"DanglingLinkAndDeviceLinkInTree",
       {{"t/a", page("A")}},
       {"t/a"},
       {"t"},
       1,
       {"t/a : ok", "t/dangling : error", "t/zero : error"},
       [](const Scratch& s) {
         symlink("nothing-here", s.path("work/t/dangling").c_str());
         symlink("/dev/zero", s.path("work/t/zero").c_str());
       }},
      {"TargetTooLong", {}, {}, {std::string(5000, 'x')}, 1, {"Target too long"}},
      {"TargetWithLineBreak", {{"a\nb", page("A")}}, {}, {"a\nb"}, 1, {}},
      {"PatternWithForwardSlash",
       {{"sub/a.htm", page("A")}, {"a.htm", page("top")}},
       {"sub/a.htm"},
       {"sub/*.htm"},
       1,
       {"sub/a.htm : ok"},
       nullptr,
       {},
       true},
      {"PatternWithDrivePrefix",
       {{"a.htm", page("A")}, {"b.txt", page("B")}},
       {"a.htm"},
       {"Z:*.htm"},
       1,
       {"Z:a.htm : ok"},
       nullptr,
       {},
       true},
      // U+30BD, U+8868 and U+80FD are 83 5C, 95 5C and 94 5C in code page
      // 932; the report carries the code page's bytes.
      {"DoubleByteNamesEndingInBackslashByte",
       {{"t/\xe3\x82\xbd/a", page("1")}, {"t/\xe8\xa1\xa8/\xe8\x83\xbd/b", page("2")}, {"t/x\xe8\x83\xbd", page("3")}},
       {"t/\xe3\x82\xbd/a", "t/\xe8\xa1\xa8/\xe8\x83\xbd/b", "t/x\xe8\x83\xbd"},
       {"t"},
       1,
       {"t\\\x83\x5c\\a : ok", "t\\\x95\x5c\\\x94\x5c\\b : ok", "t\\x\x94\x5c : ok"},
       nullptr,
       {},
       true},
      // U+00A5 is 5C in code page 932, a backslash to the ANSI calls: a
      // file and a directory whose names climb out of the tree that way
      // are reported, and nothing outside the tree changes.
      {"YenSignNamesStayInTheTree",
       {{"t/a.htm", page("A")},
        {"t/..\xc2\xa5victim.htm", page("in")},
        {"victim.htm", page("V")},
        {"t/x\xc2\xa5..\xc2\xa5..\xc2\xa5"
         "elsewhere/e.htm",
         page("in")},
        {"elsewhere/e.htm", page("E")}},
       {"t/a.htm"},
       {"t"},
       1,
       {"t/a.htm : ok", "t/..?victim.htm : error", "t/x?..?..?elsewhere : error"}},
      {"TargetTypedWithYenSign",
       {{"t/..\xc2\xa5victim.htm", page("in")}, {"victim.htm", page("V")}},
       {},
       {"t/..\xc2\xa5victim.htm"},
       1,
       {"Target holds a character the code page does not: it could name another file"}},
      // In code page 932 the e with an accent is listed as a plain e.
      {"CodePageBentNameBesideItsTwin",
       {{"t/caf\xc3\xa9.htm", page("1")}, {"t/cafe.htm", page("2")}},
       {"t/cafe.htm"},
       {"t"},
       1,
       {"t/caf?.htm : error", "t/cafe.htm : ok"}},
      // Win32 drops a trailing dot or blank: these names would open their twins.
      {"TrailingDotAndBlankNamesAreNotOpened",
       {{"t/a.htm.", page("1")},
        {"t/a.htm", page("2")},
        {"t/b ", page("3")},
        {"t/b", page("4")},
        {"t/sub./c", page("5")},
        {"t/sub/c", page("6")}},
       {"t/a.htm", "t/b", "t/sub/c"},
       {"t"},
       1,
       {"t/a.htm. : error", "t/a.htm : ok", "t/b  : error", "t/b : ok", "t/sub. : error", "t/sub/c : ok"}},
      // Only a volume another system wrote holds them: shown as '?', they
      // cannot break a line.
      {"ControlBytesInNamesAreNotOpened",
       {{"t/x\r\nforged.htm", page("1")}, {"t/a\tb\x01", page("2")}, {"t/a.htm", page("3")}},
       {"t/a.htm"},
       {"t"},
       1,
       {"t/a.htm : ok", "t/a?b? : error", "t/x??forged.htm : error"}},
      // The copy back is finished, never cut; the run then ends with 1.
      {"CtrlCDuringCopyBackFinishesTheFile",
       {},
       {"big"},
       {"big"},
       1,
       {},
       nullptr,
       {},
       false,
       {},
       ctrl_c_once_rewritten("big"),
       false,
       {{"big", CTRL_C_BODY}}},
      // Stopped before the copy back, the strip is given up whole.
      {"CtrlCWhileFillingTheTemporaryFile",
       {},
       {},
       {"big"},
       1,
       {"error"},
       nullptr,
       {},
       false,
       {},
       ctrl_c_once_rewritten("../tmp"),
       false,
       {{"big", CTRL_C_BODY}}},
      {"TemporaryDirectoryMissing",
       {{"p.htm", page("P")}},
       {},
       {"p.htm"},
       1,
       {"error"},
       nullptr,
       {"TMPDIR=@/no-such-directory"}},
      {"TemporaryDirectoryTooLong",
       {{"p.htm", page("P")}},
       {},
       {"p.htm"},
       1,
       {"error"},
       nullptr,
       {"TMPDIR=/" + std::string(5000, 't')}},
      {"HttpSingleFileStrippedSilently",
       {{"page.htm", page("<p>a</p>\r\n\r\n")}},
       {"page.htm"},
       {"--http", "page.htm"},
       0,
       {}},
      {"HttpSingleFileWithoutStatusLineIsSkipped",
       {{"saved.htm", "<p>a</p>\r\n\r\n<p>b</p>"}},
       {},
       {"--http", "saved.htm"},
       1,
       {"skipped"}},
      {"HttpEmptyFileIsSkipped", {{"empty", ""}}, {}, {"--http", "empty"}, 1, {"skipped"}},
      {"HttpInterimBlocksRemoved",
       {{"page.htm", CONTINUE + HINTS + page("body")}},
       {"page.htm"},
       {"--http", "page.htm"},
       0,
       {},
       nullptr,
       {},
       false,
       {{"page.htm", "body"}}},
      {"HttpInterimFollowedByBodyIsAnError",
       {{"page.htm", CONTINUE + "<html>\r\n\r\n"}},
       {},
       {"--http", "page.htm"},
       1,
       {"error"}},
      {"HttpTree",
       {{"t/a.htm", page("A")},
        {"t/sub/b", "HTTP/2 404\r\n\r\nnot found"},
        {"t/sub/c", CONTINUE + page("C")},
        {"t/plain.htm", "<html>\r\n\r\n</html>"},
        {"t/lower", "http/1.1 200\r\n\r\nx"},
        {"t/interim", CONTINUE + "body"},
        {"t/no-end", "HTTP/1.1 200 OK\r\nA: b\r\n"}},
       {"t/a.htm", "t/sub/b", "t/sub/c"},
       {"--http", "t"},
       1,
       {"t/a.htm : ok", "t/sub/b : ok", "t/sub/c : ok", "t/plain.htm : skipped", "t/lower : skipped",
        "t/interim : error", "t/no-end : error"},
       nullptr,
       {},
       false,
       {{"t/sub/c", "C"}}},
      {"BareLineFeedStatusLineIsAnError",
       {{"page.htm", "HTTP/1.1 200 OK\nContent-Type: text/html\n\n<p>a</p>\r\n\r\n<p>b</p>"}},
       {},
       {"page.htm"},
       1,
       {"error"}},
      {"HttpChainsRemovedInOneRun",
       {{"t/redirects", REDIRECT + "HTTP/1.1 301 Moved Permanently\r\nLocation: /c\r\n\r\n" + page("R")},
        {"t/tunnel", TUNNEL + "HTTP/2 200 \r\ncontent-type: text/html\r\n\r\nT"},
        {"t/auth", PROXY_CHALLENGE + TUNNEL + CHALLENGE + page("A")},
        {"t/bare-lf", "HTTP/1.1 200 OK\nContent-Type: text/html\n\n<p>a</p>\r\n\r\n<p>b</p>"},
        {"t/sized", SIZED + page("S")},
        {"t/not-followed", "HTTP/1.1 301 Moved Permanently\r\nLocation: /c\r\n\r\n<a href=/c>c</a>"},
        {"t/after-interim", CONTINUE + REDIRECT + "x"}},
       {"t/redirects", "t/tunnel", "t/auth", "t/bare-lf", "t/sized", "t/not-followed", "t/after-interim"},
       {"--http", "t"},
       1,
       {"t/redirects : ok", "t/tunnel : ok", "t/auth : ok", "t/bare-lf : ok", "t/sized : ok", "t/not-followed : ok",
        "t/after-interim : ok"},
       nullptr,
       {},
       false,
       {{"t/redirects", "R"},
        {"t/tunnel", "T"},
        {"t/auth", "A"},
        {"t/bare-lf", "<p>a</p>\r\n\r\n<p>b</p>"},
        {"t/after-interim", "x"}}},
      {"HttpPattern",
       {{"a.htm", page("A")}, {"b.htm", "HTTP/1.1 20\r\n\r\nx"}, {"c.txt", page("C")}},
       {"a.htm"},
       {"--http", "*.htm"},
       1,
       {"a.htm : ok", "b.htm : skipped"}},
  };
  return all;
}

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class EndToEnd : public ::testing::TestWithParam<Case> {};

std::vector<std::string> sorted_lines(const std::string& output) {
  bool well_ended = false;
  std::vector<std::string> lines = report_lines(output, &well_ended);
  EXPECT_TRUE(well_ended) << "a line does not end as the platform ends lines: " << output;
  std::sort(lines.begin(), lines.end());
  return lines;
}

void expect_dry_run_unchanged(const Case& c, const Scratch& scratch, const std::vector<std::string>& environment) {
  SCOPED_TRACE("dry run");
  std::map<std::string, struct stat> before;
  for (const auto& [name, bytes] : c.files) before[name] = status_of(scratch.path("work/" + name));
  // The directories it lists keep their access times too.
  std::map<std::string, struct stat> directories = {{"", status_of(scratch.path("work"))}};
  for (const auto& [name, bytes] : c.files)
    for (size_t at = name.find('/'); at != std::string::npos; at = name.find('/', at + 1))
      directories[name.substr(0, at)] = status_of(scratch.path("work/" + name.substr(0, at)));
  std::vector<std::string> arguments = {"-n"};
  arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
  ToolRun run = run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), arguments, environment, c.options);
  EXPECT_EQ(run.status, c.status) << "ended by signal " << run.signal;
  EXPECT_EQ(sorted_error_lines(run.errors), expected_reasons(c.name)) << run.errors;
  std::vector<std::string> expected = c.lines;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sorted_lines(run.output), expected) << run.output;
  for (const auto& [name, bytes] : c.files) {
    SCOPED_TRACE(name);
    struct stat status = status_of(scratch.path("work/" + name));
    EXPECT_EQ(status.st_mtim.tv_sec, WRITE_SECONDS);
    EXPECT_EQ(status.st_mtim.tv_nsec, WRITE_NANOSECONDS);
    EXPECT_EQ(status.st_atim.tv_sec, ACCESS_SECONDS);
    EXPECT_EQ(status.st_atim.tv_nsec, ACCESS_NANOSECONDS);
    EXPECT_EQ(status.st_ctim.tv_sec, before[name].st_ctim.tv_sec);
    EXPECT_EQ(status.st_ctim.tv_nsec, before[name].st_ctim.tv_nsec);
    EXPECT_EQ(status.st_mode, before[name].st_mode);
    EXPECT_EQ(status.st_ino, before[name].st_ino);
    EXPECT_EQ(scratch.read("work/" + name), bytes);
    // Reading it here moved its access time: the real run must find it as it was.
    set_times(scratch.path("work/" + name), ACCESS_SECONDS, ACCESS_NANOSECONDS, WRITE_SECONDS, WRITE_NANOSECONDS);
  }
  for (const auto& [name, status] : directories)
    EXPECT_EQ(status_of(scratch.path("work/" + name)).st_atim.tv_nsec, status.st_atim.tv_nsec) << "directory " << name;
  EXPECT_EQ(scratch.list("tmp"), std::vector<std::string>{}) << "a dry run made a temporary file";
}

TEST_P(EndToEnd, Case) {
  const Case& c = GetParam();
  if (windows_target() ? posix_only.count(c.name) != 0 : windows_only.count(c.name) != 0)
    GTEST_SKIP() << "not a case for this platform";
  Scratch scratch;
  scratch.make_directory("work");
  scratch.make_directory("tmp");
  std::map<std::string, std::string> files = c.files;
  for (const auto& [name, size] : c.large) files[name] = page(std::string(size, 'b'));
  std::map<std::string, ino_t> inodes;
  for (const auto& [name, bytes] : files) {
    scratch.write("work/" + name, bytes);
    set_times(scratch.path("work/" + name), ACCESS_SECONDS, ACCESS_NANOSECONDS, WRITE_SECONDS, WRITE_NANOSECONDS);
    inodes[name] = status_of(scratch.path("work/" + name)).st_ino;
  }
  if (c.setup) c.setup(scratch);
  std::vector<std::string> environment = temp_environment(scratch.path("tmp"));
  for (std::string setting : c.environment) {
    size_t at = setting.find('@');
    if (at != std::string::npos) setting.replace(at, 1, scratch.root());
    environment.push_back(setting);
  }

  std::vector<std::string> arguments = c.arguments;
  if (!c.literal_arguments)
    for (std::string& argument : arguments) argument = native(argument);
  if (c.dry_run_first && !windows_target()) expect_dry_run_unchanged(c, scratch, environment);
  ToolRun run = run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), arguments, environment, c.options);

  EXPECT_EQ(run.status, c.status) << "ended by signal " << run.signal;
  EXPECT_EQ(sorted_error_lines(run.errors), expected_reasons(c.name)) << run.errors;
  bool well_ended = false;
  std::vector<std::string> lines = report_lines(run.output, &well_ended);
  EXPECT_TRUE(well_ended) << "a line does not end as the platform ends lines: " << run.output;
  std::vector<std::string> expected = c.lines;
  if (!c.literal_arguments)
    for (std::string& line : expected) line = native(line);
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected) << run.output;

  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    std::string path = scratch.path("work/" + name);
    bool stripped = std::find(c.stripped.begin(), c.stripped.end(), name) != c.stripped.end();
    // Times first: reading the file here would move its access time.
    struct stat status = status_of(path);
    EXPECT_EQ(status.st_mtim.tv_sec, WRITE_SECONDS);
    EXPECT_EQ(status.st_mtim.tv_nsec, WRITE_NANOSECONDS);
    // The POSIX build reads a file without moving its access time, so a
    // file left alone keeps it too.
    if (stripped || !windows_target()) {
      EXPECT_EQ(status.st_atim.tv_sec, ACCESS_SECONDS);
      EXPECT_EQ(status.st_atim.tv_nsec, ACCESS_NANOSECONDS);
    }
    EXPECT_EQ(status.st_ino, inodes[name]);
    std::string after = bytes;
    if (stripped) after = c.bodies.count(name) != 0 ? c.bodies.at(name) : bytes.substr(bytes.find("\r\n\r\n") + 4);
    std::string now = scratch.read("work/" + name);
    // A large file's bytes would flood the log: its size and start tell.
    if (c.large.count(name) != 0)
      EXPECT_TRUE(now == after) << now.size() << " bytes, beginning " << now.substr(0, 40);
    else
      EXPECT_EQ(now, after);
    if (stripped) EXPECT_NE(status.st_mode & S_IWUSR, 0u);
  }
  EXPECT_EQ(scratch.list("tmp"), std::vector<std::string>{}) << "a temporary file was left behind";
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEnd, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// HTTP mode is safe to run twice: a stripped file no longer begins with a
// status line, so the second run changes no byte and no time, skips every
// file it did not fail on, and fails again only where the first run failed.
TEST(EndToEndHttp, TreeStrippedTwice) {
  if (windows_target()) GTEST_SKIP() << "POSIX build only";
  struct File {
    const char* name;
    std::string before;
    const char* first_report;  // the second run reports "skipped", or "error" again
    std::string after;         // after the first run
  };
  // Bodies hold empty lines, which a second run without the option would
  // take for a header's end.
  const std::string body = "<p>a</p>\r\n\r\n<p>b</p>\r\n\r\n";
  const File files[] = {
      {"t/ok.htm", page(body), "ok", body},
      {"t/404", "HTTP/2 404\r\n\r\n" + body, "ok", body},
      {"t/304", "HTTP/1.0 304\r\nETag: \"x\"\r\n\r\n", "ok", ""},
      {"t/continue", CONTINUE + page(body), "ok", body},
      {"t/sub/interim-twice", CONTINUE + HINTS + page(body), "ok", body},
      {"t/sub/redirected", REDIRECT + TUNNEL + CHALLENGE + page(body), "ok", body},
      {"t/sub/bare-lf", "HTTP/1.1 200 OK\nA: b\n\n" + body, "ok", body},
      {"t/sub/interim-then-body", CONTINUE + body, "error", CONTINUE + body},
      {"t/sub/lower", "http/1.1 200\r\n\r\n" + body, "skipped", "http/1.1 200\r\n\r\n" + body},
      {"t/sub/short-code", "HTTP/1.1 20\r\n\r\n" + body, "skipped", "HTTP/1.1 20\r\n\r\n" + body},
      {"t/plain.htm", "<html>" + body, "skipped", "<html>" + body},
      {"t/empty", "", "skipped", ""},
      {"t/leading-blank", "\r\n" + page(body), "skipped", "\r\n" + page(body)},
  };
  Scratch scratch;
  scratch.make_directory("tmp");
  for (const File& file : files) {
    scratch.write("work/" + std::string(file.name), file.before);
    set_times(scratch.path("work/" + std::string(file.name)), ACCESS_SECONDS, ACCESS_NANOSECONDS, WRITE_SECONDS,
              WRITE_NANOSECONDS);
  }
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    ToolRun run =
        run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {"--http", "t"}, temp_environment(scratch.path("tmp")));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors, "bodycut: t/sub/interim-then-body: incomplete HTTP header\n");
    std::vector<std::string> expected;
    for (const File& file : files) {
      std::string report = round == 1 || std::string(file.first_report) == "error" ? file.first_report : "skipped";
      expected.push_back(std::string(file.name) + " : " + report);
      struct stat status = status_of(scratch.path("work/" + std::string(file.name)));
      EXPECT_EQ(status.st_mtim.tv_sec, WRITE_SECONDS) << file.name;
      EXPECT_EQ(status.st_mtim.tv_nsec, WRITE_NANOSECONDS) << file.name;
      EXPECT_EQ(scratch.read("work/" + std::string(file.name)), file.after) << file.name;
    }
    bool well_ended = false;
    std::vector<std::string> lines = report_lines(run.output, &well_ended);
    EXPECT_TRUE(well_ended);
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(scratch.list("tmp"), std::vector<std::string>{});
  }
}

}  // namespace
