// Path resolution. Everything is reached through an O_PATH descriptor
// first, so what a path names is looked at before anything opens it, and a
// walk resolves its paths beneath the directory it lists, not afresh.
#include "posix_internal.h"

#include <cstdio>
#include <cstring>

// What statx is asked for about every file resolved.
static const unsigned STATUS_FIELDS = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_INO | STATX_SIZE |
                                      STATX_ATIME | STATX_MTIME | STATX_BTIME | STATX_BLOCKS;

static FileStamp stamp_of(const struct statx_timestamp& time) {
  FileStamp stamp = {time.tv_sec, (std::int32_t)time.tv_nsec};
  return stamp;
}

bool read_status(int fd, struct statx* status) { return sys::statx(fd, "", AT_EMPTY_PATH, STATUS_FIELDS, status) == 0; }

void facts_of(const struct statx* status, FileFacts* facts) {
  // Where the system keeps no creation time it reads as zero.
  FileStamp none = {0, 0};
  facts->identity.volume = ((std::uint64_t)status->stx_dev_major << 32) | status->stx_dev_minor;
  facts->identity.index = status->stx_ino;
  facts->size = status->stx_size;
  facts->links = status->stx_nlink;
  facts->times.created = (status->stx_mask & STATX_BTIME) != 0 ? stamp_of(status->stx_btime) : none;
  facts->times.accessed = stamp_of(status->stx_atime);
  facts->times.written = stamp_of(status->stx_mtime);
  facts->write_protected = (status->stx_mode & S_IWUSR) == 0;
  facts->attributes = status->stx_mode;
}

Reason open_walk_root(const char* pattern, WalkRoot* root) {
  const char* slash = std::strrchr(pattern, '/');
  size_t length = slash == nullptr ? 0 : slash == pattern ? 1 : (size_t)(slash - pattern);
  root->fd = -1;
  root->length = 0;
  root->text[0] = '\0';
  if (length >= PATH_CAPACITY) return own_reason(REASON_TOO_LONG);
  std::memcpy(root->text, pattern, length);
  root->text[length] = '\0';
  // A root named on the command line is followed as given, links included.
  root->fd = sys::open(length == 0 ? "." : root->text, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root->fd < 0) return reason_from_errno(errno);
  root->length = (unsigned)length;
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

// Opens relative below directory without following any symbolic link on
// the way; a link in the last place is opened as a link with O_NOFOLLOW.
static int open_beneath(int directory, const char* relative, int flags) {
  if (relative[0] == '\0') relative = ".";
  struct open_how how;
  std::memset(&how, 0, sizeof how);
  how.flags = (unsigned long long)(flags | O_CLOEXEC);
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd;
  do fd = sys::openat2(directory, relative, &how);
  while (fd < 0 && errno == EINTR);
  // Kernels before 5.6: the last component at least is never followed.
  if (fd < 0 && errno == ENOSYS) fd = sys::openat(directory, relative, flags | O_CLOEXEC | O_NOFOLLOW);
  return (int)fd;
}

// Follows the link that link_fd holds (found at relative below the root)
// to what it names, when the link is the running user's own, whoever owns
// that: another user's link could lead the run to files that user may not
// reach. The link's own text is read, so no swap of the link redirects it.
// link_fd is closed; -1 with errno else.
static int follow_own_link(const WalkRoot* root, int link_fd, const char* relative, struct statx* status) {
  char target[PATH_CAPACITY];
  char directory[PATH_CAPACITY];
  int directory_fd = root->fd;
  int fd = -1;
  int error = 0;
  ssize_t length = sys::readlinkat(link_fd, "", target, sizeof target - 1);
  const char* slash = std::strrchr(relative, '/');
  if (length < 0) error = errno;
  if (error == 0 && slash != nullptr) {
    std::memcpy(directory, relative, (size_t)(slash - relative));
    directory[slash - relative] = '\0';
    directory_fd = open_beneath(root->fd, directory, O_PATH | O_DIRECTORY);
    if (directory_fd < 0) error = errno;
  }
  if (error == 0) {
    target[length] = '\0';
    fd = sys::openat(directory_fd, target, O_PATH | O_CLOEXEC);
    if (fd < 0 || !read_status(fd, status)) error = errno;
  }
  if (error != 0 && fd >= 0) sys::close(fd);
  if (directory_fd != root->fd && directory_fd >= 0) sys::close(directory_fd);
  sys::close(link_fd);
  errno = error;
  return error != 0 ? -1 : fd;
}

int resolve_path(const WalkRoot* root, const char* path, struct statx* status, Reason* why) {
  const char* relative = below_root(root, path);
  int fd =
      relative != nullptr ? open_beneath(root->fd, relative, O_PATH | O_NOFOLLOW) : sys::open(path, O_PATH | O_CLOEXEC);
  if (fd >= 0 && !read_status(fd, status)) {
    int error = errno;
    sys::close(fd);
    errno = error;
    fd = -1;
  }
  *why = done_reason();
  if (fd >= 0 && relative != nullptr && S_ISLNK(status->stx_mode)) {
    if (status->stx_uid != effective_user()) {
      sys::close(fd);
      *why = own_reason(REASON_LINK_OWNER);
      return -1;
    }
    fd = follow_own_link(root, fd, relative, status);
  }
  if (fd < 0) *why = reason_from_errno(errno);
  return fd;
}

int open_directory(const WalkRoot* root, const char* path) {
  const char* relative = below_root(root, path);
  return relative != nullptr ? open_beneath(root->fd, relative, O_RDONLY | O_DIRECTORY)
                             : sys::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
