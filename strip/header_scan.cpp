#include "header_scan.h"

#include "status_line.h"

// One byte from source into *byte; FALSE on a read error or at the end.
static inline BOOL next_byte(HANDLE source, unsigned char* byte) {
  DWORD read = 0;
  return ReadFile(source, byte, 1, &read, nullptr) && read == 1;
}

// The scan as four states, one per byte of CR LF CR LF matched so far. A
// byte that breaks a partial match sends the scan back to the first state
// and is not tested again as the start of a new match: CR CR LF CR LF ends
// no header. Most bytes are read in the first state, which the platform
// passes over in bulk. The one-byte slot is a local, so nothing can alias
// it and the inline read stays in registers.
BOOL scan_header(HANDLE source) {
  unsigned char byte = 0;
  for (;;) {
    // The first state passes over every byte but CR: the platform may do
    // so in bulk, the rule and the position it leaves are the same.
    if (!read_through_byte(source, 0x0D)) return FALSE;
    if (!next_byte(source, &byte)) return FALSE;
    if (byte != 0x0A) continue;
    if (!next_byte(source, &byte)) return FALSE;
    if (byte != 0x0D) continue;
    if (!next_byte(source, &byte)) return FALSE;
    if (byte == 0x0A) return TRUE;
  }
}

// Goes on with the scan where count bytes of CR LF CR LF are matched.
static BOOL finish_scan(HANDLE source, int count) {
  static const unsigned char ending[] = {0x0D, 0x0A, 0x0D, 0x0A};
  unsigned char byte = 0;
  while (count > 0 && count < 4) {
    if (!next_byte(source, &byte)) return FALSE;
    count = byte == ending[count] ? count + 1 : 0;
  }
  return count == 4 || scan_header(source);
}

// The first line is matched against a status line as it is read; the scan
// then goes on from the state its bytes left it in. Only a status line's
// end holds a CR, so that state is told by the last two bytes.
BOOL scan_default_header(HANDLE source, int* bare_line_feed) {
  StatusLine line = {0, 0};
  unsigned char byte = 0;
  int after_cr = 0;
  for (;;) {
    if (!next_byte(source, &byte)) return FALSE;
    int step = status_line_step(&line, byte);
    if (step == STATUS_LINE_LF) {
      *bare_line_feed = 1;
      return FALSE;
    }
    if (step == STATUS_LINE_CR_LF) return finish_scan(source, 2);
    if (step == NO_STATUS_LINE) return finish_scan(source, byte == 0x0D && !after_cr ? 1 : 0);
    after_cr = byte == 0x0D;
  }
}
