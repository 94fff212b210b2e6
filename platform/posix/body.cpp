// The body file: made once under a name drawn from the system's random
// source and then serving the strips of one worker one after another, so
// that a small file costs no creation, link or deletion in the temporary
// directory. Its mode tells its state: read-only while it is filled, and
// readable and writable once it holds a whole body, stamped with its
// file's times. A run deletes only the files it made.
#include "posix_internal.h"

#include <cstdlib>
#include <cstring>

// A name is "BCT", six random letters and digits, and ".tmp".
static const char NAME_PATTERN[] = "BCTXXXXXX.tmp";
enum { NAME_RANDOM = 6 };
static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
enum : mode_t { BEING_FILLED = 0400, WHOLE = 0600 };
// A body file that held more is deleted once its strip is done rather than
// kept for the next: the room is given back to the temporary directory.
enum : FileSize { LARGEST_KEPT_FOR_NEXT = 1 << 20 };

// $TMPDIR, else /tmp, always ending in a separator.
void find_temporary_directory(TemporaryDirectory* directory) {
  const char* from = std::getenv("TMPDIR");
  if (from == nullptr || from[0] == '\0') from = "/tmp";
  size_t length = std::strlen(from);
  directory->fd = -1;
  directory->length = 0;
  directory->path[0] = '\0';
  directory->failure = own_reason(REASON_TOO_LONG);
  directory->failure.temporary = 1;
  directory->identity = FileIdentity{0, 0, 0};
  // The names' bytes are ready even when the directory is not.
  lock_begin(&directory->names.lock);
  directory->names.used = sizeof directory->names.bytes;
  if (length + 1 + sizeof NAME_PATTERN > PATH_CAPACITY) return;
  std::memcpy(directory->path, from, length);
  if (directory->path[length - 1] != '/') directory->path[length++] = '/';
  directory->path[length] = '\0';
  directory->length = (unsigned)length;
  directory->fd = sys::open(directory->path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  // Its identity tells its files in a walk: without it, none is made.
  struct statx status;
  FileFacts facts = {};
  if (directory->fd >= 0 && !read_status(directory->fd, &status)) {
    int error = errno;
    sys::close(directory->fd);
    directory->fd = -1;
    errno = error;
  }
  if (directory->fd >= 0) facts_of(&status, &facts);
  directory->identity = facts.identity;
  directory->failure = directory->fd < 0 ? reason_from_errno_on_temporary(errno) : done_reason();
}

void close_temporary_directory(TemporaryDirectory* directory) {
  if (directory->fd >= 0) sys::close(directory->fd);
  lock_end(&directory->names.lock);
  directory->fd = -1;
}

// Eight random bytes, never given twice; false with errno when the system
// gives none.
static bool random_bits(NameBytes* randomness, std::uint64_t* bits) {
  bool drawn = true;
  lock_take(&randomness->lock);
  if (randomness->used + sizeof *bits > sizeof randomness->bytes) {
    ssize_t got;
    do got = sys::getrandom(randomness->bytes, sizeof randomness->bytes, 0);
    while (got < 0 && errno == EINTR);
    drawn = got == (ssize_t)sizeof randomness->bytes;
    if (drawn) randomness->used = 0;
    if (got >= 0 && !drawn) errno = EAGAIN;
  }
  if (drawn) std::memcpy(bits, randomness->bytes + randomness->used, sizeof *bits);
  if (drawn) randomness->used += sizeof *bits;
  lock_release(&randomness->lock);
  return drawn;
}

// Draws the random letters of the name anew, in place; 62 to the 6th is far
// below 2 to the 64th, so the remainders are as good as even.
static Reason draw_name(BodyFile* body) {
  std::uint64_t bits = 0;
  if (!random_bits(&body->from->names, &bits)) return reason_from_errno_on_temporary(errno);
  char* at = body->name + body->base + 3;
  for (int i = 0; i < NAME_RANDOM; ++i, bits /= sizeof letters - 1) at[i] = letters[bits % (sizeof letters - 1)];
  return done_reason();
}

// Whether name has the form NAME_PATTERN gives.
static bool has_body_file_name(const char* name) {
  if (std::strlen(name) != sizeof NAME_PATTERN - 1 || std::strncmp(name, NAME_PATTERN, 3) != 0) return false;
  for (int i = 3; i < 3 + NAME_RANDOM; ++i)
    if (name[i] == '\0' || std::strchr(letters, name[i]) == nullptr) return false;
  return std::strcmp(name + 3 + NAME_RANDOM, NAME_PATTERN + 3 + NAME_RANDOM) == 0;
}

// Told by its name and its directory alone, before it is opened: a body
// file may be filled, or deleted, by another worker meanwhile. The
// directory is reached as the walk reaches it, through no link. Where it
// cannot be reached (no descriptor left), the file may be a kept body: it
// counts as one, and *unknown says why it could not be told.
bool is_body_file(const TemporaryDirectory* directory, const WalkRoot* root, const char* path, Reason* unknown) {
  char parent[PATH_CAPACITY];
  const char* slash = std::strrchr(path, '/');
  size_t length = directory_length(path);
  struct statx status;
  FileFacts facts = {};
  *unknown = done_reason();
  if (directory->fd < 0 || !has_body_file_name(slash == nullptr ? path : slash + 1)) return false;
  std::memcpy(parent, length == 0 ? "." : path, length == 0 ? 1 : length);
  parent[length == 0 ? 1 : length] = '\0';
  int fd = open_directory(root, parent, O_PATH);
  bool known = fd >= 0 && read_status(fd, &status);
  if (!known) *unknown = reason_from_errno(errno);
  if (known) facts_of(&status, &facts);
  if (fd >= 0) sys::close(fd);
  return !known || same_identity(&facts.identity, &directory->identity);
}

void begin_body_file(const TemporaryDirectory* directory, BodyFile* body) {
  body->fd = -1;
  body->holes = 0;
  body->size = 0;
  body->from = directory;
  body->directory = directory->fd;
  body->base = directory->length;
  body->name[0] = '\0';
}

// A file held from an earlier strip keeps its name.
Reason choose_body_name(const TemporaryDirectory* directory, BodyFile* body) {
  if (injected(FAULT_choose_body_name)) return reason_from_errno_on_temporary(EIO);
  if (body->fd >= 0) return done_reason();
  if (directory->fd < 0) return directory->failure;
  std::memcpy(body->name, directory->path, directory->length);
  std::memcpy(body->name + directory->length, NAME_PATTERN, sizeof NAME_PATTERN);
  return draw_name(body);
}

#if BODYCUT_FAULT_INJECTION
// Puts a file that is not the run's at the body's name, as another
// process might just before the run claims that name.
static void take_name_first(const BodyFile* body) {
  static const char text[] = "another's file\n";
  int fd = ::openat(body->directory, body->name + body->base, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0 && ::write(fd, text, sizeof text - 1) < 0) errno = EIO;
  if (fd >= 0) ::close(fd);
}
#endif

// The name is claimed only while no file has it; a name another file has
// is drawn anew, a few times over. The file is born read-only: it holds no
// whole body yet.
static int make_named(BodyFile* body) {
  enum { NAME_ATTEMPTS = 8 };
  for (int attempt = 1;; ++attempt) {
#if BODYCUT_FAULT_INJECTION
    if (injected(FAULT_body_name_taken)) take_name_first(body);
#endif
    body->fd = sys::openat(body->directory, body->name + body->base, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           BEING_FILLED);
    // The copy back reads it: a kept body keeps the file's access time.
    // Asked once the file is the run's, where a refusal costs nothing.
    if (body->fd >= 0) sys::fcntl(body->fd, F_SETFL, O_NOATIME);
    if (body->fd >= 0 || errno != EEXIST || attempt == NAME_ATTEMPTS || failed(draw_name(body))) return body->fd;
  }
}

// From then on the file is not the run's body file.
static void let_go(BodyFile* body) {
  sys::close(body->fd);
  body->fd = -1;
  body->size = 0;
}

// Whether the name no longer names the file held: another process (a
// cleaner of old temporary files) removed it, or put another file there.
static bool name_lost(const BodyFile* body, struct statx* held) {
  struct statx named;
  FileFacts held_facts;
  FileFacts named_facts;
  if (!read_status(body->fd, held)) return false;
  if (sys::statx(body->directory, body->name + body->base, AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &named) != 0)
    return errno == ENOENT;
  facts_of(held, &held_facts);
  facts_of(&named, &named_facts);
  return !same_identity(&held_facts.identity, &named_facts.identity);
}

// Deletes the file the run made at the name, and lets it go. A name that
// no longer names it is left alone; where the run's file lives on under
// another (another process moved it), it is emptied and its name told.
static Reason delete_body_file(BodyFile* body) {
  Reason why = done_reason();
  struct statx held;
  bool deletion_fails = injected(FAULT_close_body_file);
  bool lost = !deletion_fails && name_lost(body, &held);
  if (deletion_fails || (!lost && sys::unlinkat(body->directory, body->name + body->base, 0) != 0))
    why = reason_from_errno_on_temporary(deletion_fails ? EIO : errno);
  if (lost && held.stx_nlink > 0) why = reason_from_errno_on_temporary(sys::ftruncate(body->fd, 0) ? errno : EEXIST);
  let_go(body);
  return why;
}

// A file held from an earlier strip is marked as being filled before its
// first byte changes; where its mode cannot change it is given up for a
// new one.
Reason create_body_file(const TemporaryDirectory*, BodyFile* body) {
  if (injected(FAULT_create_body_file)) return reason_from_errno_on_temporary(EIO);
  if (body->fd >= 0 && sys::fchmod(body->fd, BEING_FILLED) != 0) {
    Reason gone = delete_body_file(body);
    if (failed(gone)) return gone;
    Reason drawn = draw_name(body);
    if (failed(drawn)) return drawn;
  }
  if (body->fd < 0 && make_named(body) < 0) return reason_from_errno_on_temporary(errno);
  return done_reason();
}

// A stop gives the copy up: the file is still marked as being filled. A
// sparse file's bytes are all copied by its data, so that its holes stay.
Reason fill_body_file(BodyFile* body, SourceFile* source, FileSize offset, const void* ahead, unsigned ahead_length) {
  if (injected(FAULT_fill_body_file)) return reason_from_errno_on_temporary(EIO);
  if (read_lease_lost(source)) return own_reason(REASON_IN_USE);
  off_t before = (off_t)body->size;  // what an earlier body left
  off_t wanted = source->facts.size > offset ? (off_t)(source->facts.size - offset) : 0;
  off_t written = source->holes || ahead_length == 0 ? 0 : ahead_length < wanted ? (off_t)ahead_length : wanted;
  // Until the fill ends the file may hold up to the larger of the two.
  body->size = (FileSize)(wanted > before ? wanted : before);
  body->holes = source->holes;
  if (written > 0 && !write_all_at(body->fd, static_cast<const char*>(ahead), (size_t)written, 0))
    return reason_from_errno_on_temporary(errno);
  CopyJob job = {source->fd,
                 body->fd,
                 (off_t)offset + written,
                 written,
                 wanted - written,
                 written > before ? written : before,
                 source->holes != 0,
                 true,
                 nullptr,
                 source};
  off_t copied = copy_descriptor_bytes(&job);
  if (copied < 0) return read_lease_lost(source) ? own_reason(REASON_IN_USE) : reason_from_errno_on_temporary(errno);
  copied += written;
  // What an earlier body left past this one's end goes.
  if (copied < before && sys::ftruncate(body->fd, copied) != 0) return reason_from_errno_on_temporary(errno);
  body->size = (FileSize)copied;
  // Some file systems report the end early: fewer bytes is a failed copy.
  return copied < wanted ? reason_from_errno_on_temporary(EIO) : done_reason();
}

// Stamps the file held with times and marks it whole. The creation time
// cannot be set here; it is left as the system keeps it.
static bool mark_whole(const BodyFile* body, const FileTimes* times) {
  struct timespec stamps[2] = {timespec_of(times->accessed), timespec_of(times->written)};
  return sys::futimens(body->fd, stamps) == 0 && sys::fchmod(body->fd, WHOLE) == 0;
}

Reason keep_body_file(BodyFile* body, const FileTimes* times) {
  if (injected(FAULT_keep_body_file)) return reason_from_errno_on_temporary(EIO);
  if (requested_stop_signal() != 0) return own_reason(REASON_STOPPED);
  return mark_whole(body, times) ? done_reason() : reason_from_errno_on_temporary(errno);
}

// Copies the whole body into a new file under a new name, whole and with
// the times the one held carries; the one held goes. On failure nothing
// is held.
static Reason keep_under_new_name(BodyFile* body, const struct statx* held) {
  FileFacts facts;
  facts_of(held, &facts);
  int from = body->fd;
  Reason why = draw_name(body);
  if (!failed(why) && make_named(body) < 0) why = reason_from_errno_on_temporary(errno);
  CopyJob job = {from, body->fd, 0, 0, (off_t)body->size, 0, body->holes != 0, false, nullptr, nullptr};
  errno = EIO;
  if (!failed(why) && (copy_descriptor_bytes(&job) != (off_t)body->size || !mark_whole(body, &facts.times)))
    why = reason_from_errno_on_temporary(errno);
  if (failed(why) && body->fd >= 0) sys::unlinkat(body->directory, body->name + body->base, 0);
  if (failed(why) && body->fd >= 0) sys::close(body->fd);
  if (failed(why)) body->fd = -1;
  sys::close(from);
  return why;
}

// A body the run may need stays whole at a name, and is no longer the
// run's; one that is no longer needed stays for the worker's next strip
// unless it is large.
Reason close_body_file(BodyFile* body, int delete_it) {
  Reason why = done_reason();
  struct statx held;
  if (body->fd >= 0 && !delete_it && name_lost(body, &held)) why = keep_under_new_name(body, &held);
  if (body->fd >= 0 && !delete_it) let_go(body);
  if (body->fd >= 0 && body->size > LARGEST_KEPT_FOR_NEXT) why = delete_body_file(body);
  return why;
}

Reason end_body_file(BodyFile* body) { return body->fd >= 0 ? delete_body_file(body) : done_reason(); }
