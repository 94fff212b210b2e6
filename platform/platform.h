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

// Whether the run was asked to stop: no new file is begun, and work that
// can be thrown away is. Never on Windows, where a stop ends the process.
bool stop_requested(void);

// Copies everything from from's current position to its end (its size when
// the copy begins) to to's current position, by the fastest means the
// system has. FALSE when it fails or copies fewer bytes: the target may then
// hold any part of them.
BOOL copy_rest_of_file(HANDLE from, HANDLE to);

// Reads file up to and including the next byte of that value, as one-byte
// ReadFile calls would, leaving the position just past it: TRUE then; FALSE
// on a read error or when the file ends first. The bytes passed over are
// not looked at otherwise, so a platform may pass over them in bulk.
BOOL read_through_byte(HANDLE file, unsigned char wanted);

// Gives a temporary file made with CREATE_ALWAYS the name GetTempFileNameA
// chose, once it holds a whole body. Where the system can keep a file
// without a name, it has none until then, so a run killed midway leaves no
// partial file behind; elsewhere it has had the name all along.
BOOL name_temporary_file(HANDLE temporary);

#endif
