// Path resolution. Everything is reached through an O_PATH descriptor
// first, so what a path names is looked at before anything opens it, and a
// walk resolves its paths beneath the directory it lists, not afresh.
#include "posix_internal.h"

#include <cstdio>
#include <cstring>

// What statx is asked for about every file resolved.
static const unsigned STATUS_FIELDS = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_INO | STATX_SIZE |
                                      STATX_ATIME | STATX_MTIME | STATX_CTIME | STATX_BTIME | STATX_BLOCKS |
                                      STATX_MNT_ID;

bool read_status(int fd, struct statx* status) { return sys::statx(fd, "", AT_EMPTY_PATH, STATUS_FIELDS, status) == 0; }

std::uint64_t device_of(const struct statx* status) {
  return ((std::uint64_t)status->stx_dev_major << 32) | status->stx_dev_minor;
}

std::uint64_t mount_of(const struct statx* status) {
  return (status->stx_mask & STATX_MNT_ID) != 0 ? status->stx_mnt_id : 0;
}

void facts_of(const struct statx* status, FileFacts* facts) {
  // Where the system keeps no creation time it reads as zero.
  FileStamp none = {0, 0};
  facts->identity.volume = device_of(status);
  facts->identity.index = status->stx_ino;
  facts->identity.birth = (status->stx_mask & STATX_BTIME) != 0
                              ? (std::uint64_t)status->stx_btime.tv_sec * 1000000000u + status->stx_btime.tv_nsec
                              : 0;
  facts->size = status->stx_size;
  facts->links = status->stx_nlink;
  facts->times.created = (status->stx_mask & STATX_BTIME) != 0 ? stamp_of(status->stx_btime) : none;
  facts->times.accessed = stamp_of(status->stx_atime);
  facts->times.written = stamp_of(status->stx_mtime);
  facts->changed = stamp_of(status->stx_ctime);
  facts->write_protected = (status->stx_mode & S_IWUSR) == 0;
  facts->attributes = status->stx_mode;
}

Reason open_walk_root(const char* pattern, int one_file_system, WalkRoot* root) {
  size_t length = directory_length(pattern);
  struct statx status;
  root->fd = -1;
  root->one_file_system = one_file_system;
  root->length = 0;
  root->text[0] = '\0';
  if (length >= PATH_CAPACITY) return own_reason(REASON_TOO_LONG);
  std::memcpy(root->text, pattern, length);
  root->text[length] = '\0';
  // A root named on the command line is followed as given, links included.
  root->fd = sys::open(length == 0 ? "." : root->text, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root->fd < 0) return reason_from_errno(errno);
  root->length = (unsigned)length;
  if (one_file_system && !read_status(root->fd, &status)) return reason_from_errno(errno);
  if (one_file_system) root->device = device_of(&status);
  if (one_file_system) root->mount = mount_of(&status);
  return done_reason();
}

void close_walk_root(WalkRoot* root) {
  if (root->fd >= 0) sys::close(root->fd);
  root->fd = -1;
}

// The part of path below the walk's root ("" for the root itself), or null
// when path is not below it.
static const char* below_root(const WalkRoot* root, const char* path) {
  if (root == nullptr || root->fd < 0) return nullptr;
  if (root->length == 0) return path[0] == '/' ? nullptr : path;
  if (std::strncmp(path, root->text, root->length) != 0) return nullptr;
  const char* rest = path + root->length;
  if (root->text[root->length - 1] != '/' && *rest != '/' && *rest != '\0') return nullptr;
  while (*rest == '/') ++rest;
  return rest;
}

int open_beneath(int directory, const char* relative, int flags, bool stay) {
  if (relative[0] == '\0') relative = ".";
  struct open_how how;
  std::memset(&how, 0, sizeof how);
  how.flags = (unsigned long long)(flags | O_CLOEXEC);
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | (stay ? RESOLVE_NO_XDEV : 0);
  long fd;
  do fd = sys::openat2(directory, relative, &how);
  while (fd < 0 && errno == EINTR);
  // Kernels before 5.6: the last component at least is never followed.
  if (fd < 0 && errno == ENOSYS) fd = sys::openat(directory, relative, flags | O_CLOEXEC | O_NOFOLLOW);
  return (int)fd;
}

