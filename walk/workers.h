// The files of a walk stripped by several workers at once, and reported in
// the order the walk met them: the report is the one a single worker would
// write, byte for byte. Lines of files that finish early wait in a window
// of fixed size.
#ifndef BODYCUT_WORKERS_H
#define BODYCUT_WORKERS_H

#include "../platform/platform.h"
#include "../strip/run_settings.h"
#include "../strip/stripped_files.h"

// Starts the workers settings asks for (0: one per processor); gives how
// many started. With none, or one asked for, the walk strips files itself.
unsigned start_workers(const RunSettings* settings, StrippedFiles* seen);
// Hands a file to the workers; its line is written when its turn comes.
void hand_to_workers(const char* path, int reached_through_link);
// Waits for every file handed over and writes their lines.
void finish_pending(void);
// Finishes what is pending and ends the workers.
void stop_workers(void);

#endif
