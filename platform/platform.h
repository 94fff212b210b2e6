// The operating-system operations the tool uses, under their Win32 names.
// On Windows they are the real KERNEL32/USER32 calls; elsewhere the
// platform layer implements the same names, types and constants.
// Every platform difference the logic sees is one of the constants below.
#ifndef BODYCUT_PLATFORM_H
#define BODYCUT_PLATFORM_H

#if defined(_WIN32)
#include "win32/win32_api.h"
#else
#include "posix/win32_api.h"
#endif

// Writes the bytes of a NUL-terminated text to standard output, at once,
// unchanged, with no line end added.
void write_console(const char* text);
// The same, to standard error: for what a user must act on but a report
// reader must not see, such as a body kept in a temporary file.
void write_error(const char* text);

// Why a file or a directory was reported "error": in the tool's own words
// where it has them, else the system's message for its error number.
enum ReasonKind {
  REASON_NONE = 0,
  REASON_SYSTEM,          // the system's message for number
  REASON_NOT_REGULAR,     // a directory, a FIFO, a device: never opened
  REASON_LINK_OWNER,      // a link in a walk that another user owns: not followed
  REASON_IN_USE,          // another process has the file open, or opened it meanwhile
  REASON_NO_SPACE,        // the file system or the user's quota is full
  REASON_SIZE_LIMIT,      // the run's file size limit
  REASON_TOO_LONG,        // a path that does not fit
  REASON_STOPPED,         // a stop signal came while it was in hand
  REASON_NAME_NOT_PLAIN,  // its name would open another file, or leads elsewhere
  REASON_TIMES,           // not the owner: its times cannot be set, nor the file held alone
  // What the strip finds itself.
  REASON_NO_HEADER_END,
  REASON_BARE_LINE_FEED,   // a status line that ends in a bare LF: its header end cannot be told
  REASON_HTTP_INCOMPLETE,  // HTTP mode: a status line, but no whole header after it
  REASON_CHANGED,          // another file at its path, or changed since it was read
  REASON_TOO_MANY_NAMES    // met under several names, and the run can remember no more
};
struct Reason {
  int kind;       // one of the above
  int number;     // REASON_SYSTEM: the system's error number
  int temporary;  // it befell the temporary file
};
// Why the calling thread's last failed operation failed.
Reason last_failure_reason(void);
// The system's message for an error number, NUL-terminated, in at most
// size bytes.
void describe_system_error(int number, char* out, unsigned size);
// Writes a line that says why a file was reported "error" to standard
// error, at once, where the build gives such lines; the Windows build's
// console output has none, and a run whose report failed writes no more.
void write_reason_line(const char* line);

// Puts a name (a path, a temporary file's name) into out as the report
// gives it, NUL-terminated, and gives its length. out holds REPORT_EXPANSION
// bytes for each byte of name, its NUL included. Where a name can hold any
// byte, a line break or another control byte in it cannot reach the
// report: such bytes are written escaped, in a form that tells every two
// names apart; elsewhere the name is copied unchanged.
unsigned report_name(const char* name, char* out);

// Whether the run was asked to stop (a stop signal, Ctrl-C): no new file is
// begun, and work that can be thrown away is.
bool stop_requested(void);

// Copies everything from from's current position to its end (its size when
// the copy begins) to to's current position, by the fastest means the
// system has. FALSE when it fails or copies fewer bytes: the target may then
// hold any part of them. A copy into a temporary file that has no name yet,
// or held nothing, is given up once a stop is asked for
// (ERROR_OPERATION_ABORTED); a copy over a file's own bytes is finished.
BOOL copy_rest_of_file(HANDLE from, HANDLE to);

// Reads file up to and including the next byte of that value, as one-byte
// ReadFile calls would, leaving the position just past it: TRUE then; FALSE
// on a read error or when the file ends first. The bytes passed over are
// not looked at otherwise, so a platform may pass over them in bulk.
BOOL read_through_byte(HANDLE file, unsigned char wanted);

// Gives a temporary file made with CREATE_ALWAYS the name GetTempFileNameA
// chose, once it holds a whole body. Where the system can keep a file
// without a name, it has none until then, so a run killed midway leaves no
// partial file behind, and a name that another file took meanwhile is
// drawn anew, a few times over, and written back to name; elsewhere the
// file has had its name all along (TEMPORARY_NAME_MAKES_FILE). TRUE: the
// file at name is this run's own. FALSE (ERROR_OPERATION_ABORTED) once a
// stop is asked for: the strip is given up before the copy back.
BOOL name_temporary_file(HANDLE temporary, LPSTR name);

// A hold on the very file that file has open, through which its
// attributes are changed and the copy back opens it, also once file is
// closed; it keeps no one from opening the file. Where the system changes
// attributes and opens files by path alone, *held is INVALID_HANDLE_VALUE
// and the path is used. Ended by release_file_hold, whatever it holds.
BOOL hold_file(HANDLE file, HANDLE* held);
void release_file_hold(HANDLE held);
// Sets the attributes of the held file: FILE_ATTRIBUTE_NORMAL makes it
// writable; the attribute word read from the file puts its mode back as
// it was held.
BOOL set_file_attributes(HANDLE held, LPCSTR path, DWORD attributes);
// Opens for reading, as CreateFileA with read sharing does, the file a
// handle opened with no access (a query of what path names) was opened on.
// Where that handle holds the file itself, that very file is opened, and
// the query handle is left with nothing but to be closed; elsewhere path
// is opened again, and the caller checks that it is the same file.
HANDLE open_queried_file(HANDLE query, LPCSTR path);
// Opens the held file for the copy back, for reading and writing, as
// CreateFileA with no sharing does: refused while any other process has
// the file open, and nobody else can open it until the handle is closed.
// Where the hold is on the file itself, that very file is opened, however
// its names changed meanwhile; elsewhere path is opened, and the caller
// checks that it is the file that was read.
HANDLE open_held_file(HANDLE held, LPCSTR path);
// Whether the file's times can be put back, known before a byte is written
// to it: where the system tells it from the file's owner, no call is made;
// elsewhere the times are set to these. FALSE, with the error, when not.
BOOL file_times_settable(HANDLE file, const FILETIME* creation, const FILETIME* last_access,
                         const FILETIME* last_write);
// Where the system drops bits of a file's mode when the file is written
// (set-user-ID, set-group-ID), puts back the mode that the held file was
// last given: called after the last write.
BOOL put_back_mode(HANDLE held);

// The walk's directory search: FindFirstFileA and FindNextFileA, except
// that where the system lists names in wide characters, a name the ANSI
// code page does not hold exactly comes with '?' in place of each
// character it would bend, rather than bent into another file's name or a
// separator. Both fail with ERROR_OPERATION_ABORTED once a stop was asked
// for. The handle is closed with FindClose.
HANDLE find_first_entry(LPCSTR pattern, WIN32_FIND_DATAA* found);
BOOL find_next_entry(HANDLE search, WIN32_FIND_DATAA* found);

// Whether an entry the search found may be opened under its name: FALSE
// when the name cannot be what the disk holds, when the system would open
// another file under it, or when the entry leads elsewhere and the
// platform does not follow it.
BOOL found_entry_is_plain(const WIN32_FIND_DATAA* found);

// Whether the bytes from first up to last, inside the text GetCommandLineA
// gives, are what was typed, and not characters the code page bent.
BOOL command_line_holds_exactly(LPCSTR first, LPCSTR last);

#endif
