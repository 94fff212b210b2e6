// The header scan: byte by byte and no look-ahead, so the file position
// after a match is exactly the start of the body.
#ifndef BODYCUT_HEADER_SCAN_H
#define BODYCUT_HEADER_SCAN_H

#include "../platform/platform.h"

// Reads source up to and including the first CR LF CR LF. TRUE at the
// body's start; FALSE on a read error or when the file ends first.
BOOL scan_header(HANDLE source);

// The scan of a run without HTTP mode: scan_header's rule from the file's
// start, but a file whose first line is an HTTP status line ending in a
// bare LF has no header end. Its header lines end the same way, so the
// first CR LF CR LF would lie inside its body: *bare_line_feed is then set.
BOOL scan_default_header(HANDLE source, int* bare_line_feed);

#endif
