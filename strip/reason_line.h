// The line on standard error that says why a file or a directory was
// reported "error": "bodycut: PATH: REASON", PATH as the report gives it.
#ifndef BODYCUT_REASON_LINE_H
#define BODYCUT_REASON_LINE_H

#include "../platform/platform.h"

// A reason the tool names itself, with no system error behind it.
inline Reason own_reason(int kind) {
  Reason reason = {kind, 0, 0};
  return reason;
}

// Writes the line for path in one write, so that lines from several
// workers do not mix. Every reason line of a run is written here. rest,
// when given, is the end of a path too long for one buffer: it follows
// path in the line.
void report_reason(const char* path, Reason reason, const char* rest = nullptr);

#endif
