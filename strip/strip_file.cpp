#include "strip_file.h"

#include "../platform/platform.h"
#include "header_scan.h"
#include "http_scan.h"
#include "release_wait.h"

// Attributes a file must lose before it can be opened for writing.
static const DWORD PROTECTING_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Whether now describes the file that was read, as it was read: the same
// file (not another one put at its path), not changed since, and still
// with a name (not removed meanwhile, its body then of use to no one).
static int same_file_unchanged(const BY_HANDLE_FILE_INFORMATION* read, const BY_HANDLE_FILE_INFORMATION* now) {
  return now->nNumberOfLinks != 0 && now->dwVolumeSerialNumber == read->dwVolumeSerialNumber &&
         now->nFileIndexHigh == read->nFileIndexHigh && now->nFileIndexLow == read->nFileIndexLow &&
         now->nFileSizeHigh == read->nFileSizeHigh && now->nFileSizeLow == read->nFileSizeLow &&
         CompareFileTime(&now->ftLastWriteTime, &read->ftLastWriteTime) == 0;
}

// One line on standard error, in one write, so that lines from several
// workers do not mix: before, a name, after, a second name if any, and a
// tail. Names go in as the report shows them.
static void write_error_line(const char* before, const char* name, const char* after, const char* second_name,
                             const char* tail) {
  char line[2 * PATH_CAPACITY * REPORT_EXPANSION + 160];
  unsigned length = 0;
  for (; before[length] != '\0'; ++length) line[length] = before[length];
  length += report_name(name, line + length);
  for (; *after != '\0'; ++after) line[length++] = *after;
  if (second_name != nullptr) length += report_name(second_name, line + length);
  for (; *tail != '\0'; ++tail) line[length++] = *tail;
  for (const char* end = LINE_END; *end != '\0'; ++end) line[length++] = *end;
  line[length] = '\0';
  write_error(line);
}

// Tells the user where the only whole copy of a file's body is; and, when
// the file was let go while it was written, that another writer may have
// written.
static void report_kept_body(const char* path, const char* temporary_name, int let_go) {
  write_error_line("", path, " : not stripped whole; its whole body is kept in ", temporary_name,
                   let_go ? "; the file may hold bytes from another writer" : "");
}

// Tells, as "bodycut: PATH: REASON", what a strip could not tidy up and
// its result does not show.
static void report_left_undone(const char* path, const char* what) {
  write_error_line("bodycut: ", path, what, nullptr, "");
}

// Takes the file for this strip. FILE_STRIPPED: another name of it was
// stripped in this run. FILE_CLAIMED: this strip may go on, and *recorded
// tells whether the table holds it. FILE_UNSEEN: it must be left alone,
// since it may be met again and the table has no room to remember it.
static int claim_file(StrippedFiles* seen, const FileIdentity* identity, int reachable_twice, int* recorded) {
  for (;;) {
    if (seen->shared) EnterCriticalSection(&seen->lock);
    int state = stripped_files_state(seen, identity);
    if (state == FILE_UNSEEN) {
      *recorded = stripped_files_set(seen, identity, FILE_CLAIMED);
      state = *recorded || !reachable_twice ? FILE_CLAIMED : FILE_UNSEEN;
    } else if (state == FILE_CLAIMED) {
      state = -1;
    }
    if (seen->shared) LeaveCriticalSection(&seen->lock);
    if (state != -1) return state;
    // Another worker strips it under another name: its outcome is near.
    Sleep(1);
  }
}

static void settle_file(StrippedFiles* seen, const FileIdentity* identity, int stripped) {
  if (seen->shared) EnterCriticalSection(&seen->lock);
  stripped_files_set(seen, identity, stripped ? FILE_STRIPPED : FILE_UNSEEN);
  if (seen->shared) LeaveCriticalSection(&seen->lock);
}

