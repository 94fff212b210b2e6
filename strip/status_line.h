// The status line that opens a saved HTTP response, matched one byte at a
// time as the file is read, so that its readers need no look-ahead.
#ifndef BODYCUT_STATUS_LINE_H
#define BODYCUT_STATUS_LINE_H

enum {
  IN_STATUS_LINE = 0,     // the bytes so far begin a status line
  STATUS_LINE_CR_LF = 1,  // a whole status line, ended by CR LF
  STATUS_LINE_LF = 2,     // a whole status line, ended by LF alone
  NO_STATUS_LINE = 3      // the last byte cannot belong to one
};

// A match under way. Start it as {0, 0}.
struct StatusLine {
  int state;
  int code;  // the status code, once its three digits are matched
};

// A status line is "HTTP/" and a version (1.0, 1.1, 2 or 3), one blank and
// three digits, then the line's end or a blank and a reason phrase of any
// bytes but CR and LF, then the line's end: CR LF, or LF alone. One of the
// results above for the next byte.
int status_line_step(StatusLine* line, unsigned char byte);

#endif
