// The source file: found through an O_PATH descriptor, the hold, which
// stays the very file until the copy back reopens it; read at explicit
// offsets; its mode changed only through the hold.
#include "posix_internal.h"

// What the strip goes by: the facts, the mode it puts back, the holes.
static void take_status(const struct statx* status, SourceFile* file) {
  facts_of(status, &file->facts);
  file->mode = status->stx_mode;
  file->owner = status->stx_uid;
  // Fewer blocks than bytes: a sparse file (or a compressed one).
  file->holes = (status->stx_mask & STATX_BLOCKS) != 0 && status->stx_blocks * 512 < status->stx_size;
}

static Reason resolve_source(const WalkRoot* root, const char* path, SourceFile* file) {
  struct statx status;
  Reason why;
  file->fd = -1;
  file->mode_changed = 0;
  file->through_link = 0;
  file->read_lease = READ_LEASE_NONE;
  file->hold = resolve_path(root, path, &status, &why, &file->through_link);
  if (file->hold < 0) return why;
  // A link's way may pass through mounts; where it ends is the walk's to
  // check, in a run that stays on one: the listing did, and this is now.
  if (file->through_link && root->one_file_system &&
      elsewhere(device_of(&status), mount_of(&status), root->device, root->mount))
    return own_reason(REASON_OTHER_FILE_SYSTEM);
  // Only a regular file is ever opened: a FIFO or a device never is.
  if (!S_ISREG(status.stx_mode)) return own_reason(REASON_NOT_REGULAR);
  take_status(&status, file);
  return done_reason();
}

// Opening does not wait: a lease held elsewhere is another process's use.
// A file open for writing elsewhere opens, and its first read says so.
static Reason open_for_reading(SourceFile* file) {
  file->fd = reopen_descriptor(file->hold, O_RDONLY);
  if (file->fd < 0) return reason_from_errno(errno);
  take_read_lease(file);
  return done_reason();
}

Reason open_source(const WalkRoot* root, const char* path, SourceFile* file) {
  file->fd = -1;
  file->hold = -1;
  if (injected(FAULT_open_source)) return input_output_error();
  Reason why = resolve_source(root, path, file);
  return failed(why) ? why : open_for_reading(file);
}

Reason find_source(const WalkRoot* root, const char* path, SourceFile* file) {
  file->fd = -1;
  file->hold = -1;
  if (injected(FAULT_find_source)) return input_output_error();
  return resolve_source(root, path, file);
}

// The very file that was found is opened, whatever path names by now; its
// facts and mode are read again, as they are when it is opened.
Reason open_found_source(SourceFile* file, const char*) {
  if (injected(FAULT_open_found_source)) return input_output_error();
  Reason why = open_for_reading(file);
  struct statx status;
  if (!failed(why) && !read_status(file->fd, &status)) why = reason_from_errno(errno);
  if (!failed(why)) take_status(&status, file);
  return why;
}

Reason read_source(SourceFile* file, FileSize offset, void* buffer, unsigned wanted, unsigned* got) {
  *got = 0;
  if (injected(FAULT_read_source)) return input_output_error();
  if (requested_stop_signal() != 0) return own_reason(REASON_STOPPED);
  // A writer waits for the lease: the run gives the file up to it.
  if (read_lease_lost(file)) return own_reason(REASON_IN_USE);
  ssize_t read;
  do read = sys::pread(file->fd, buffer, wanted, (off_t)offset);
  while (read < 0 && errno == EINTR);
  if (read < 0) return reason_from_errno(errno);
  *got = (unsigned)read;
  return done_reason();
}

// The hold stays: it opens nothing, so no lease is refused for it. The
// descriptor goes even when the close fails, as the system's does. The
// read lease is looked at a last time before the close lets it go.
Reason end_source_reading(SourceFile* file) {
  bool fails = injected(FAULT_end_source_reading);
  bool lost = file->fd >= 0 && read_lease_lost(file);
  int result = file->fd >= 0 ? sys::close(file->fd) : 0;
  int error = errno;
  file->fd = -1;
  if (fails) return input_output_error();
  if (lost) return own_reason(REASON_IN_USE);
  return result != 0 && error != EINTR ? reason_from_errno(error) : done_reason();
}

// Through /proc the very file the hold is on is changed; an O_PATH
// descriptor takes no fchmod.
static Reason set_mode(SourceFile* file, unsigned mode) {
  if (sys::fchmodat(AT_FDCWD, self_path(file->hold).text, (mode_t)mode) != 0) return reason_from_errno(errno);
  return done_reason();
}

// Read-only is the owner-write bit missing; only that bit changes, and only
// in a file nobody changed since it was read. The change is the strip's
// own: the status change time it gives is the one the copy back expects.
Reason make_source_writable(SourceFile* file, const char*) {
  if (injected(FAULT_make_source_writable)) return input_output_error();
  if (!file->facts.write_protected) return done_reason();
  struct statx now;
  Reason why = read_status(file->hold, &now) ? done_reason() : reason_from_errno(errno);
  FileStamp changed = failed(why) ? file->facts.changed : stamp_of(now.stx_ctime);
  if (!failed(why) && (((now.stx_mode ^ file->mode) & 07777) != 0 || !same_stamp(&changed, &file->facts.changed)))
    why = own_reason(REASON_CHANGED);
  if (!failed(why)) why = set_mode(file, (file->mode & 07777) | S_IWUSR);
  file->mode_changed = !failed(why);
  if (!failed(why) && read_status(file->hold, &now)) file->facts.changed = stamp_of(now.stx_ctime);
  return why;
}

// Asked through the hold, of the very file that was read: a protected file
// is made writable first, which its owner may do.
Reason check_copy_back(SourceFile* file) {
  if (injected(FAULT_check_copy_back)) return input_output_error();
  bool owner = file->owner == effective_user();
  bool protected_file = file->facts.write_protected != 0;
  if (sys::faccessat(AT_FDCWD, self_path(file->hold).text, W_OK, AT_EACCESS) != 0 &&
      !(errno == EACCES && protected_file && owner))
    return reason_from_errno(errno == EACCES && protected_file ? EPERM : errno);
  return owner || sets_any_files_times() ? done_reason() : own_reason(REASON_TIMES);
}

// A mode its owner set meanwhile is theirs, and stays; set-ID bits the
// system dropped on a write are put back.
Reason restore_protection(SourceFile* file, const char*) {
  if (injected(FAULT_restore_protection)) return input_output_error();
  if (!file->mode_changed) return done_reason();
  struct statx now;
  Reason why = read_status(file->hold, &now) ? done_reason() : reason_from_errno(errno);
  if (!failed(why) && (now.stx_mode & 01777) == ((file->mode | S_IWUSR) & 01777))
    why = set_mode(file, mode_to_put_back(now.stx_mode, file->mode & 07777));
  file->mode_changed = failed(why);
  return why;
}

void close_source(SourceFile* file) {
  if (file->fd >= 0) sys::close(file->fd);
  if (file->hold >= 0) sys::close(file->hold);
  file->fd = -1;
  file->hold = -1;
}