// The body goes into a temporary file stamped with the file's times; once
// whole it gets its name, and is copied back over the very file that was
// read, through a handle that no other process may hold meanwhile. The
// temporary file is deleted on every path but one: when the copy back may
// have written before it failed, that file holds the only whole body.
// *interfered: it failed because another process held or changed the file.
static StripResult strip_once(const char* path, const RunSettings* settings, StrippedFiles* seen,
                              int reached_through_link, int* interfered) {
  char directory[PATH_CAPACITY];
  char temporary_name[PATH_CAPACITY];
  HANDLE source = INVALID_HANDLE_VALUE;
  HANDLE temporary = INVALID_HANDLE_VALUE;
  HANDLE target = INVALID_HANDLE_VALUE;
  HANDLE query = INVALID_HANDLE_VALUE;
  HANDLE held = INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION read = {};
  BY_HANDLE_FILE_INFORMATION now = {};
  FileIdentity identity = {};
  FileIdentity opened = {};
  int claim = FILE_UNSEEN;
  int recorded = 0;
  int have_temporary = 0;
  int attributes_cleared = 0;
  int writing_began = 0;
  int skipped = 0;
  int scan = HTTP_SCAN_ERROR;
  int bare_line_feed = 0;
  BOOL ok = FALSE;
  BOOL closed = FALSE;
  DWORD directory_length = 0;
  // Why it failed where the strip tells itself; else the failed call's reason.
  Reason why = own_reason(REASON_NONE);
  int on_temporary = 0;  // the step in hand is the temporary file's

  // With several workers the file is claimed before it is opened: no
  // worker then holds open a file another one is copying back.
  if (seen != nullptr && seen->shared) {
    query = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
    if (query == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(query, &read)) goto done;
    identity = identity_of(&read);
    claim = claim_file(seen, &identity, reached_through_link || read.nNumberOfLinks > 1, &recorded);
    ok = claim == FILE_STRIPPED;
    if (claim == FILE_UNSEEN) why = own_reason(REASON_TOO_MANY_NAMES);
    if (claim != FILE_CLAIMED) goto done;
  }
  source = query != INVALID_HANDLE_VALUE ? open_queried_file(query, path)
                                         : CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                       FILE_ATTRIBUTE_NORMAL, nullptr);
  if (source == INVALID_HANDLE_VALUE) {
    *interfered = GetLastError() == ERROR_SHARING_VIOLATION;
    goto done;
  }
  // Its identity, size and times: what the copy back must find again.
  if (!GetFileInformationByHandle(source, &read)) goto done;
  if (seen != nullptr) {
    opened = identity_of(&read);
    if (seen->shared && !same_identity(&opened, &identity)) {
      why = own_reason(REASON_CHANGED);
      goto done;
    }
    if (!seen->shared) {
      identity = opened;
      // Stripped already under another name in this run: done, not read again.
      claim = claim_file(seen, &identity, reached_through_link || read.nNumberOfLinks > 1, &recorded);
      ok = claim == FILE_STRIPPED;
      if (claim == FILE_UNSEEN) why = own_reason(REASON_TOO_MANY_NAMES);
      if (claim != FILE_CLAIMED) goto done;
    }
  }
  // A scan that failed with no error met the file's end first.
  SetLastError(NO_ERROR);
  scan = settings->http_only                            ? scan_http_header(source)
         : scan_default_header(source, &bare_line_feed) ? HTTP_SCAN_BODY
                                                        : HTTP_SCAN_ERROR;
  skipped = scan == HTTP_SCAN_SKIPPED;
  if (scan != HTTP_SCAN_BODY) {
    if (bare_line_feed)
      why = own_reason(REASON_BARE_LINE_FEED);
    else if (GetLastError() == NO_ERROR || GetLastError() == ERROR_HANDLE_EOF)
      why = own_reason(settings->http_only ? REASON_HTTP_INCOMPLETE : REASON_NO_HEADER_END);
    goto done;
  }

  // The temporary name is made only for a file that has a body to keep.
  on_temporary = 1;
  directory_length = GetTempPathA(PATH_CAPACITY, directory);
  if (directory_length >= PATH_CAPACITY) why = own_reason(REASON_TOO_LONG);
  if (directory_length == 0 || directory_length >= PATH_CAPACITY) goto done;
  if (GetTempFileNameA(directory, "BCT", 0, temporary_name) == 0) goto done;
  // A file at the name is deleted only once it is this run's own.
  have_temporary = TEMPORARY_NAME_MAKES_FILE;
  // A dry run ends before the first write, as if the rest had gone well;
  // the file counts as stripped, so its other names are not read again.
  if (settings->dry_run) {
    ok = TRUE;
    goto done;
  }
  temporary = CreateFileA(temporary_name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (temporary == INVALID_HANDLE_VALUE) goto done;
  if (!copy_rest_of_file(source, temporary)) goto done;
  if (!SetFileTime(temporary, &read.ftCreationTime, &read.ftLastAccessTime, &read.ftLastWriteTime)) goto done;
  // The attributes are changed through what was read, not what the path names by then.
  on_temporary = 0;
  if (!hold_file(source, &held)) goto done;
  CloseHandle(source);
  source = INVALID_HANDLE_VALUE;
  on_temporary = 1;
  if (!name_temporary_file(temporary, temporary_name)) goto done;
  have_temporary = 1;
  on_temporary = 0;

  // Cleared only where it must be, and put back if the strip fails.
  if ((read.dwFileAttributes & PROTECTING_ATTRIBUTES) != 0) {
    if (!set_file_attributes(held, path, FILE_ATTRIBUTE_NORMAL)) goto done;
    attributes_cleared = 1;
  }
  // No sharing: refused while anyone else has the file open, and nobody
  // else can open it until this handle is closed.
  target = open_held_file(held, path);
  if (target == INVALID_HANDLE_VALUE) {
    *interfered = GetLastError() == ERROR_SHARING_VIOLATION;
    goto done;
  }
  if (!GetFileInformationByHandle(target, &now)) goto done;
  if (!same_file_unchanged(&read, &now)) {
    *interfered = 1;
    why = own_reason(REASON_CHANGED);
    goto done;
  }
  // The times must be settable before a byte is written: a file rewritten
  // with the wrong last-write time could not be told from an unstripped one.
  if (!file_times_settable(target, &read.ftCreationTime, &read.ftLastAccessTime, &read.ftLastWriteTime)) {
    if (GetLastError() == ERROR_ACCESS_DENIED) why = own_reason(REASON_TIMES);
    goto done;
  }
  if (SetFilePointer(temporary, 0, nullptr, FILE_BEGIN) != 0) goto done;

  writing_began = 1;
  if (!copy_rest_of_file(temporary, target) || !SetEndOfFile(target)) goto done;
  if (!put_back_mode(held)) report_left_undone(path, ": could not put back its mode");
  if (!SetFileTime(target, &read.ftCreationTime, &read.ftLastAccessTime, &read.ftLastWriteTime)) goto done;
  // A failed close may mean the bytes did not all reach the file.
  closed = CloseHandle(target);
  target = INVALID_HANDLE_VALUE;
  ok = closed;

done:
  // The copy back's own failure, before the cleanup below sets another.
  DWORD failure = ok ? NO_ERROR : GetLastError();
  if (!ok && why.kind == REASON_NONE) why = last_failure_reason();
  why.temporary = on_temporary;
  if (query != INVALID_HANDLE_VALUE) CloseHandle(query);
  if (source != INVALID_HANDLE_VALUE) CloseHandle(source);
  if (target != INVALID_HANDLE_VALUE) CloseHandle(target);
  if (temporary != INVALID_HANDLE_VALUE) CloseHandle(temporary);
  if (!ok && attributes_cleared && !set_file_attributes(held, path, read.dwFileAttributes))
    report_left_undone(path, ": could not put back its mode");
  release_file_hold(held);
  if (recorded) settle_file(seen, &identity, ok);
  if (!ok && writing_began) report_kept_body(path, temporary_name, failure == ERROR_LOCK_VIOLATION);
  if (have_temporary && !(!ok && writing_began) && !DeleteFileA(temporary_name))
    report_left_undone(temporary_name, ": could not delete this temporary file");
  StripResult result = {ok ? STRIP_OK : skipped ? STRIP_SKIPPED : STRIP_FAILED, why};
  return result;
}

// In HTTP mode a file that another run was stripping is read again once
// that run is done with it: then it no longer begins with a status line,
// and is skipped, as the manual promises.
StripResult strip_found_file(const char* path, const RunSettings* settings, StrippedFiles* seen,
                             int reached_through_link) {
  int interfered = 0;
  StripResult result = strip_once(path, settings, seen, reached_through_link, &interfered);
  if (result.outcome == STRIP_FAILED && interfered && settings->http_only && !stop_requested()) {
    wait_until_released(path);
    interfered = 0;
    result = strip_once(path, settings, seen, reached_through_link, &interfered);
  }
  return result;
}

const char* strip_result_text(int result) {
  return result == STRIP_OK ? "ok" LINE_END : result == STRIP_SKIPPED ? "skipped" LINE_END : "error" LINE_END;
}

int strip_file(const char* path, const RunSettings* settings) {
  StripResult result = strip_found_file(path, settings, nullptr, 0);
  if (result.outcome != STRIP_OK) write_console(strip_result_text(result.outcome));
  if (result.outcome == STRIP_FAILED) report_reason(path, result.why);
  return result.outcome;
}
