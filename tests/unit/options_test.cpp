#include "app/options.h"
#include "app/driver.h"
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace {

struct OptionsCase {
  std::vector<std::string> arguments;  // after the program's name
  OptionsOutcome outcome;
  int target;  // index in the whole vector; the vector's length when none
  int http_only;
  unsigned workers;
  int dry_run = 0;
  int one_file_system = 0;
};

// The files that exist as far as these cases go: names that begin with a
// dash and are targets.
int fake_names(const char* name) {
  static const std::set<std::string> existing = {"-page", "-", "---", "--helpful", "-J4", "-j4x", "-junk.htm", "-h*"};
  return existing.count(name) != 0;
}

const OptionsCase options_cases[] = {
    {{}, OPTIONS_RUN, 1, 0, 1},
    {{"page"}, OPTIONS_RUN, 1, 0, 1},
    {{"-page"}, OPTIONS_RUN, 1, 0, 1},
    {{"-"}, OPTIONS_RUN, 1, 0, 1},
    {{"---"}, OPTIONS_RUN, 1, 0, 1},
    {{"--helpful"}, OPTIONS_RUN, 1, 0, 1},
    {{"-J4"}, OPTIONS_RUN, 1, 0, 1},
    {{""}, OPTIONS_RUN, 1, 0, 1},
    {{"--http", "page"}, OPTIONS_RUN, 2, 1, 1},
    {{"--http"}, OPTIONS_RUN, 2, 1, 1},
    {{"-j", "8", "t"}, OPTIONS_RUN, 3, 0, 8},
    {{"-j8", "t"}, OPTIONS_RUN, 2, 0, 8},
    {{"-j0", "t"}, OPTIONS_RUN, 2, 0, 0},
    {{"-j", "016", "t"}, OPTIONS_RUN, 3, 0, 16},
    {{"-j2", "--http", "-j", "3", "t"}, OPTIONS_RUN, 5, 1, 3},
    {{"--", "--help"}, OPTIONS_RUN, 2, 0, 1},
    {{"--http", "--", "-j"}, OPTIONS_RUN, 3, 1, 1},
    {{"--", "--"}, OPTIONS_RUN, 2, 0, 1},
    {{"--"}, OPTIONS_RUN, 2, 0, 1},
    {{"./--help"}, OPTIONS_RUN, 1, 0, 1},
    {{"--help"}, OPTIONS_HELP, 1, 0, 1},
    {{"--http", "--help", "x", "y"}, OPTIONS_HELP, 1, 1, 1},
    {{"--version"}, OPTIONS_VERSION, 1, 0, 1},
    {{"-j"}, OPTIONS_BAD_WORKERS, 1, 0, 1},
    {{"-j", "t"}, OPTIONS_BAD_WORKERS, 1, 0, 1},
    {{"-j", ""}, OPTIONS_BAD_WORKERS, 1, 0, 1},
    {{"-j", "17"}, OPTIONS_BAD_WORKERS, 1, 0, 1},
    {{"-j99999999999999999999"}, OPTIONS_BAD_WORKERS, 1, 0, 1},
    {{"-j", "-1"}, OPTIONS_BAD_WORKERS, 1, 0, 1},
    {{"-j", "+4"}, OPTIONS_BAD_WORKERS, 1, 0, 1},
    {{"-j4x"}, OPTIONS_RUN, 1, 0, 1},
    {{"-junk.htm"}, OPTIONS_RUN, 1, 0, 1},
    {{"a", "b"}, OPTIONS_SECOND_TARGET, 1, 0, 1},
    {{"page", "--http"}, OPTIONS_SECOND_TARGET, 1, 0, 1},
    {{"--", "a", "b"}, OPTIONS_SECOND_TARGET, 2, 0, 1},
    {{"--http", "a.htm", "b.htm", "c.htm"}, OPTIONS_SECOND_TARGET, 2, 1, 1},
    {{"-n", "t"}, OPTIONS_RUN, 2, 0, 1, 1, 0},
    {{"--dry-run", "t"}, OPTIONS_RUN, 2, 0, 1, 1, 0},
    {{"-x", "a.htm"}, OPTIONS_RUN, 2, 0, 1, 0, 1},
    {{"--one-file-system", "t"}, OPTIONS_RUN, 2, 0, 1, 0, 1},
    {{"-x", "-n", "--http", "-j2", "t"}, OPTIONS_RUN, 5, 1, 2, 1, 1},
    {{"-n", "-page"}, OPTIONS_RUN, 2, 0, 1, 1, 0},
    {{"-h*"}, OPTIONS_RUN, 1, 0, 1},
    {{"--", "--bogus"}, OPTIONS_RUN, 2, 0, 1},
    {{"--bogus"}, OPTIONS_UNKNOWN, 1, 0, 1},
    {{"--HTTP", "b.htm"}, OPTIONS_UNKNOWN, 1, 0, 1},
    {{"-q", "a.htm"}, OPTIONS_UNKNOWN, 1, 0, 1},
    {{"-nx", "t"}, OPTIONS_UNKNOWN, 1, 0, 1},
    {{"--http", "-j4x", "--dry"}, OPTIONS_SECOND_TARGET, 2, 1, 1},
    {{"--http", "--dry", "t"}, OPTIONS_UNKNOWN, 2, 1, 1},
    {{"page", "--bogus"}, OPTIONS_SECOND_TARGET, 1, 0, 1},
};

TEST(Options, ArgumentVectors) {
  for (const OptionsCase& c : options_cases) {
    std::vector<const char*> argv = {"bodycut"};
    std::string shown;
    for (const std::string& argument : c.arguments) {
      argv.push_back(argument.c_str());
      shown += " [" + argument + "]";
    }
    SCOPED_TRACE(shown);
    Options options;
    options.target = -1;
    EXPECT_EQ(parse_options((int)argv.size(), argv.data(), &options, fake_names), c.outcome);
    if (c.outcome == OPTIONS_UNKNOWN) {
      EXPECT_EQ(options.target, c.target);
      EXPECT_EQ(options.unknown, argv[c.target]);
      continue;
    }
    if (c.outcome != OPTIONS_RUN && c.outcome != OPTIONS_SECOND_TARGET) continue;
    EXPECT_EQ(options.target, c.target);
    EXPECT_EQ(options.settings.http_only, c.http_only);
    EXPECT_EQ(options.settings.workers, c.workers);
    EXPECT_EQ(options.settings.dry_run, c.dry_run);
    EXPECT_EQ(options.settings.one_file_system, c.one_file_system);
  }
}

TEST(Options, NoArgumentVectorAtAll) {
  Options options;
  EXPECT_EQ(parse_options(0, nullptr, &options, fake_names), OPTIONS_RUN);
  EXPECT_EQ(options.target, 0);
}

#define UNKNOWN_HINT "Options are listed by bodycut --help; put -- before a target that begins with a dash\n"

struct AnswerCase {
  OptionsOutcome outcome;
  int status;
  std::string output;
  std::string unknown = "";
};

const AnswerCase answer_cases[] = {
    {OPTIONS_HELP, 0,
     std::string(usage_text) + "options, before the target:\n"
                               "  --http     strip only files that begin with an HTTP status line\n"
                               "  -j N       strip N files at once in a tree or pattern run, 0 to 16; 0: one per core\n"
                               "  -n         report what a run would do, and change nothing (--dry-run)\n"
                               "  -x         skip directories on other file systems than the target's "
                               "(--one-file-system)\n"
                               "  --help     print this text\n"
                               "  --version  print the name and the version\n"
                               "  --         end the options: what follows is the target\n"
                               "see the manual page bodycut(1)\n"},
    {OPTIONS_VERSION, 0, "BODYCUT " BODYCUT_VERSION "\n"},
    {OPTIONS_BAD_WORKERS, 1, "bodycut: -j takes a number of workers from 0 to 16\n"},
    {OPTIONS_SECOND_TARGET, 1,
     "bodycut: one target only: quote a wildcard, as in bodycut '*.htm', so that the shell does not expand it\n"},
    {OPTIONS_UNKNOWN, 1, "bodycut: unknown option '--bogus'\n" UNKNOWN_HINT, "--bogus"},
    // The argument is shown as names are, so that it cannot forge a line.
    {OPTIONS_UNKNOWN, 1, "bodycut: unknown option '-\\n\\\\x : ok'\n" UNKNOWN_HINT, "-\n\\x : ok"},
    {OPTIONS_UNKNOWN, 1, "bodycut: unknown option '-" + std::string(600, 'a') + "\\t'\n" UNKNOWN_HINT,
     "-" + std::string(600, 'a') + "\t"},
};

TEST(Options, Answers) {
  ASSERT_EQ(std::string(usage_text).substr(0, 10), "BODYCUT : ");
  for (const AnswerCase& c : answer_cases) {
    SCOPED_TRACE(c.outcome);
    Options options;
    options.unknown = c.unknown.c_str();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = answer_options(c.outcome, &options);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    // A refusal goes to standard error, help and version to standard output.
    EXPECT_EQ(c.status == 0 ? out : err, c.output);
    EXPECT_EQ(c.status == 0 ? err : out, "");
    EXPECT_EQ(status, c.status);
  }
}

}  // namespace
