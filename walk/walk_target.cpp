#include "walk_target.h"

#include "../strip/strip_file.h"
#include "path_helpers.h"
#include "report_line.h"
#include "workers.h"

// The files this run stripped; too large for a stack, and one per run.
static StrippedFiles stripped;
// Whether workers strip the files, or the walk itself does.
static int with_workers = 0;

// Lines the walk writes itself come after those of every file before them.
static void report_line(const char* path, const char* outcome) {
  if (with_workers) finish_pending();
  // Where the platform writes lines whole, the line goes out in one write;
  // elsewhere the path and " : " first, and the outcome after them.
  write_report_line(path, WHOLE_REPORT_LINES ? outcome : "");
  if (!WHOLE_REPORT_LINES) write_console(outcome);
}

static void report_error(const char* path, Reason why) {
  report_line(path, "error" LINE_END);
  report_reason(path, why);
}

static void report_file(const char* path, const RunSettings* settings, int reached_through_link) {
  if (with_workers) {
    hand_to_workers(path, reached_through_link);
    return;
  }
  // A file met after a stop is not begun, and gets no line.
  if (stop_requested()) return;
  if (!WHOLE_REPORT_LINES) write_report_line(path, "");
  StripResult result = strip_found_file(path, settings, &stripped, reached_through_link);
  const char* outcome = strip_result_text(result.outcome);
  if (WHOLE_REPORT_LINES)
    write_report_line(path, outcome);
  else
    write_console(outcome);
  if (result.outcome == STRIP_FAILED) report_reason(path, result.why);
}

// Copies name over path from name_at on, within capacity; 0, with path
// ending at name_at, when it does not fit.
static int place_name(char* path, unsigned capacity, char* name_at, const char* name) {
  char* end = path + capacity - 1;
  char* at = name_at;
  for (; *name != '\0'; ++name) {
    if (at >= end) {
      *name_at = '\0';
      return 0;
    }
    *at++ = *name;
  }
  *at = '\0';
  return 1;
}

// The line of an entry whose whole path does not fit: written from its
// parts, and nothing is done to it.
static void report_unfit(char* path, char* name_at, const char* name) {
  if (with_workers) finish_pending();
  char shown[PATH_CAPACITY * REPORT_EXPANSION];
  *name_at = '\0';
  report_name(path, shown);
  write_console(shown);
  report_line(name, "error" LINE_END);
  report_reason(path, own_reason(REASON_TOO_LONG), name);
}

// The walk shares one path buffer across its levels: each level writes its
// entries' names after its own part, and a level below writes after those,
// so a level's stack does not grow with the path's capacity and the
// deepest tree a path allows can be walked. path holds length bytes: a
// directory, or, for INVALID_FILE_ATTRIBUTES, a search pattern.
static int walk_level(char* path, unsigned length, DWORD attributes, const RunSettings* settings, int depth) {
  WIN32_FIND_DATAA found;
  unsigned pattern_length = length;
  if (attributes != INVALID_FILE_ATTRIBUTES && !append_path(path, PATH_CAPACITY, &pattern_length, "*.*"))
    return WALK_TOO_LONG;
  HANDLE search = find_first_entry(path, &found);
  if (search == INVALID_HANDLE_VALUE) {
    path[length] = '\0';
    // A run asked to stop lists nothing more; that is no failure to report.
    return GetLastError() == ERROR_OPERATION_ABORTED ? WALK_LISTED : WALK_NOT_LISTED;
  }
  // Each name goes after the final component found here, whatever the name
  // holds: one that the platform does not take as plain is only reported.
  char* name_at = final_component(path);
  DWORD ended;
  do {
    DWORD entry = found.dwFileAttributes;
    int is_link = (entry & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    int is_directory = (entry & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // Another file system is left alone, but its mount point still gets a
    // line: no directory goes unprocessed without one.
    int elsewhere = settings->one_file_system && found_on_other_file_system(&found);
    // Dot directories are never entered, the directory itself and its
    // parent among them.
    if (is_directory && found.cFileName[0] == '.') continue;
    if (!found_entry_is_plain(&found)) {
      // Opening it would reach another file, or where it leads: its line
      // says so, and nothing is opened.
      if (place_name(path, PATH_CAPACITY, name_at, found.cFileName))
        report_error(path, own_reason(REASON_NAME_NOT_PLAIN));
      else
        report_unfit(path, name_at, found.cFileName);
    } else if (is_directory) {
      // Links to directories are not entered, so no cycle of links can form.
      if (is_link) continue;
      if (!place_name(path, PATH_CAPACITY, name_at, found.cFileName)) {
        report_unfit(path, name_at, found.cFileName);
        continue;
      }
      if (elsewhere) {
        report_line(path, "skipped" LINE_END);
        continue;
      }
      unsigned below = (unsigned)(name_at - path);
      while (path[below] != '\0') ++below;
      // A directory that cannot be listed is reported, not passed over.
      int listed = walk_level(path, below, entry, settings, depth + 1);
      if (listed != WALK_LISTED)
        report_error(path, listed == WALK_TOO_LONG ? own_reason(REASON_TOO_LONG) : last_failure_reason());
    } else if (!place_name(path, PATH_CAPACITY, name_at, found.cFileName)) {
      report_unfit(path, name_at, found.cFileName);
    } else if (elsewhere) {
      report_line(path, "skipped" LINE_END);
    } else {
      report_file(path, settings, is_link);
    }
  } while (find_next_entry(search, &found) == TRUE);
  ended = GetLastError();
  Reason why = last_failure_reason();
  // Paths below the walk's first search resolve from it: its files must all
  // be done before it closes.
  if (depth == 0 && with_workers) {
    stop_workers();
    with_workers = 0;
  }
  FindClose(search);
  // A listing that broke off leaves entries unreported: its directory is.
  if (ended != ERROR_NO_MORE_FILES && ended != ERROR_OPERATION_ABORTED) {
    *name_at = '\0';
    if (attributes != INVALID_FILE_ATTRIBUTES) path[length] = '\0';
    report_error(path[0] != '\0' ? path : ".", why);
  }
  path[length] = '\0';
  return WALK_LISTED;
}

int walk_target(const char* path, DWORD attributes, const RunSettings* settings, Reason* why) {
  char buffer[PATH_CAPACITY];
  unsigned length = 0;
  for (; path[length] != '\0'; ++length) {
    if (length + 1 >= sizeof buffer) return WALK_TOO_LONG;
    buffer[length] = path[length];
  }
  buffer[length] = '\0';
  stripped_files_clear(&stripped);
  with_workers = settings->workers != 1 && start_workers(settings, &stripped) > 0;
  int result = walk_level(buffer, length, attributes, settings, 0);
  *why = last_failure_reason();
  if (with_workers) stop_workers();
  with_workers = 0;
  return result;
}
