// The files a run has stripped, by identity, so that a file reached by a
// second name (a hard link, a symbolic link) is never stripped twice.
// Fixed size: no memory is taken beyond it.
#ifndef BODYCUT_STRIPPED_FILES_H
#define BODYCUT_STRIPPED_FILES_H

#include "../platform/platform.h"

#include <cstdint>

// Entries are kept in the order they came, so the memory a run touches
// grows with the files it met; the index over them is small and sparse.
enum { STRIPPED_FILES_SLOTS = 1 << 16, STRIPPED_FILES_LIMIT = STRIPPED_FILES_SLOTS / 4 * 3 };

enum FileState {
  FILE_UNSEEN = 1,   // its strip failed (or it is not in the table): anyone may try it
  FILE_CLAIMED = 2,  // a worker is stripping it now
  FILE_STRIPPED = 3,
  FILE_NOT_AS_LEFT = 4,  // claim_file: stripped, but it is no longer as the run left it
  // Its copy back failed after writing: it holds part of its body, which a
  // second strip would cut again, and the whole body is kept elsewhere.
  FILE_HALF_WRITTEN = 5,
  SLOT_EMPTY = 0  // a slot no file has taken
};

struct StrippedFiles {
  unsigned count;
  unsigned limit;  // entries taken before it counts as full; tests lower it
  int shared;      // several workers use it: lock taken, claims made
  Lock lock;
  unsigned short index[STRIPPED_FILES_SLOTS];  // 0: free; else an entry's number + 1
  struct {
    FileIdentity identity;
    unsigned state;
    std::uint32_t left_as;  // FILE_STRIPPED: its size and last-write time as the run left it, folded
  } entries[STRIPPED_FILES_LIMIT];
};

// Empties the table; its limit leaves a quarter of the index free, so that
// every look-up ends soon.
void stripped_files_clear(StrippedFiles* files);
// The state of a file; FILE_UNSEEN for one the table does not hold. Where
// asked, *left_as: what it was left as (0 for one the table does not hold).
int stripped_files_state(const StrippedFiles* files, const FileIdentity* identity, std::uint32_t* left_as = nullptr);
int stripped_files_full(const StrippedFiles* files);
// Sets the state of a file, and what it was left as (FILE_STRIPPED; 0
// otherwise), adding it unless the table is full; 0 when it is not in the
// table afterwards.
int stripped_files_set(StrippedFiles* files, const FileIdentity* identity, int state, std::uint32_t left_as = 0);
// What a file's size and last-write time fold into.
std::uint32_t folded_facts(FileSize size, const FileStamp* written);

#endif
