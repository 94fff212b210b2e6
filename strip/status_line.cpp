#include "status_line.h"

// Where a match stands: before which part of the line.
enum {
  AT_PREFIX = 0,  // "HTTP/", one state a byte
  AT_VERSION = 5,
  AT_MINOR_DOT,
  AT_MINOR,
  AT_BLANK,
  AT_CODE,  // three digits, one state each
  AT_CODE_END = AT_CODE + 3,
  AT_REASON,
  AT_LF
};

// The result of byte where the line may end.
static int line_end_step(StatusLine* line, unsigned char byte, int otherwise) {
  if (byte == 0x0A) return line->state == AT_LF ? STATUS_LINE_CR_LF : STATUS_LINE_LF;
  if (line->state == AT_LF) return NO_STATUS_LINE;
  if (byte == 0x0D) {
    line->state = AT_LF;
    return IN_STATUS_LINE;
  }
  line->state = otherwise;
  return otherwise == AT_REASON ? IN_STATUS_LINE : NO_STATUS_LINE;
}

int status_line_step(StatusLine* line, unsigned char byte) {
  int state = line->state;
  int next = -1;
  if (state < AT_VERSION) {
    next = byte == (unsigned char)"HTTP/"[state] ? state + 1 : -1;
  } else if (state >= AT_CODE && state < AT_CODE_END) {
    if (byte >= '0' && byte <= '9') {
      line->code = line->code * 10 + (byte - '0');
      next = state + 1;
    }
  } else if (state == AT_VERSION) {
    next = byte == '1' ? AT_MINOR_DOT : byte == '2' || byte == '3' ? AT_BLANK : -1;
  } else if (state == AT_MINOR_DOT) {
    next = byte == '.' ? AT_MINOR : -1;
  } else if (state == AT_MINOR) {
    next = byte == '0' || byte == '1' ? AT_BLANK : -1;
  } else if (state == AT_BLANK) {
    next = byte == ' ' ? AT_CODE : -1;
  } else if (state == AT_CODE_END) {
    return line_end_step(line, byte, byte == ' ' ? AT_REASON : -1);
  } else {
    return line_end_step(line, byte, AT_REASON);
  }
  if (next < 0) return NO_STATUS_LINE;
  line->state = next;
  return IN_STATUS_LINE;
}
