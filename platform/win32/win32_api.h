// On Windows the operations are the system's own KERNEL32 and USER32 calls.
#ifndef BODYCUT_WIN32_API_H
#define BODYCUT_WIN32_API_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// Buffers that hold a path hold this many bytes, the NUL included.
#define PATH_CAPACITY MAX_PATH
#define PATH_SEPARATOR '\\'
#define LINE_END "\r\n"
// Names hold no control bytes: the report gives them unchanged.
#define REPORT_EXPANSION 1

// A folder a volume is mounted on is a reparse point, which the walk never
// enters; the Windows build has no option to ask for this anyway.
inline int found_on_other_file_system(const WIN32_FIND_DATAA*) { return 0; }

// GetTempFileNameA makes the file: it is the run's from then on.
#define TEMPORARY_NAME_MAKES_FILE 1
// The console shows a file's path while the file is stripped; its
// outcome follows.
#define WHOLE_REPORT_LINES 0

// The system takes a forward slash for a backslash, so a path typed with
// one must split where the system splits it.
inline int is_path_separator(char c) { return c == '\\' || c == '/'; }

// A drive prefix "X:" belongs to the directory part of a path: the name in
// "C:x.htm" starts after the colon.
inline unsigned drive_prefix_length(const char* path) {
  char c = path[0];
  return ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && path[1] == ':' ? 2u : 0u;
}

#endif
