// The body and copy-back files, with the KERNEL32 calls. The body file
// has its name from the start (GetTempFileNameA makes it), and the copy
// back opens the source's path again with no sharing.
#include "win32_internal.h"

enum { COPY_CHUNK = 32768 };

// Each strip makes and deletes its own file: nothing is held between them.
void begin_body_file(const TemporaryDirectory*, BodyFile*) {}
Reason end_body_file(BodyFile*) { return done_reason(); }

Reason choose_body_name(const TemporaryDirectory* directory, BodyFile* body) {
  body->name[0] = '\0';
  body->handle = NO_HANDLE;
  body->named = 0;
  body->length = 0;
  if (OPERATION_FAULT(choose_body_name)) return injected_failure();
  if (failed(directory->failure)) return directory->failure;
  if (SYSTEM_CALL(GetTempFileNameA, (UINT)0, directory->path, "BCT", 0, body->name) == 0) return last_error_reason();
  body->named = 1;  // GetTempFileNameA made the file: it is the run's from then on
  return done_reason();
}

Reason create_body_file(const TemporaryDirectory*, BodyFile* body) {
  if (OPERATION_FAULT(create_body_file)) return injected_failure();
  HANDLE created =
      SYSTEM_CALL(CreateFileA, INVALID_HANDLE_VALUE, body->name, GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  body->handle = (SystemHandle)created;
  return created != INVALID_HANDLE_VALUE ? done_reason() : last_error_reason();
}

// The body file held nothing before: a stop gives the copy up, and nothing is lost.
Reason fill_body_file(BodyFile* body, SourceFile* source, FileSize offset, const void* ahead, unsigned ahead_length) {
  char buffer[COPY_CHUNK];
  DWORD count = 0;
  if (OPERATION_FAULT(fill_body_file)) return injected_failure();
  if (ahead_length > 0 && !write_chunk(body->handle, ahead, ahead_length)) return last_error_reason();
  body->length += ahead_length;
  if (!move_source(source, offset + ahead_length)) return last_error_reason();
  source->position = UNKNOWN_POSITION;
  for (;;) {
    if (stop_requested()) return own_reason(REASON_STOPPED);
    if (!read_chunk(source->handle, buffer, sizeof buffer, &count)) return last_error_reason();
    if (count == 0) return done_reason();
    if (!write_chunk(body->handle, buffer, count)) return last_error_reason();
    body->length += count;
  }
}

// The file has had its name since GetTempFileNameA made it.
Reason keep_body_file(BodyFile* body, const FileTimes* times) {
  if (OPERATION_FAULT(keep_body_file)) return injected_failure();
  if (!set_times(body->handle, times)) return last_error_reason();
  return stop_requested() ? own_reason(REASON_STOPPED) : done_reason();
}

Reason close_body_file(BodyFile* body, int delete_it) {
  bool deletion_fails = OPERATION_FAULT(close_body_file);
  close_handle(&body->handle);
  if (!delete_it || !body->named) return done_reason();
  if (deletion_fails) return injected_failure();
  // A name whose file is not there leaves nothing behind (some systems
  // give a name without making its file).
  if (SYSTEM_CALL(DeleteFileA, FALSE, body->name)) return done_reason();
  DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return done_reason();
  return last_error_reason();
}

// No sharing: refused while anyone else has the file open, and nobody
// else can open it until this handle is closed.
Reason open_copy_back_target(SourceFile*, const char* path, CopyBackTarget* target) {
  target->handle = NO_HANDLE;
  if (OPERATION_FAULT(open_copy_back_target)) return injected_failure();
  return open_with_facts(path, GENERIC_READ | GENERIC_WRITE, 0, &target->handle, &target->facts);
}

// Setting them is the one way to know.
Reason check_times_settable(CopyBackTarget* target, const FileTimes* times) {
  if (OPERATION_FAULT(check_times_settable)) return injected_failure();
  // SetFileTime takes a time of zero (1601), and of all ones, as "leave it
  // as it is": a file with such a last-write time would come back with the
  // time of its copy.
  if (times->written.count == 0 || times->written.count == -1) return own_reason(REASON_TIMES);
  if (set_times(target->handle, times)) return done_reason();
  return GetLastError() == ERROR_ACCESS_DENIED ? own_reason(REASON_TIMES) : last_error_reason();
}

// A write over the file that failed: where the system says another
// process holds part of it locked, it may have written meanwhile.
static Reason write_back_failure(void) {
  return GetLastError() == ERROR_LOCK_VIOLATION ? own_reason(REASON_LEASE_LOST) : last_error_reason();
}

// Copies left bytes of the body file, from its start, over the target.
static Reason copy_from_body_file(CopyBackTarget* target, BodyFile* body, FileSize left) {
  char buffer[COPY_CHUNK];
  DWORD count = 0;
  if (SYSTEM_CALL(SetFilePointer, INVALID_SET_FILE_POINTER, handle_of(body->handle), 0, nullptr, FILE_BEGIN) != 0)
    return last_error_reason();
  for (;;) {
    if (!read_chunk(body->handle, buffer, sizeof buffer, &count)) return last_error_reason();
    if (count > left) count = (DWORD)left;
    if (count == 0) return done_reason();
    if (!write_chunk(target->handle, buffer, count)) return write_back_failure();
    left -= count;
  }
}

// A copy over the file's own bytes is finished whatever is asked meanwhile,
// or the file would be neither what it was nor its body. A body at hand
// whole is written from there, not read back. A test build may stop it
// halfway, as a full disk would.
Reason copy_body_back(CopyBackTarget* target, BodyFile* body, const void* ahead, unsigned ahead_length) {
  if (OPERATION_FAULT(copy_body_back)) return injected_failure();
  bool cut_short = OPERATION_FAULT(copy_body_back_short);
  FileSize left = cut_short ? body->length / 2 : body->length;
  Reason why = done_reason();
  if (ahead_length < body->length)
    why = copy_from_body_file(target, body, left);
  else if (left > 0 && !write_chunk(target->handle, ahead, (DWORD)left))
    why = write_back_failure();
  if (failed(why)) return why;
  if (cut_short) return own_reason(REASON_NO_SPACE);
  return SYSTEM_CALL(SetEndOfFile, FALSE, handle_of(target->handle)) ? done_reason() : last_error_reason();
}

// A failed close may mean the bytes did not all reach the file.
Reason finish_copy_back(CopyBackTarget* target, SourceFile*, const FileTimes* times, int* mode_lost) {
  *mode_lost = 0;
  if (OPERATION_FAULT(finish_copy_back)) return injected_failure();
  if (!set_times(target->handle, times)) return last_error_reason();
  return close_handle(&target->handle);
}

void close_copy_back_target(CopyBackTarget* target) { close_handle(&target->handle); }
