#include "options.h"

#include "../platform/platform.h"
#include "driver.h"

static bool same_text(const char* first, const char* second) {
  for (; *first != '\0' && *first == *second; ++first, ++second) {
  }
  return *first == *second;
}

static bool all_digits(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text)
    if (*text < '0' || *text > '9') return false;
  return true;
}

// A decimal number of workers, 0 to MAX_WORKERS; false for anything else.
static bool read_workers(const char* text, unsigned* workers) {
  unsigned value = 0;
  if (text == nullptr || *text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
    value = value * 10 + (unsigned)(*text - '0');
    if (value > MAX_WORKERS) return false;
  }
  *workers = value;
  return true;
}

int names_something(const char* name) {
  if (path_kind(name) != PATH_NAMES_NOTHING) return 1;
  WalkRoot root;
  WalkSearch search;
  WalkEntry entry;
  Reason why = done_reason();
  int listed = LIST_FAILED;
  if (!failed(open_walk_root(name, 0, &root))) {
    listed = first_entry(&root, name, &search, &entry, &why);
    end_search(&search);
  }
  close_walk_root(&root);
  return listed == LISTED_ENTRY;
}

OptionsOutcome parse_options(int argc, const char* const* argv, Options* options, NamesSomething names) {
  options->settings = default_run_settings();
  options->unknown = nullptr;
  int at = 1;
  while (at < argc) {
    const char* argument = argv[at];
    if (same_text(argument, "--")) {
      ++at;
      break;
    }
    if (same_text(argument, "--help")) return OPTIONS_HELP;
    if (same_text(argument, "--version")) return OPTIONS_VERSION;
    if (same_text(argument, "--http")) {
      options->settings.http_only = 1;
      ++at;
    } else if (same_text(argument, "-n") || same_text(argument, "--dry-run")) {
      options->settings.dry_run = 1;
      ++at;
    } else if (same_text(argument, "-x") || same_text(argument, "--one-file-system")) {
      options->settings.one_file_system = 1;
      ++at;
    } else if (same_text(argument, "-j")) {
      if (!read_workers(at + 1 < argc ? argv[at + 1] : nullptr, &options->settings.workers)) return OPTIONS_BAD_WORKERS;
      at += 2;
    } else if (argument[0] == '-' && argument[1] == 'j' && all_digits(argument + 2)) {
      if (!read_workers(argument + 2, &options->settings.workers)) return OPTIONS_BAD_WORKERS;
      ++at;
    } else {
      // Any other name that begins with a dash is the target, as "-junk.htm",
      // when there is such a file; otherwise it is an option mistyped.
      if (argument[0] == '-' && !names(argument)) {
        options->target = at;
        options->unknown = argument;
        return OPTIONS_UNKNOWN;
      }
      break;
    }
  }
  options->target = at < argc ? at : argc;
  // A shell expands an unquoted wildcard into many arguments; stripping
  // only the first of them would look like success.
  if (at + 1 < argc) return OPTIONS_SECOND_TARGET;
  return OPTIONS_RUN;
}

static const char options_text[] =
    "options, before the target:" LINE_END "  --http     strip only files that begin with an HTTP status line" LINE_END
    "  -j N       strip N files at once in a tree or pattern run, 0 to 16; 0: one per core" LINE_END
    "  -n         report what a run would do, and change nothing (--dry-run)" LINE_END
    "  -x         skip directories on other file systems than the target's (--one-file-system)" LINE_END
    "  --help     print this text" LINE_END "  --version  print the name and the version" LINE_END
    "  --         end the options: what follows is the target" LINE_END "see the manual page bodycut(1)" LINE_END;

// The argument as reports show names, in slices, since it may be longer
// than any path.
static void write_argument_error(const char* argument) {
  enum { SLICE = 256 };
  char slice[SLICE];
  char shown[SLICE * REPORT_EXPANSION];
  while (*argument != '\0') {
    unsigned length = 0;
    for (; length + 1 < SLICE && argument[length] != '\0'; ++length) slice[length] = argument[length];
    slice[length] = '\0';
    argument += length;
    report_name(slice, shown);
    write_error(shown);
  }
}

int answer_options(OptionsOutcome outcome, const Options* options) {
  int status = 1;
  switch (outcome) {
    case OPTIONS_HELP:
      write_console(usage_text);
      write_console(options_text);
      status = 0;
      break;
    case OPTIONS_VERSION:
      write_console("BODYCUT " BODYCUT_VERSION LINE_END);
      status = 0;
      break;
    // A refusal goes where a report that is sent elsewhere leaves it seen.
    case OPTIONS_BAD_WORKERS: write_error("bodycut: -j takes a number of workers from 0 to 16" LINE_END); break;
    case OPTIONS_SECOND_TARGET:
      write_error(
          "bodycut: one target only: quote a wildcard, as in bodycut '*.htm', so that the shell does not expand "
          "it" LINE_END);
      break;
    case OPTIONS_UNKNOWN:
      write_error("bodycut: unknown option '");
      write_argument_error(options->unknown);
      write_error("'" LINE_END
                  "Options are listed by bodycut --help; put -- before a target that begins with a dash" LINE_END);
      break;
    case OPTIONS_RUN: break;
  }
  return status;
}
