// What a run is asked to do besides its target. The Windows build always
// runs with the defaults; the POSIX build takes them from its options.
#ifndef BODYCUT_RUN_SETTINGS_H
#define BODYCUT_RUN_SETTINGS_H

// Workers a run may ask for: each holds a file open with its read buffer,
// and the run's memory must stay small at any worker count.
enum { MAX_WORKERS = 16 };

struct RunSettings {
  int http_only;        // strip only files that begin with an HTTP status line
  unsigned workers;     // files stripped at once in a tree or pattern run; 0: one per core
  int dry_run;          // stop before the first write, reporting what a real run would
  int one_file_system;  // never enter a directory on another file system than the target's
  // 0: a walk goes as deep as a path allows; else the levels below the
  // target it enters at most, as many as the stack it runs on holds.
  unsigned deepest_level;
};

// One worker, every file whose header ends.
inline RunSettings default_run_settings(void) {
  RunSettings settings = {0, 1, 0, 0, 0};
  return settings;
}

#endif
