// Taking a file for a strip in the table of files the run stripped, so
// that a file met under several names is stripped once, and by one worker.
#ifndef BODYCUT_CLAIM_H
#define BODYCUT_CLAIM_H

#include "stripped_files.h"

// FILE_STRIPPED: another name of it was stripped in this run.
// FILE_CLAIMED: this strip may go on, and *recorded tells whether the
// table holds it. FILE_UNSEEN: it must be left alone, since it may be met
// again and the table has no room to remember it.
int claim_file(StrippedFiles* seen, const FileIdentity* identity, int reachable_twice, int* recorded);

// Records the outcome of a claimed file: stripped, or free for another try.
void settle_file(StrippedFiles* seen, const FileIdentity* identity, int stripped);

#endif
