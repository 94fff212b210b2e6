// The one place a line of a tree or pattern run's report is made: the
// path as the report gives it, " : ", then the outcome.
#ifndef BODYCUT_REPORT_LINE_H
#define BODYCUT_REPORT_LINE_H

#include "../strip/strip_file.h"

// Writes path, rest if any (the name of a path too long to be held
// whole), " : " and outcome (which carries its line end, or is empty
// where the outcome follows in a write of its own) in one write, so that
// no other output cuts into it.
void write_report_line(const char* path, const char* outcome, const char* rest = nullptr);

// The line of a file's result, and its reason line when it failed: the
// whole line when whole, else the outcome alone, its path written before.
void report_outcome(const char* path, StripResult result, int whole);

#endif
