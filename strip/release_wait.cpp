#include "release_wait.h"

enum { PAUSE_MILLISECONDS = 10, MAXIMUM_PAUSES = 1000 };

void wait_until_released(const char* path, const WalkRoot* root) {
  // The first pause lets a run that was only reading the file go on to
  // take it for its copy back, so that it is waited out too.
  // A stop asked for meanwhile ends the wait: the retry then gives up.
  int held = 1;
  for (unsigned pause = 0; held && pause < MAXIMUM_PAUSES && !stop_requested(); ++pause) {
    pause_for(PAUSE_MILLISECONDS);
    SourceFile file;
    held = open_source(root, path, &file).kind == REASON_IN_USE;
    close_source(&file);
  }
}
