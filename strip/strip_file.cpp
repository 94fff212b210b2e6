#include "strip_file.h"

#include "../platform/platform.h"
#include "header_scan.h"
#include "http_scan.h"

enum { STRIP_BUFFER_SIZE = 32768 };

// Copies the rest of source into temporary; FALSE on any failed or short
// read or write.
static BOOL copy_body(HANDLE source, HANDLE temporary, char* buffer) {
  DWORD count = 0;
  DWORD written = 0;
  for (;;) {
    if (!ReadFile(source, buffer, STRIP_BUFFER_SIZE, &count, nullptr)) return FALSE;
    if (count == 0) return TRUE;
    if (!WriteFile(temporary, buffer, count, &written, nullptr) || written != count) return FALSE;
  }
}

// What tells whether the file was changed by someone else after it was read.
struct FileState {
  FILETIME last_write;
  DWORD size_low;
  DWORD size_high;
};

static BOOL read_size(HANDLE file, FileState* state) {
  state->size_low = GetFileSize(file, &state->size_high);
  return state->size_low != INVALID_FILE_SIZE || GetLastError() == NO_ERROR;
}

// The copy back must not go over what a writer added or changed since the
// file was read: its last-write time and size must be as they were. Only
// its facts are read, so others may keep it open for writing meanwhile; the
// copy back itself cannot start while a writer holds the file.
static BOOL unchanged_since_read(const char* path, const FileState* before) {
  FileState now;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  BOOL same = GetFileTime(file, nullptr, nullptr, &now.last_write) && read_size(file, &now) &&
              CompareFileTime(&now.last_write, &before->last_write) == 0 && now.size_low == before->size_low &&
              now.size_high == before->size_high;
  CloseHandle(file);
  return same;
}

// Whether a failed copy back is known to have left the file as it was: it
// failed opening one of the two files, before any byte went over the target.
static int copy_left_file_unchanged(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_ACCESS_DENIED ||
         error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_TOO_MANY_OPEN_FILES;
}

// The body goes into a temporary file stamped with the source's times, and
// the platform's copy brings it back over the source. The temporary file is
// deleted on every path but one: when the copy back failed after it may have
// written, that file holds the only whole copy of the body and is kept.
int strip_file(const char* path, const RunSettings* settings) {
  char buffer[STRIP_BUFFER_SIZE];
  char temporary_name[PATH_CAPACITY];
  HANDLE source = INVALID_HANDLE_VALUE;
  HANDLE temporary = INVALID_HANDLE_VALUE;
  FILETIME creation = {};
  FILETIME last_access = {};
  FileState state = {};
  int have_temporary = 0;
  int keep_temporary = 0;
  int skipped = 0;
  BOOL ok = FALSE;
  BOOL closed = FALSE;

  DWORD directory_length = GetTempPathA(PATH_CAPACITY, buffer);
  if (directory_length == 0 || directory_length >= PATH_CAPACITY) goto done;
  if (GetTempFileNameA(buffer, "BCT", 0, temporary_name) == 0) goto done;
  have_temporary = 1;

  source = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (source == INVALID_HANDLE_VALUE) goto done;
  // Without the source's times the file would lose its last-write time.
  if (!GetFileTime(source, &creation, &last_access, &state.last_write)) goto done;
  if (!read_size(source, &state)) goto done;
  if (settings->http_only) {
    int scan = scan_http_header(source);
    skipped = scan == HTTP_SCAN_SKIPPED;
    if (scan != HTTP_SCAN_BODY) goto done;
  } else if (!scan_header(source)) {
    goto done;
  }

  temporary = CreateFileA(temporary_name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (temporary == INVALID_HANDLE_VALUE) goto done;
  if (!copy_body(source, temporary, buffer)) goto done;
  if (!SetFileTime(temporary, &creation, &last_access, &state.last_write)) goto done;

  CloseHandle(source);
  source = INVALID_HANDLE_VALUE;
  // A failed close may mean the body never reached the disk whole.
  closed = CloseHandle(temporary);
  temporary = INVALID_HANDLE_VALUE;
  if (!closed) goto done;
  if (!unchanged_since_read(path, &state)) goto done;

  SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  ok = CopyFileA(temporary_name, path, FALSE);
  if (!ok && !copy_left_file_unchanged(GetLastError())) keep_temporary = 1;

done:
  if (source != INVALID_HANDLE_VALUE) CloseHandle(source);
  if (temporary != INVALID_HANDLE_VALUE) CloseHandle(temporary);
  if (skipped) write_console("skipped" LINE_END);
  if (!ok && !skipped) write_console("error" LINE_END);
  if (have_temporary && !keep_temporary) DeleteFileA(temporary_name);
  return ok ? STRIP_OK : skipped ? STRIP_SKIPPED : STRIP_FAILED;
}
