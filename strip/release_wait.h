// Waiting out another process that holds a file: another run copying its
// body back, which no one may open meanwhile.
#ifndef BODYCUT_RELEASE_WAIT_H
#define BODYCUT_RELEASE_WAIT_H

#include "../platform/platform.h"

// Returns once path can be opened and read, or cannot for any reason but
// another process holding it, or after about ten seconds: a copy back
// that takes longer is taken for a file that keeps changing. A writer
// that merely keeps the file open is waited for a fifth of a second.
// root: as for open_source.
void wait_until_released(const char* path, const WalkRoot* root);

#endif
