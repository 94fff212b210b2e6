#include "walk_target.h"

#include "../strip/strip_file.h"
#include "path_helpers.h"

// The report line of an entry whose path, or whose search pattern, does not
// fit a path buffer: written from its parts, and nothing is done to it.
static void report_too_long(char* buffer, char* name_at, const char* name) {
  *name_at = '\0';
  write_console(buffer);
  write_console(name);
  write_console(" : error" LINE_END);
}

// The path and " : " go out in one write: the line's start costs one
// system call, not two.
static void report_file(const char* path, const RunSettings* settings) {
  static const char separator[] = " : ";
  char line[PATH_CAPACITY + sizeof separator];
  unsigned length = 0;
  for (; path[length] != '\0'; ++length) line[length] = path[length];
  for (unsigned i = 0; i < sizeof separator; ++i) line[length + i] = separator[i];
  write_console(line);
  if (strip_file(path, settings) == 0) write_console("ok" LINE_END);
}

// Copies name over the buffer from name_at on; 0 when it does not fit.
static int place_name(char* buffer, char* name_at, const char* name) {
  char* end = buffer + PATH_CAPACITY - 1;
  char* at = name_at;
  for (; *name != '\0'; ++name) {
    if (at >= end) return 0;
    *at++ = *name;
  }
  *at = '\0';
  return 1;
}

int walk_target(const char* path, DWORD attributes, const RunSettings* settings) {
  char buffer[PATH_CAPACITY];
  WIN32_FIND_DATAA found;

  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (!join_path(buffer, sizeof buffer, "", path)) return WALK_NOT_LISTED;
  } else if (!join_path(buffer, sizeof buffer, path, "*.*")) {
    return WALK_TOO_LONG;
  }
  HANDLE search = FindFirstFileA(buffer, &found);
  if (search == INVALID_HANDLE_VALUE) return WALK_NOT_LISTED;
  // Found names hold no separator, so the final component stays put.
  char* name_at = final_component(buffer);
  do {
    DWORD entry = found.dwFileAttributes;
    int is_directory = (entry & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // Dot directories are never entered, and neither are links to
    // directories, so no cycle of links can form.
    if (is_directory && (found.cFileName[0] == '.' || (entry & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) continue;
    if (!place_name(buffer, name_at, found.cFileName)) {
      report_too_long(buffer, name_at, found.cFileName);
    } else if (is_directory) {
      if (walk_target(buffer, entry, settings) == WALK_TOO_LONG) report_too_long(buffer, name_at, found.cFileName);
    } else {
      report_file(buffer, settings);
    }
  } while (FindNextFileA(search, &found) == TRUE);
  FindClose(search);
  return WALK_LISTED;
}
