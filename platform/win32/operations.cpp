// The few operations the logic needs that the system has no one call for.
#include "win32_internal.h"

enum { COPY_CHUNK = 32768 };

// A copy into a file that held nothing may be given up when a stop is
// asked for: nothing is lost. A copy over a file's own bytes is finished,
// or the file would be neither what it was nor its body.
BOOL copy_rest_of_file(HANDLE from, HANDLE to) {
  char buffer[COPY_CHUNK];
  DWORD count = 0;
  DWORD written = 0;
  DWORD high = 0;
  BOOL stoppable = GetFileSize(to, &high) == 0 && high == 0;
  for (;;) {
    if (stoppable && stop_requested()) {
      SetLastError(ERROR_OPERATION_ABORTED);
      return FALSE;
    }
    if (!ReadFile(from, buffer, sizeof buffer, &count, nullptr)) return FALSE;
    if (count == 0) return TRUE;
    if (!WriteFile(to, buffer, count, &written, nullptr) || written != count) return FALSE;
  }
}

BOOL read_through_byte(HANDLE file, unsigned char wanted) {
  unsigned char byte = 0;
  DWORD read = 0;
  do {
    if (stop_requested()) {
      SetLastError(ERROR_OPERATION_ABORTED);
      return FALSE;
    }
    if (!ReadFile(file, &byte, 1, &read, nullptr) || read != 1) return FALSE;
  } while (byte != wanted);
  return TRUE;
}

// The file has had its name since GetTempFileNameA made it. A stop asked
// for before the copy back gives the strip up: the file stays as it was.
BOOL name_temporary_file(HANDLE, LPSTR) {
  if (!stop_requested()) return TRUE;
  SetLastError(ERROR_OPERATION_ABORTED);
  return FALSE;
}

// Attributes are set by path, and a write changes none of them.
BOOL hold_file(HANDLE, HANDLE* held) {
  *held = INVALID_HANDLE_VALUE;
  return TRUE;
}

void release_file_hold(HANDLE) {}

BOOL set_file_attributes(HANDLE, LPCSTR path, DWORD attributes) { return SetFileAttributesA(path, attributes); }

BOOL put_back_mode(HANDLE) { return TRUE; }

HANDLE open_queried_file(HANDLE, LPCSTR path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE open_held_file(HANDLE, LPCSTR path) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Setting them is the one way to know.
BOOL file_times_settable(HANDLE file, const FILETIME* creation, const FILETIME* last_access,
                         const FILETIME* last_write) {
  return SetFileTime(file, creation, last_access, last_write);
}
