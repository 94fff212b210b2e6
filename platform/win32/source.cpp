// The source file, with the KERNEL32 calls: read through a handle that
// shares reading only, its attributes changed by path while a handle
// holds its name.
#include "win32_internal.h"

static void begin_source(SourceFile* file) {
  file->handle = file->query = NO_HANDLE;
  file->attributes_cleared = 0;
  file->position = 0;
  // A walk opens no link: it gives reparse points their line unopened.
  file->through_link = 0;
}

// The query handle stays open until the source closes: it reads no data,
// so it keeps no copy back out.
Reason find_source(const WalkRoot*, const char* path, SourceFile* file) {
  begin_source(file);
  if (OPERATION_FAULT(find_source)) return injected_failure();
  return open_with_facts(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, &file->query, &file->facts);
}

Reason open_found_source(SourceFile* file, const char* path) {
  if (OPERATION_FAULT(open_found_source)) return injected_failure();
  return open_with_facts(path, GENERIC_READ, FILE_SHARE_READ, &file->handle, &file->facts);
}

Reason open_source(const WalkRoot*, const char* path, SourceFile* file) {
  begin_source(file);
  if (OPERATION_FAULT(open_source)) return injected_failure();
  return open_with_facts(path, GENERIC_READ, FILE_SHARE_READ, &file->handle, &file->facts);
}

Reason read_source(SourceFile* file, FileSize offset, void* buffer, unsigned wanted, unsigned* got) {
  DWORD count = 0;
  *got = 0;
  if (OPERATION_FAULT(read_source)) return injected_failure();
  if (stop_requested()) return own_reason(REASON_STOPPED);
  if (!move_source(file, offset) || !read_chunk(file->handle, buffer, wanted, &count)) {
    file->position = UNKNOWN_POSITION;
    return last_error_reason();
  }
  file->position = offset + count;
  *got = count;
  return done_reason();
}

// No share-0 open succeeds while the reading handle is open.
Reason end_source_reading(SourceFile* file) {
  if (OPERATION_FAULT(end_source_reading)) return injected_failure();
  return close_handle(&file->handle);
}

// Attributes are set by path, so only while a handle that reads the file
// holds its name: sharing no deletion, it lets no other file be renamed
// to that name meanwhile, and sharing no writing, no writer in. Made
// writable, the file must be as read, and the change time that setting
// moves is then the one the copy back compares. Put back, where another
// program's sharing refuses such a handle, one that only looks tells,
// just before, that the file there is still the one read; made writable,
// such a file could not be held alone for the copy back anyway. Another
// file found there is left as it is.
static Reason set_attributes(SourceFile* file, const char* path, DWORD attributes, int cleared) {
  SystemHandle held = NO_HANDLE;
  FileFacts now;
  Reason why = open_with_facts(path, GENERIC_READ, FILE_SHARE_READ, &held, &now);
  if (why.kind == REASON_IN_USE && !cleared)
    why = open_with_facts(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &held, &now);
  if (!failed(why) && (!same_identity(&now.identity, &file->facts.identity) ||
                       (cleared && !same_stamp(&now.changed, &file->facts.changed))))
    why = own_reason(REASON_CHANGED);
  if (!failed(why) && !SYSTEM_CALL(SetFileAttributesA, FALSE, path, attributes)) why = last_error_reason();
  // A change time not known: the attributes go back at once, or, where
  // that fails, when the failed strip puts them back and tells.
  if (!failed(why) && cleared && !read_change_time(handle_of(held), &file->facts.changed)) {
    why = last_error_reason();
    if (!SYSTEM_CALL(SetFileAttributesA, FALSE, path, file->facts.attributes)) file->attributes_cleared = 1;
  }
  if (!failed(why)) file->attributes_cleared = cleared;
  close_handle(&held);
  return why;
}

Reason make_source_writable(SourceFile* file, const char* path) {
  if (OPERATION_FAULT(make_source_writable)) return injected_failure();
  return file->facts.write_protected ? set_attributes(file, path, FILE_ATTRIBUTE_NORMAL, 1) : done_reason();
}

// Only a dry run asks, and a Windows run is never one.
Reason check_copy_back(SourceFile*) { return done_reason(); }

Reason restore_protection(SourceFile* file, const char* path) {
  if (OPERATION_FAULT(restore_protection)) return injected_failure();
  return file->attributes_cleared ? set_attributes(file, path, file->facts.attributes, 0) : done_reason();
}

void close_source(SourceFile* file) {
  close_handle(&file->handle);
  close_handle(&file->query);
}

// Moves the source's handle to offset, unless it is there already.
bool move_source(SourceFile* file, FileSize offset) {
  if (file->position == offset) return true;
  LONG high = (LONG)(offset >> 32);
  file->position = UNKNOWN_POSITION;
  SetLastError(NO_ERROR);
  if (SYSTEM_CALL(SetFilePointer, INVALID_SET_FILE_POINTER, handle_of(file->handle), (LONG)offset, &high, FILE_BEGIN) ==
          INVALID_SET_FILE_POINTER &&
      GetLastError() != NO_ERROR)
    return false;
  file->position = offset;
  return true;
}
