#include "header_scan.h"

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
