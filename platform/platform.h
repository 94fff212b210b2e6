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

#endif