// Where the walk of a link's text stands, by path: below the walk's root,
// the path from the root's descriptor; above it, or after an absolute text,
// the path from "/". A ".." goes back along that path, through no link,
// never through the directory itself, which another user may have moved
// meanwhile; and a path too long to keep fails the walk.
struct LinkStart {
  int anchor;  // the root's descriptor; -1: "/"
  int directory;
  char place[PATH_CAPACITY];
};

// The directory one up from where the walk of a link's text stands.
static int open_parent(LinkStart* start) {
  if (start->anchor >= 0 && start->place[0] == '\0') {
    // Above the root: the root's own path from "/" takes over.
    ssize_t length = sys::readlinkat(AT_FDCWD, self_path(start->anchor).text, start->place, sizeof start->place);
    if (length <= 0 || start->place[0] != '/' || length == (ssize_t)sizeof start->place) {
      errno = length < 0 ? errno : ENAMETOOLONG;
      return -1;
    }
    start->place[length] = '\0';
    start->anchor = -1;
  }
  char* slash = std::strrchr(start->place, '/');
  if (slash == nullptr) start->place[0] = '\0';
  if (slash != nullptr) slash[slash == start->place ? 1 : 0] = '\0';
  return open_beneath(start->anchor >= 0 ? start->anchor : AT_FDCWD, start->place, O_PATH | O_DIRECTORY);
}

// Opens what path, a link's text, names from start's directory, one name at
// a time. A link met on the way is followed only when the running user or
// the superuser owns it: another user's link could lead the run to files
// that user may not reach. start's directory is closed; -1 with *why else.
static int follow_link_text(LinkStart* start, char* path, struct statx* status, Reason* why) {
  char name[PATH_CAPACITY];
  size_t at = 0;
  unsigned links = 1;
  int fd = start->directory;
  *why = done_reason();
  while (fd >= 0 && !failed(*why)) {
    if (at == 0 && path[0] == '/') {
      sys::close(fd);
      fd = sys::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
      start->anchor = -1;
      std::strcpy(start->place, "/");
    }
    while (path[at] == '/') ++at;
    size_t length = std::strcspn(path + at, "/");
    if (fd < 0 || length == 0) break;
    std::memcpy(name, path + at, length);
    name[length] = '\0';
    at += length;
    if (std::strcmp(name, ".") == 0) continue;
    bool up = std::strcmp(name, "..") == 0;
    int next = up ? open_parent(start) : sys::openat(fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 || !read_status(next, status)) *why = reason_from_errno(errno);
    bool link = !failed(*why) && S_ISLNK(status->stx_mode);
    // Only a directory has names below it, as the system would say.
    if (!failed(*why) && !link && !S_ISDIR(status->stx_mode) && path[at] != '\0') *why = reason_from_errno(ENOTDIR);
    if (link) {
      // The link's text takes its place in what is left to follow.
      ssize_t text = sys::readlinkat(next, "", name, sizeof name);
      size_t rest = std::strlen(path + at);
      if (status->stx_uid != effective_user() && status->stx_uid != 0)
        *why = own_reason(REASON_LINK_OWNER);
      else if (text < 0)
        *why = reason_from_errno(errno);
      else if (++links > 40)
        *why = reason_from_errno(ELOOP);
      else if ((size_t)text + rest >= PATH_CAPACITY)
        *why = own_reason(REASON_TOO_LONG);
      if (!failed(*why)) {
        std::memmove(path + text, path + at, rest + 1);
        std::memcpy(path, name, (size_t)text);
        at = 0;
      }
    }
    // Gone down into name: its path is kept, for a ".." to go back by.
    if (!failed(*why) && !link && !up && !append_name(start->place, sizeof start->place, name))
      *why = own_reason(REASON_TOO_LONG);
    if (next >= 0 && (link || failed(*why))) sys::close(next);
    if (!failed(*why) && !link) {
      sys::close(fd);
      fd = next;
    }
  }
  if (fd < 0 && !failed(*why)) *why = reason_from_errno(errno);
  if (!failed(*why) && !read_status(fd, status)) *why = reason_from_errno(errno);
  if (failed(*why) && fd >= 0) sys::close(fd);
  return failed(*why) ? -1 : fd;
}

