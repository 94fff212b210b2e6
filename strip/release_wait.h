// Waiting out another process that holds a file: another run copying its
// body back, which no one may open meanwhile.
#ifndef BODYCUT_RELEASE_WAIT_H
#define BODYCUT_RELEASE_WAIT_H

// Returns once path can be opened for reading, or cannot for any reason
// but a sharing violation, or after about ten seconds: a copy back that
// takes longer is taken for a file that keeps changing.
void wait_until_released(const char* path);

#endif
