// The header scan for HTTP mode: a file is stripped only when it begins
// with an HTTP status line, and the blocks of responses that a client
// saves ahead of the final one are removed with it. Reads one byte at a
// time, so the reader's offset after a match is exactly the start of the
// body; where it had to read past a block to tell what follows, it steps
// back.
#ifndef BODYCUT_HTTP_SCAN_H
#define BODYCUT_HTTP_SCAN_H

#include "source_reader.h"

enum {
  HTTP_SCAN_BODY = 0,     // the body starts at the file position
  HTTP_SCAN_SKIPPED = 1,  // the file does not begin with a status line
  HTTP_SCAN_ERROR = 2     // a read failed, a header never ends, or an interim block is not followed by a status line
};

// A block is a status line (status_line.h) and field lines, each ending in
// LF with or without a CR before it, up to the first empty line. The next
// block is removed too when the bytes after one begin with a status line
// and the one removed is a block after which clients write no body: a 1xx;
// a 3xx with Location; a 401 with WWW-Authenticate; a 407 with
// Proxy-Authenticate; a 2xx with neither Content-Length nor
// Transfer-Encoding (a tunnel's reply); any with Content-Length 0. Field
// names are matched in any case. Any other block is the response, and what
// follows it is the body. A 1xx must be followed by a status line.
int scan_http_header(SourceReader* reader);

#endif
