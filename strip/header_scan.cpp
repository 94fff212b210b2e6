#include "header_scan.h"

// A byte that breaks a partial match is not tested again as the start of a
// new one: CR CR LF CR LF ends no header.
BOOL scan_header(HANDLE source, char* slot) {
  int count = 0;
  DWORD read = 0;
  while (count < 4) {
    if (!ReadFile(source, slot, 1, &read, nullptr) || read == 0) return FALSE;
    unsigned char expected = (count & 1) != 0 ? 0x0A : 0x0D;
    count = (unsigned char)slot[0] == expected ? count + 1 : 0;
  }
  return TRUE;
}
