// The console writer, the reasons of the system's errors, and the command
// line. Console output goes through WriteConsoleA; when standard output is
// a file or a pipe, WriteConsoleA writes nothing, so the same bytes go
// through WriteFile instead.
#include "win32_internal.h"

// False only when a handle that is there took not all of text: a process
// started with no standard handle writes nowhere, as it was asked to.
static bool write_to(DWORD which, const char* text) {
  HANDLE out = GetStdHandle(which);
  DWORD length = (DWORD)lstrlenA(text);
  DWORD mode = 0;
  DWORD written = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return true;
  // A console's count of what it showed is not relied on: only its
  // failure counts, so that no console quirk stops a run.
  if (GetConsoleMode(out, &mode)) return WriteConsoleA(out, text, length, &written, nullptr) != FALSE;
  // A pipe that takes part of the text, or none for now, is written to
  // again, as a full one that blocks would be waited for.
  while (length > 0) {
    if (!WriteFile(out, text, length, &written, nullptr) || written > length) return false;
    if (written == 0) Sleep(1);
    text += written;
    length -= written;
  }
  return true;
}

Reason last_error_reason(void) {
  DWORD error = GetLastError();
  int kind = error == ERROR_SHARING_VIOLATION                              ? REASON_IN_USE
             : error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? REASON_NO_SPACE
             : error == ERROR_FILENAME_EXCED_RANGE                         ? REASON_TOO_LONG
             : error == ERROR_OPERATION_ABORTED                            ? REASON_STOPPED
                                                                           : REASON_SYSTEM;
  Reason reason = {kind, kind == REASON_SYSTEM ? (int)error : 0, 0};
  return reason;
}

// What standard output took of the report's current line: a line goes out
// in parts, its path before its file is stripped and the outcome after,
// and standard error, once it takes the report, must get the line whole.
// Only the walk's thread writes the report.
static char line_begun[PATH_CAPACITY + 8];

static void note_line_part(const char* text) {
  int begun = lstrlenA(line_begun);
  int length = lstrlenA(text);
  bool ends_line = length > 0 && text[length - 1] == '\n';
  if (ends_line || begun + length >= (int)sizeof line_begun) begun = length = 0;
  for (int i = 0; i < length; ++i) line_begun[begun + i] = text[i];
  line_begun[begun + length] = '\0';
}

// A report that cannot be written (a full disk, a pipe whose reader went
// away) stops the run as Ctrl-C does: nothing more is begun that it could
// not tell of. Standard error says so, once, and takes the rest of the
// report, from the start of the line that failed, so that a file done is
// still told.
void write_console(const char* text) {
  if (!report_write_failed() && write_to(STD_OUTPUT_HANDLE, text)) {
    note_line_part(text);
    return;
  }
  if (first_report_failure()) {
    write_to(STD_ERROR_HANDLE, "BODYCUT: standard output cannot be written\r\n");
    write_to(STD_ERROR_HANDLE, line_begun);
  }
  write_to(STD_ERROR_HANDLE, text);
}

void write_error(const char* text) { write_to(STD_ERROR_HANDLE, text); }

unsigned report_name(const char* name, char* out) {
  unsigned length = 0;
  for (; name[length] != '\0'; ++length) out[length] = name[length];
  out[length] = '\0';
  return length;
}

// The console output of the Windows build is the report alone: no line
// says why a file was reported "error", so no message is looked up.
void describe_system_error(int, char* out, unsigned size) {
  if (size > 0) out[0] = '\0';
}

void write_reason_line(const char*) {}

const char* command_line_text(void) { return GetCommandLineA(); }

const char* next_character(const char* position) { return CharNextA(position); }

int path_kind(const char* path) {
  DWORD attributes = SYSTEM_CALL(GetFileAttributesA, INVALID_FILE_ATTRIBUTES, path);
  return attributes == INVALID_FILE_ATTRIBUTES          ? PATH_NAMES_NOTHING
         : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PATH_DIRECTORY
                                                        : PATH_OTHER;
}

#if BODYCUT_FAULT_INJECTION
// The Windows platform keeps nothing from one run for the next.
void fault_new_run(void) {}
#endif
