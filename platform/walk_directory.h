// The directories a tree or pattern run lists. A search lists the
// entries of one directory whose names match a wildcard pattern; the walk
// root is the directory of the run's first search, and every path found
// below it is opened beneath it (open_source), not resolved afresh.
#ifndef BODYCUT_WALK_DIRECTORY_H
#define BODYCUT_WALK_DIRECTORY_H

#include "reason.h"

struct WalkEntry {
  char name[ENTRY_NAME_CAPACITY];
  int directory;  // a directory, "." and ".." included
  int link;       // a symbolic link or another reparse point
  // Whether it may be opened under its name: 0 when the name cannot be
  // what the disk holds, when the system would open another file under
  // it, or when the entry leads elsewhere and the platform does not
  // follow it. Its line says so, and nothing is opened.
  int plain;
};

// Whether an entry found under this name, a link or not, may be opened
// under it: what WalkEntry.plain tells.
int entry_name_is_plain(const char* name, int link);

enum ListOutcome {
  LISTED_ENTRY,  // *entry holds the next entry
  LISTED_ALL,    // no more entries; or a stop was asked for: nothing more is listed
  LIST_FAILED    // the listing broke off, or (first_entry) nothing matched: *why tells
};

// Opens the root of a walk whose first search is pattern (the part
// before its last separator; "" for the current directory), followed as
// given. one_file_system: nothing below it is opened on another file
// system, nor through another mount (REASON_OTHER_FILE_SYSTEM), whatever
// is moved meanwhile. Windows keeps no root: nothing is called.
Reason open_walk_root(const char* pattern, int one_file_system, WalkRoot* root);
void close_walk_root(WalkRoot* root);

// Begins a search of pattern, a path whose last component is a wildcard
// pattern ('*' any run of bytes, '?' any one byte, "*.*" every name), in
// the walk that root began (FindFirstFileA). Where the system lists names
// in wide characters, a name the ANSI code page does not hold exactly
// comes with '?' for each character it would bend. As FindFirstFileA,
// first_entry gives LIST_FAILED when nothing matches. end_search ends it
// whatever first_entry gave.
int first_entry(const WalkRoot* root, const char* pattern, WalkSearch* search, WalkEntry* entry, Reason* why);
int next_entry(WalkSearch* search, WalkEntry* entry, Reason* why);
// Whether an entry is on another file system, or another mount, than the
// directory searched: a mount point, or a file in one. Asked only by a
// run that stays on one file system (Windows: never).
int entry_on_other_file_system(WalkSearch* search, const WalkEntry* entry);
void end_search(WalkSearch* search);

#endif
