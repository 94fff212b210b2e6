// Walks a directory tree, or the matches of a wildcard pattern, stripping
// every file found and writing one report line per file.
#ifndef BODYCUT_WALK_TARGET_H
#define BODYCUT_WALK_TARGET_H

#include "work_queue.h"

enum {
  WALK_LISTED = 0,      // searched, whatever the outcome for each file
  WALK_NOT_LISTED = 1,  // the first search found nothing
  WALK_TOO_LONG = 2     // the target, or its search pattern, does not fit a path
};

// What a walk keeps beyond its stack: too large for one. The driver holds
// it and passes it in.
struct WalkMemory {
  StrippedFiles stripped;
  WorkQueue queue;
};

// is_pattern: path is itself the search pattern; else path names a
// directory, whose whole tree is walked. For WALK_NOT_LISTED, *why tells
// why the first search found nothing.
int walk_target(const char* path, int is_pattern, const RunSettings* settings, WalkMemory* memory, Reason* why);

#endif
