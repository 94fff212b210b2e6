// The program's entry: reads the target from the command line, strips a
// single file or walks a tree target, and gives the exit status.
#ifndef BODYCUT_DRIVER_H
#define BODYCUT_DRIVER_H

#include "../strip/run_settings.h"

int bodycut_main(const RunSettings* settings);

// What a run without a target prints: two lines, the first "BODYCUT : ".
extern const char usage_text[];

#endif
