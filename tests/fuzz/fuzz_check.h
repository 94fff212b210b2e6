// A failed check in a fuzz target: say what, then abort so the fuzzer (or
// the replay) stops on the input.
#ifndef BODYCUT_FUZZ_CHECK_H
#define BODYCUT_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

#endif
