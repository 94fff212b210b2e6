// Shared by the Windows implementation of the platform operations.
#ifndef BODYCUT_WIN32_INTERNAL_H
#define BODYCUT_WIN32_INTERNAL_H

#include "../platform.h"

// Ctrl-C and Ctrl-Break ask the run to stop rather than end the process
// halfway through a file: the file in hand is finished or given up whole,
// and the walk ends before its next entry.
void catch_console_stop(void);

#endif
