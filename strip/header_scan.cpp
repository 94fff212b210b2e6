#include "header_scan.h"

#include "status_line.h"

// The scan as four states, one per byte of CR LF CR LF matched so far. A
// byte that breaks a partial match sends the scan back to the first state
// and is not tested again as the start of a new match: CR CR LF CR LF ends
// no header. Most bytes are read in the first state, which passes over
// every byte but CR in bulk.
int scan_header(SourceReader* reader) {
  unsigned char byte = 0;
  int got = BYTE_READ;
  for (;;) {
    if ((got = reader_pass_through(reader, 0x0D)) != BYTE_READ) return got;
    if ((got = reader_next(reader, &byte)) != BYTE_READ) return got;
    if (byte != 0x0A) continue;
    if ((got = reader_next(reader, &byte)) != BYTE_READ) return got;
    if (byte != 0x0D) continue;
    if ((got = reader_next(reader, &byte)) != BYTE_READ) return got;
    if (byte == 0x0A) return BYTE_READ;
  }
}

// Goes on with the scan where count bytes of CR LF CR LF are matched.
static int finish_scan(SourceReader* reader, int count) {
  static const unsigned char ending[] = {0x0D, 0x0A, 0x0D, 0x0A};
  unsigned char byte = 0;
  while (count > 0 && count < 4) {
    int got = reader_next(reader, &byte);
    if (got != BYTE_READ) return got;
    count = byte == ending[count] ? count + 1 : 0;
  }
  return count == 4 ? BYTE_READ : scan_header(reader);
}

// The first line is matched against a status line as it is read; the scan
// then goes on from the state its bytes left it in. Only a status line's
// end holds a CR, so that state is told by the last two bytes.
int scan_default_header(SourceReader* reader, int* bare_line_feed) {
  StatusLine line = {0, 0};
  unsigned char byte = 0;
  int after_cr = 0;
  for (;;) {
    int got = reader_next(reader, &byte);
    if (got != BYTE_READ) return got;
    int step = status_line_step(&line, byte);
    if (step == STATUS_LINE_LF) {
      *bare_line_feed = 1;
      return BYTE_END;
    }
    if (step == STATUS_LINE_CR_LF) return finish_scan(reader, 2);
    if (step == NO_STATUS_LINE) return finish_scan(reader, byte == 0x0D && !after_cr ? 1 : 0);
    after_cr = byte == 0x0D;
  }
}
