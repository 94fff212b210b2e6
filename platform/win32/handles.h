// The Windows build's constants, and what its handles hold. The logic
// reads only the members the platform headers name; the system's own
// types stay out of sight, behind integers of their size.
#ifndef BODYCUT_WIN32_HANDLES_H
#define BODYCUT_WIN32_HANDLES_H

#include "../facts.h"
#include "../reason.h"

#include <cstdint>

// Buffers that hold a path hold this many bytes, the NUL included (MAX_PATH).
#define PATH_CAPACITY 260
// A name a folder lists, its NUL included.
#define ENTRY_NAME_CAPACITY 260
#define PATH_SEPARATOR '\\'
#define LINE_END "\r\n"
// Names hold no control bytes: the report gives them unchanged.
#define REPORT_EXPANSION 1
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

typedef std::uintptr_t SystemHandle;  // a HANDLE

struct TemporaryDirectory {
  Reason failure;  // GetTempPathA's, given to every file that needs it
  char path[PATH_CAPACITY];
  // path as the system spells it back (full, short names, capitals),
  // ending in a separator; 0 long when that could not be had.
  char spelled[PATH_CAPACITY];
  unsigned spelled_length;
  int identified;  // identity holds the folder's volume and number
  FileIdentity identity;
};

struct SourceFile {
  FileFacts facts;
  int through_link;
  SystemHandle handle;     // INVALID_HANDLE_VALUE once closed
  int attributes_cleared;  // restore_protection sets them back
  SystemHandle query;      // find_source's, which reads no data
  FileSize position;       // where the handle reads next
};

struct BodyFile {
  char name[PATH_CAPACITY];
  SystemHandle handle;
  int named;        // the file at name is this run's
  FileSize length;  // bytes filled in
};

struct CopyBackTarget {
  FileFacts facts;
  SystemHandle handle;
};

struct WalkRoot {
  unsigned folder_length;  // of the first search's folder, its separator included
};

struct WalkSearch {
  SystemHandle handle;  // FindFirstFileA's, or FindFirstFileW's
  SystemHandle folder;  // the folder listed, held while it is listed
  // FindNextFileW, where the search was made wide; null: FindNextFileA.
  void (*find_next_wide)(void);
};

struct Lock {
  alignas(8) unsigned char opaque[64];  // a CRITICAL_SECTION
};

enum { MAX_WORKER_THREADS = 16 };
struct WorkerThreads {
  SystemHandle work;  // a semaphore
  SystemHandle done;  // an auto-reset event
  SystemHandle threads[MAX_WORKER_THREADS];
  unsigned count;
  void (*run)(void*);  // what each thread runs, with context
  void* context;
};

#endif
