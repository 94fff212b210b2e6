// Removes the header block, every byte up to and including the first
// CR LF CR LF the scan matches, from one file in place, keeping its times.
// In HTTP mode the HTTP scan decides, interim blocks included.
#ifndef BODYCUT_STRIP_FILE_H
#define BODYCUT_STRIP_FILE_H

#include "reason_line.h"
#include "run.h"

enum {
  STRIP_NO_LINE = -1,  // not begun, or a body file in the temporary directory: left alone, no line written
  STRIP_OK = 0,        // stripped; nothing written
  STRIP_FAILED = 1,    // not stripped; "error" and a line end written
  STRIP_SKIPPED = 2    // HTTP mode: no status line, left untouched; "skipped" and a line end written
};

// What became of a file, and for STRIP_FAILED why.
struct StripResult {
  int outcome;  // one of the results above
  Reason why;
};

// A single-file run: one of the results above. A file not stripped for an
// error also gets its reason line.
int strip_file(const char* path, const RunSettings* settings);

// What a report line says of a result: "ok", "error" or "skipped", with
// the line's end.
const char* strip_result_text(int result);

// The same for a file a walk found, but no report or reason line is
// written: the walker reports. run->stripped holds the files this run
// stripped: one of them met again under another name is not read again
// and counts as stripped. reached_through_link tells that path is a
// symbolic link. body: the worker's body file (begun with
// begin_body_file), which serves its strips one after another.
StripResult strip_found_file(const char* path, const Run* run, BodyFile* body, int reached_through_link);
// Whether a walk leaves a file alone, unread and with no line: a body file
// in the temporary directory, which may hold the only whole copy of a body.
// A file that may be one is left alone too, and *unknown says why it could
// not be told: it gets its line.
bool is_left_alone(const char* path, const Run* run, Reason* unknown);
// Ends a worker's body file, and says so when its file could not be deleted.
void finish_body_file(BodyFile* body);

#endif
