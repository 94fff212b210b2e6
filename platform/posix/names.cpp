// Names on POSIX are the bytes the file system holds: no code page bends
// them, any byte but the slash and NUL may be in one, and a link is
// followed by the rules of the path resolution.
#include "posix_internal.h"

HANDLE find_first_entry(LPCSTR pattern, WIN32_FIND_DATAA* found) { return FindFirstFileA(pattern, found); }

BOOL find_next_entry(HANDLE search, WIN32_FIND_DATAA* found) { return FindNextFileA(search, found); }

BOOL found_entry_is_plain(const WIN32_FIND_DATAA*) { return TRUE; }

// The command line is formed from the arguments' own bytes.
BOOL command_line_holds_exactly(LPCSTR, LPCSTR) { return TRUE; }
