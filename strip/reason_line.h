// The line on standard error that says why a file or a directory was
// reported "error": "bodycut: PATH: REASON", PATH as the report gives it.
#ifndef BODYCUT_REASON_LINE_H
#define BODYCUT_REASON_LINE_H

#include "../platform/platform.h"

// Writes the line for path in one write, so that lines from several
// workers do not mix. Every reason line of a run is written here. rest,
// when given, is the end of a path too long for one buffer: it follows
// path in the line.
void report_reason(const char* path, Reason reason, const char* rest = nullptr);

// Tells, as "bodycut: PATH: WHAT", what a strip could not tidy up and its
// result does not show.
void report_left_undone(const char* path, const char* what);

// Tells the user where the only whole copy of a file's body is; and, when
// the file was let go while it was written, that another writer may have
// written. A null body_name: no whole copy could be kept.
void report_kept_body(const char* path, const char* body_name, int let_go);

#endif
