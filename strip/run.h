// What the strips of one run share, passed down from the driver: nothing
// of it is kept anywhere else.
#ifndef BODYCUT_RUN_H
#define BODYCUT_RUN_H

#include "../platform/platform.h"
#include "run_settings.h"
#include "stripped_files.h"

struct Run {
  const RunSettings* settings;
  // The files this run stripped, by identity; null in a single-file run.
  StrippedFiles* stripped;
  const TemporaryDirectory* temporary;
  // The walk's root, below which found paths are opened; null outside a walk.
  const WalkRoot* root;
};

#endif
