// The few operations the logic needs that the system has no one call for.
#include "../platform.h"

enum { COPY_CHUNK = 32768 };

BOOL copy_rest_of_file(HANDLE from, HANDLE to) {
  char buffer[COPY_CHUNK];
  DWORD count = 0;
  DWORD written = 0;
  for (;;) {
    if (!ReadFile(from, buffer, sizeof buffer, &count, nullptr)) return FALSE;
    if (count == 0) return TRUE;
    if (!WriteFile(to, buffer, count, &written, nullptr) || written != count) return FALSE;
  }
}

BOOL read_through_byte(HANDLE file, unsigned char wanted) {
  unsigned char byte = 0;
  DWORD read = 0;
  do
    if (!ReadFile(file, &byte, 1, &read, nullptr) || read != 1) return FALSE;
  while (byte != wanted);
  return TRUE;
}

// The file has had its name since GetTempFileNameA made it.
BOOL name_temporary_file(HANDLE) { return TRUE; }

bool stop_requested(void) { return false; }
