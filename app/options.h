// The options of the POSIX command line, read from the argument vector
// before the target is: what the run is asked to do, or what to answer
// instead of running.
#ifndef BODYCUT_OPTIONS_H
#define BODYCUT_OPTIONS_H

#include "../strip/run_settings.h"

enum OptionsOutcome {
  OPTIONS_RUN,            // run on the target with the settings
  OPTIONS_HELP,           // --help: the usage text and the options
  OPTIONS_VERSION,        // --version: the name and the version
  OPTIONS_BAD_WORKERS,    // -j without a number from 0 to MAX_WORKERS
  OPTIONS_SECOND_TARGET,  // a second argument after the target
  OPTIONS_UNKNOWN,        // a dashed argument that is no option and names nothing
};

struct Options {
  RunSettings settings;
  int target;  // index of the target in the vector; argc when there is none
  // OPTIONS_UNKNOWN: the argument taken for a mistyped option.
  const char* unknown;
};

// Whether a name is an existing file or directory, or a pattern that
// matches one.
typedef int (*NamesSomething)(const char* name);
int names_something(const char* name);

// Options come first and "--" ends them. An argument that begins with '-'
// and is no option is the target when it names something; otherwise it is
// a mistyped option, refused before anything is touched.
OptionsOutcome parse_options(int argc, const char* const* argv, Options* options, NamesSomething names);

// Writes the answer to an outcome other than OPTIONS_RUN; gives the exit
// status.
int answer_options(OptionsOutcome outcome, const Options* options);

#endif
