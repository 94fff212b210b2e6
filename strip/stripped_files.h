// The files a run has stripped, by identity, so that a file reached by a
// second name (a hard link, a symbolic link) is never stripped twice.
// Fixed size: no memory is taken beyond it.
#ifndef BODYCUT_STRIPPED_FILES_H
#define BODYCUT_STRIPPED_FILES_H

#include "../platform/platform.h"

enum { STRIPPED_FILES_SLOTS = 1 << 16 };

struct FileIdentity {
  DWORD volume;
  DWORD index_high;
  DWORD index_low;
};

struct StrippedFiles {
  unsigned count;
  unsigned limit;  // entries taken before it counts as full; tests lower it
  struct {
    FileIdentity identity;
    DWORD used;
  } slots[STRIPPED_FILES_SLOTS];
};

// Empties the table; its limit leaves a quarter of the slots free, so that
// every look-up ends soon.
void stripped_files_clear(StrippedFiles* files);
FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION* information);
int stripped_files_contain(const StrippedFiles* files, const FileIdentity* identity);
int stripped_files_full(const StrippedFiles* files);
// Adds identity unless the table is full or holds it already.
void stripped_files_add(StrippedFiles* files, const FileIdentity* identity);

#endif
