// The header scan for HTTP mode: a file is stripped only when it begins
// with an HTTP status line, and interim (1xx) responses saved ahead of the
// final one are removed with it. Reads one byte at a time with no
// look-ahead, like the plain scan, so the file position after a match is
// exactly the start of the body.
#ifndef BODYCUT_HTTP_SCAN_H
#define BODYCUT_HTTP_SCAN_H

#include "../platform/platform.h"

enum {
  HTTP_SCAN_BODY = 0,     // the body starts at the file position
  HTTP_SCAN_SKIPPED = 1,  // the file does not begin with a status line
  HTTP_SCAN_ERROR = 2     // a read failed, a header never ends, or an interim block is not followed by a status line
};

// A status line is "HTTP/" and a version (1.0, 1.1, 2 or 3), one blank and
// three digits, then CR LF or a blank, a reason phrase of any bytes but CR
// and LF, and CR LF. Its CR LF counts towards the CR LF CR LF that ends the
// header. After a 1xx header the next block must be a status line too.
int scan_http_header(HANDLE source);

#endif
