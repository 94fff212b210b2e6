// Walks a directory tree, or the matches of a wildcard pattern, stripping
// every file found and writing one report line per file.
#ifndef BODYCUT_WALK_TARGET_H
#define BODYCUT_WALK_TARGET_H

#include "../platform/platform.h"
#include "../strip/run_settings.h"

enum {
  WALK_LISTED = 0,      // searched, whatever the outcome for each file
  WALK_NOT_LISTED = 1,  // the first search found nothing
  WALK_TOO_LONG = 2     // the target, or its search pattern, does not fit a path
};

// attributes INVALID_FILE_ATTRIBUTES: path is itself the search pattern;
// any other value: path names a directory, whose whole tree is walked.
// For WALK_NOT_LISTED, *why tells why the first search found nothing.
int walk_target(const char* path, DWORD attributes, const RunSettings* settings, Reason* why);

#endif
