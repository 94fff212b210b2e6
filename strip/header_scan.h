// The header scan: no look-ahead, so the reader's offset after a match is
// exactly the start of the body.
#ifndef BODYCUT_HEADER_SCAN_H
#define BODYCUT_HEADER_SCAN_H

#include "source_reader.h"

// Reads up to and including the first CR LF CR LF. BYTE_READ at the
// body's start; BYTE_END when the file ends first; BYTE_FAILED on a read
// error.
int scan_header(SourceReader* reader);

// The scan of a run without HTTP mode: scan_header's rule from the file's
// start, but a file whose first line is an HTTP status line ending in a
// bare LF has no header end. Its header lines end the same way, so the
// first CR LF CR LF would lie inside its body: *bare_line_feed is then set,
// and BYTE_END given.
int scan_default_header(SourceReader* reader, int* bare_line_feed);

#endif