// Follows the link that link_fd holds (status its facts), found at
// relative below the root. Its directory is opened beneath the root and
// must still hold that very link, whose own text is then followed from
// there: no swap of the link or its directory redirects it. link_fd is
// closed; -1 with *why else.
static int follow_own_link(const WalkRoot* root, int link_fd, const char* relative, struct statx* status, Reason* why) {
  char text[PATH_CAPACITY];
  LinkStart start;
  const char* slash = std::strrchr(relative, '/');
  size_t length = slash == nullptr ? 0 : (size_t)(slash - relative);
  start.anchor = root->fd;
  std::memcpy(start.place, relative, length);
  start.place[length] = '\0';
  struct statx found;
  ssize_t text_length = sys::readlinkat(link_fd, "", text, sizeof text - 1);
  start.directory =
      text_length < 0 ? -1 : open_beneath(root->fd, start.place, O_PATH | O_DIRECTORY, root->one_file_system);
  *why = start.directory < 0 ? reason_from_errno(errno) : done_reason();
  if (!failed(*why) &&
      sys::statx(start.directory, slash == nullptr ? relative : slash + 1, AT_SYMLINK_NOFOLLOW, STATX_INO, &found) != 0)
    *why = reason_from_errno(errno);
  if (!failed(*why) && (found.stx_ino != status->stx_ino || found.stx_dev_major != status->stx_dev_major ||
                        found.stx_dev_minor != status->stx_dev_minor))
    *why = own_reason(REASON_CHANGED);
  sys::close(link_fd);
  if (failed(*why) && start.directory >= 0) sys::close(start.directory);
  if (failed(*why)) return -1;
  text[text_length] = '\0';
  return follow_link_text(&start, text, status, why);
}

int resolve_path(const WalkRoot* root, const char* path, struct statx* status, Reason* why, int* through_link) {
  const char* relative = below_root(root, path);
  int fd = relative != nullptr ? open_beneath(root->fd, relative, O_PATH | O_NOFOLLOW, root->one_file_system)
                               : sys::open(path, O_PATH | O_CLOEXEC);
  if (fd >= 0 && !read_status(fd, status)) {
    int error = errno;
    sys::close(fd);
    errno = error;
    fd = -1;
  }
  *why = done_reason();
  *through_link = fd >= 0 && relative != nullptr && S_ISLNK(status->stx_mode);
  if (*through_link) {
    if (status->stx_uid != effective_user()) {
      sys::close(fd);
      *why = own_reason(REASON_LINK_OWNER);
      return -1;
    }
    return follow_own_link(root, fd, relative, status, why);
  }
  if (fd < 0) *why = reason_from_errno(errno);
  return fd;
}

int open_directory(const WalkRoot* root, const char* path, int flags) {
  const char* relative = below_root(root, path);
  return relative != nullptr ? open_beneath(root->fd, relative, flags | O_DIRECTORY, root->one_file_system)
                             : sys::open(path, flags | O_DIRECTORY | O_CLOEXEC);
}

SelfPath self_path(int fd) {
  SelfPath path;
  std::snprintf(path.text, sizeof path.text, "/proc/self/fd/%d", fd);
  return path;
}

static int open_uninterrupted(const char* path, int flags) {
  int fd;
  do fd = sys::open(path, flags);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// Through /proc the very file the descriptor holds is opened, so nothing
// can be swapped in between; it fails where /proc is not mounted. Reading
// alone leaves the file's access time as it was where the system allows
// it: for the file's owner, or with CAP_FOWNER.
int reopen_descriptor(int path_fd, int flags) {
  SelfPath name = self_path(path_fd);
  bool reading_only = (flags & O_ACCMODE) == O_RDONLY;
  flags |= O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int fd = reading_only ? open_uninterrupted(name.text, flags | O_NOATIME) : -1;
  if (!reading_only || (fd < 0 && errno == EPERM)) fd = open_uninterrupted(name.text, flags);
  return fd;
}
