// The copy back: the very file that was read, reopened through its hold
// for reading and writing under a write lease, so that no other process
// has it open while its body goes back.
#include "posix_internal.h"

// Reopens the held file under the write lease, waiting out for a little
// while another process that has it open for a moment only, or a reader
// whose lease the open broke, which lets the file go at once.
static Reason open_leased(int hold, CopyBackTarget* target) {
  enum { LEASE_ATTEMPTS = 25 };
  Reason why = done_reason();
  for (int attempt = 1;; ++attempt) {
    target->fd = reopen_descriptor(hold, O_RDWR);
    why = target->fd < 0 ? reason_from_errno(errno) : take_write_lease(target->fd, target);
    if (!failed(why)) return why;
    if (target->fd >= 0) sys::close(target->fd);
    target->fd = -1;
    if (why.kind != REASON_IN_USE || attempt == LEASE_ATTEMPTS) return why;
    // A pause of its own length, so that two runs do not meet again.
    pause_for((unsigned)(1 + monotonic_nanoseconds() / 1000 % 5));
  }
}

// No path is resolved again: it is the file that was read, wherever its
// names are by now. Its facts are read under the lease.
Reason open_copy_back_target(SourceFile* source, const char*, CopyBackTarget* target) {
  target->fd = -1;
  target->leased = 0;
  target->lost = 0;
  if (injected(FAULT_open_copy_back_target)) return input_output_error();
  Reason why = open_leased(source->hold, target);
  struct statx status;
  if (!failed(why) && !read_status(target->fd, &status)) why = reason_from_errno(errno);
  if (failed(why)) return why;
  facts_of(&status, &target->facts);
  target->owner = status.stx_uid;
  target->block = status.stx_blksize;
  return why;
}

// The times go through the descriptor; nothing is written to a file whose
// lease may have run out.
static Reason stamp_times(CopyBackTarget* target, const FileTimes* times) {
  struct timespec stamps[2] = {timespec_of(times->accessed), timespec_of(times->written)};
  if (!lease_still_held(target, false)) return own_reason(REASON_LEASE_LOST);
  if (sys::futimens(target->fd, stamps) != 0)
    return errno == EPERM ? own_reason(REASON_TIMES) : reason_from_errno(errno);
  return done_reason();
}

// The owner may set a file's times to any value: for the owner's file no
// call is made. For another's the times are set, as the answer. A file the
// owner could not stamp (immutable, append-only) cannot be opened for
// writing in the first place.
Reason check_times_settable(CopyBackTarget* target, const FileTimes* times) {
  if (injected(FAULT_check_times_settable)) return input_output_error();
  if (target->owner == effective_user()) return done_reason();
  return stamp_times(target, times);
}

// A body that is at hand whole (a dense one the scan read with its
// header) is written from there, not read back from the body file.
Reason copy_body_back(CopyBackTarget* target, BodyFile* body, const void* ahead, unsigned ahead_length) {
  bool fail = injected(FAULT_copy_body_back);
  bool stop_halfway = injected(FAULT_copy_body_back_short);
  if (fail) return input_output_error();
  if (!lease_still_held(target, false)) return own_reason(REASON_LEASE_LOST);
  off_t wanted = (off_t)body->size;
  off_t limit = stop_halfway ? wanted / 2 : wanted;
  CopyJob job = {body->fd, target->fd,          0, 0, limit, (off_t)target->facts.size, body->holes != 0, false, target,
                 nullptr,  (off_t)target->block};
  bool at_hand = !body->holes && (off_t)ahead_length >= wanted;
  off_t copied = at_hand ? (write_all_at(target->fd, static_cast<const char*>(ahead), (size_t)limit, 0) ? limit : -1)
                         : copy_descriptor_bytes(&job);
  if (copied < 0) return reason_from_errno(errno);
  if (copied < wanted) return input_output_error();
  if (!lease_still_held(target, false)) return own_reason(REASON_LEASE_LOST);
  if (cut_to(target->fd, wanted) != 0) return reason_from_errno(errno);
  return done_reason();
}

// A file without set-ID bits keeps its mode through a write; one with them
// gets them back, through the very file, with the owner-write bit as the
// strip left it. Anyone but root loses them by writing. A mode the owner
// set meanwhile is theirs, and stays.
static bool put_back_mode(const SourceFile* file, int fd) {
  if ((file->mode & (S_ISUID | S_ISGID)) == 0) return true;
  unsigned mode = (file->mode & 07777) | (file->mode_changed ? S_IWUSR : 0);
  struct statx now;
  if (!read_status(fd, &now)) return false;
  if ((now.stx_mode & 01777) != (mode & 01777)) return true;
  return sys::fchmod(fd, (mode_t)mode_to_put_back(now.stx_mode, mode)) == 0;
}

// The close ends the copy back: a break that has not run out by now did
// not let anyone in, and a failed close may mean the bytes did not all
// reach the file.
Reason finish_copy_back(CopyBackTarget* target, SourceFile* source, const FileTimes* times, int* mode_lost) {
  *mode_lost = 0;
  if (injected(FAULT_finish_copy_back)) return input_output_error();
  *mode_lost = !put_back_mode(source, target->fd);
  Reason why = stamp_times(target, times);
  bool held = lease_still_held(target, false);
  int result = sys::close(target->fd);
  int error = errno;
  target->fd = -1;
  if (failed(why)) return why;
  if (!held) return own_reason(REASON_LEASE_LOST);
  return result != 0 && error != EINTR ? reason_from_errno(error) : done_reason();
}

void close_copy_back_target(CopyBackTarget* target) {
  if (target->fd >= 0) sys::close(target->fd);
  target->fd = -1;
}
