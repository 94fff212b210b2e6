// Removes the header block, every byte up to and including the first
// CR LF CR LF the scan matches, from one file in place, keeping its times.
#ifndef BODYCUT_STRIP_FILE_H
#define BODYCUT_STRIP_FILE_H

#include "run_settings.h"

// 0 when the file was stripped; 1, after writing "error" and a line end,
// when it was not.
int strip_file(const char* path, const RunSettings* settings);

#endif
