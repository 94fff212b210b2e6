// The operating system as the tool uses it, in the tool's own words.
// Two implementations: platform/win32 with the Win32 calls, and
// platform/posix with descriptors. Each gives its constants and the
// structs the operations work on in its handles.h; the logic reads
// only the members the headers name.
#ifndef BODYCUT_PLATFORM_H
#define BODYCUT_PLATFORM_H

#if defined(_WIN32)
#include "win32/handles.h"
#else
#include "posix/handles.h"
#endif

#include "facts.h"
#include "files.h"
#include "reason.h"
#include "walk_directory.h"
#include "work.h"

// ---- The console.

// Writes the bytes of a NUL-terminated text to standard output, at once,
// unchanged, with no line end added. Where the build reports on standard
// error (POSIX), a run whose report cannot be written is asked to stop.
void write_console(const char* text);
// The same, to standard error: for what a user must act on but a report
// reader must not see, such as a body kept in a temporary file.
void write_error(const char* text);
// Writes a line that says why a file was reported "error" to standard
// error, at once, where the build gives such lines; the Windows build's
// console output has none, and a run whose report failed writes no more.
void write_reason_line(const char* line);
// The system's message for an error number, NUL-terminated, in at most
// size bytes.
void describe_system_error(int number, char* out, unsigned size);

// Puts a name (a path, a temporary file's name) into out as the report
// gives it, NUL-terminated, and gives its length. out holds REPORT_EXPANSION
// bytes for each byte of name, its NUL included. Where a name can hold any
// byte, a line break or another control byte in it cannot reach the
// report: such bytes are written escaped, in a form that tells every two
// names apart; elsewhere the name is copied unchanged.
unsigned report_name(const char* name, char* out);

// Whether the run was asked to stop (a stop signal, Ctrl-C): no new file is
// begun, and work that can be thrown away is. The one state a signal
// handler reaches.
bool stop_requested(void);

// ---- The command line and its target.

// The command-line text (GetCommandLineA): the program's name, then the
// arguments, quoted as the tokenizer reads them.
const char* command_line_text(void);
// Whether the bytes from first up to last, inside that text, are what was
// typed, and not characters the code page bent.
bool command_line_holds_exactly(const char* first, const char* last);
// The next character of a text in the code page (CharNextA): a double-byte
// character is never split.
const char* next_character(const char* position);

enum PathKind {
  PATH_NAMES_NOTHING,  // nothing there (GetFileAttributesA fails): a pattern, maybe
  PATH_DIRECTORY,
  PATH_OTHER  // a file, or anything but a directory
};
int path_kind(const char* path);

#endif
