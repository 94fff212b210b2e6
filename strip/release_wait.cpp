#include "release_wait.h"

enum { PAUSE_MILLISECONDS = 10, MAXIMUM_PAUSES = 1000, WRITER_PAUSES = 20 };

// Whether another process holds the file: its open is refused (another
// run's copy back), or its first read is (a writer has it open). A run
// whose copy back ends lets its lease go a moment before its file, so a
// writer is waited for only a little: one that keeps the file open is
// no run of ours.
static bool held(const char* path, const WalkRoot* root, unsigned* writer_looks) {
  SourceFile file;
  char byte;
  unsigned got = 0;
  Reason why = open_source(root, path, &file);
  bool refused = why.kind == REASON_IN_USE;
  if (!failed(why)) why = read_source(&file, 0, &byte, 1, &got);
  close_source(&file);
  return refused || (why.kind == REASON_IN_USE && ++*writer_looks < WRITER_PAUSES);
}

void wait_until_released(const char* path, const WalkRoot* root) {
  // The first pause lets a run that was only reading the file go on to
  // take it for its copy back, so that it is waited out too.
  // A stop asked for meanwhile ends the wait: the retry then gives up.
  unsigned writer_looks = 0;
  bool holding = true;
  for (unsigned pause = 0; holding && pause < MAXIMUM_PAUSES && !stop_requested(); ++pause) {
    pause_for(PAUSE_MILLISECONDS);
    holding = held(path, root, &writer_looks);
  }
}
