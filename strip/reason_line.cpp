#include "reason_line.h"

// The tool's own words; nullptr where the system's message is given.
static const char* reason_text(int kind) {
  switch (kind) {
    case REASON_NOT_REGULAR: return "not a regular file";
    case REASON_LINK_OWNER: return "link owned by another user";
    case REASON_IN_USE:
    case REASON_LEASE_LOST: return "open in another process";
    case REASON_NO_SPACE: return "no space";
    case REASON_SIZE_LIMIT: return "over the file size limit";
    case REASON_TOO_LONG: return "path too long";
    case REASON_STOPPED: return "stopped by a signal";
    case REASON_NAME_NOT_PLAIN: return "its name would open another file";
    case REASON_NO_HEADER_END: return "no header end";
    case REASON_BARE_LINE_FEED: return "status line ends in a bare LF; strip it with --http";
    case REASON_HTTP_INCOMPLETE: return "incomplete HTTP header";
    case REASON_CHANGED: return "changed while being stripped";
    case REASON_TIMES: return "times cannot be set: not the owner";
    case REASON_TOO_MANY_NAMES: return "too many files with several names to keep track of";
    case REASON_OTHER_FILE_SYSTEM: return "on another file system";
    case REASON_TOO_DEEP: return "nested too deep for the run's stack";
    case REASON_HALF_WRITTEN: return "its copy back failed under another name";
    default: return nullptr;
  }
}

static unsigned append(char* line, unsigned length, const char* text) {
  for (; *text != '\0'; ++text) line[length++] = *text;
  return length;
}

void report_reason(const char* path, Reason reason, const char* rest) {
  enum { MESSAGE_CAPACITY = 128 };
  char line[(PATH_CAPACITY + ENTRY_NAME_CAPACITY) * REPORT_EXPANSION + MESSAGE_CAPACITY + 64];
  unsigned length = append(line, 0, "bodycut: ");
  length += report_name(path, line + length);
  if (rest != nullptr) length += report_name(rest, line + length);
  length = append(line, length, ": ");
  // A stop befalls the whole file, whichever step it met.
  if (reason.temporary && reason.kind != REASON_STOPPED) length = append(line, length, "temporary file: ");
  const char* text = reason_text(reason.kind);
  if (text != nullptr) {
    length = append(line, length, text);
  } else {
    describe_system_error(reason.number, line + length, MESSAGE_CAPACITY);
    while (line[length] != '\0') ++length;
  }
  length = append(line, length, LINE_END);
  line[length] = '\0';
  write_reason_line(line);
}

// One line on standard error, in one write, so that lines from several
// workers do not mix: before, a name, after, a second name if any, and a
// tail. Names go in as the report shows them.
static void write_error_line(const char* before, const char* name, const char* after, const char* second_name,
                             const char* tail) {
  char line[2 * PATH_CAPACITY * REPORT_EXPANSION + 160];
  unsigned length = append(line, 0, before);
  length += report_name(name, line + length);
  length = append(line, length, after);
  if (second_name != nullptr) length += report_name(second_name, line + length);
  length = append(line, length, tail);
  length = append(line, length, LINE_END);
  line[length] = '\0';
  write_error(line);
}

void report_kept_body(const char* path, const char* body_name, int let_go) {
  if (body_name == nullptr)
    write_error_line("", path, " : not stripped whole; its body could not be kept", nullptr, "");
  else
    write_error_line("", path, " : not stripped whole; its whole body is kept in ", body_name,
                     let_go ? "; the file may hold bytes from another writer" : "");
}

void report_left_undone(const char* path, const char* what) { write_error_line("bodycut: ", path, what, nullptr, ""); }
