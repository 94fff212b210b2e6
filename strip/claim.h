// Taking a file for a strip in the table of files the run stripped, so
// that a file met under several names is stripped once, and by one worker.
#ifndef BODYCUT_CLAIM_H
#define BODYCUT_CLAIM_H

#include "stripped_files.h"

// FILE_STRIPPED: another name of it was stripped in this run, and found
// is the size and last-write time the run left it with (folded_facts).
// FILE_NOT_AS_LEFT: its identity is one the run stripped, but not so: a
// file made under a number the system gave again (where no birth time
// tells the two apart), or the stripped one changed since.
// FILE_HALF_WRITTEN: another name's copy back failed midway. FILE_CLAIMED:
// this strip may go on, and *recorded tells whether the table holds it.
// FILE_UNSEEN: it must be left alone, since it may be met again and the
// table has no room to remember it.
int claim_file(StrippedFiles* seen, const FileIdentity* identity, std::uint32_t found, int reachable_twice,
               int* recorded);

// Records the outcome of a claimed file: FILE_STRIPPED, and left as
// left_as folds; FILE_HALF_WRITTEN; or FILE_UNSEEN, free for another try.
void settle_file(StrippedFiles* seen, const FileIdentity* identity, int state, std::uint32_t left_as);

#endif
