#include "http_scan.h"

#include "header_scan.h"

enum { BYTE_READ = 0, BYTE_END = 1, BYTE_FAILED = 2 };

// One byte from source into *byte. The end of the file is told apart from
// a failed read: a file too short for a status line is only skipped.
static int next_byte(HANDLE source, unsigned char* byte) {
  DWORD read = 0;
  if (!ReadFile(source, byte, 1, &read, nullptr)) return BYTE_FAILED;
  return read == 1 ? BYTE_READ : BYTE_END;
}

enum { LINE_MATCHED = 0, LINE_NOT_STATUS = 1, LINE_FAILED = 2 };

// Where a status line's match stands: before which of its parts.
enum {
  AT_PREFIX = 0,  // "HTTP/", one state a byte
  AT_VERSION = 5,
  AT_MINOR_DOT,
  AT_MINOR,
  AT_BLANK,
  AT_CODE,  // three digits, one state each
  AT_CODE_END = AT_CODE + 3,
  AT_REASON,
  AT_LF,
  MATCHED,
  NOT_STATUS
};

// The state after byte: one step of the status line's match.
static int status_step(int state, unsigned char byte) {
  if (state < AT_VERSION) return byte == (unsigned char)"HTTP/"[state] ? state + 1 : NOT_STATUS;
  if (state >= AT_CODE && state < AT_CODE_END) return byte >= '0' && byte <= '9' ? state + 1 : NOT_STATUS;
  switch (state) {
    case AT_VERSION:
      if (byte == '1') return AT_MINOR_DOT;
      return byte == '2' || byte == '3' ? AT_BLANK : NOT_STATUS;
    case AT_MINOR_DOT: return byte == '.' ? AT_MINOR : NOT_STATUS;
    case AT_MINOR: return byte == '0' || byte == '1' ? AT_BLANK : NOT_STATUS;
    case AT_BLANK: return byte == ' ' ? AT_CODE : NOT_STATUS;
    case AT_CODE_END:
      if (byte == ' ') return AT_REASON;
      return byte == 0x0D ? AT_LF : NOT_STATUS;
    case AT_REASON:
      if (byte == 0x0A) return NOT_STATUS;
      return byte == 0x0D ? AT_LF : AT_REASON;
    case AT_LF: return byte == 0x0A ? MATCHED : NOT_STATUS;
    default: return NOT_STATUS;
  }
}

// Reads a status line up to and including its CR LF, stopping at the first
// byte that cannot belong to one. *interim is set for a 1xx status code.
static int read_status_line(HANDLE source, int* interim) {
  unsigned char byte = 0;
  int state = AT_PREFIX;
  for (;;) {
    int got = next_byte(source, &byte);
    if (got != BYTE_READ) return got == BYTE_END ? LINE_NOT_STATUS : LINE_FAILED;
    if (state == AT_CODE) *interim = byte == '1';
    state = status_step(state, byte);
    if (state == MATCHED) return LINE_MATCHED;
    if (state == NOT_STATUS) return LINE_NOT_STATUS;
  }
}

// Finds the header's end with the status line's CR LF already matched, so
// the scan goes on as the plain scan would from the file's start: a CR LF
// right away ends the header, and a byte that breaks the match is not
// looked at again.
static BOOL rest_of_header(HANDLE source) {
  unsigned char byte = 0;
  if (next_byte(source, &byte) != BYTE_READ) return FALSE;
  if (byte == 0x0D) {
    if (next_byte(source, &byte) != BYTE_READ) return FALSE;
    if (byte == 0x0A) return TRUE;
  }
  return scan_header(source);
}

int scan_http_header(HANDLE source) {
  int interim = 0;
  int line = read_status_line(source, &interim);
  if (line == LINE_FAILED) return HTTP_SCAN_ERROR;
  if (line == LINE_NOT_STATUS) return HTTP_SCAN_SKIPPED;
  for (;;) {
    if (!rest_of_header(source)) return HTTP_SCAN_ERROR;
    if (!interim) return HTTP_SCAN_BODY;
    // A file that claims an interim response but holds no final one is
    // not what it claims to be, and is left alone.
    if (read_status_line(source, &interim) != LINE_MATCHED) return HTTP_SCAN_ERROR;
  }
}
