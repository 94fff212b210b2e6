// Path resolution. Everything is reached through an O_PATH descriptor
// first, so what a path names is looked at before anything opens it, and
// a walk resolves its paths from the directory it lists, not afresh.
#include "posix_internal.h"

#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

struct WalkRoot {
  int fd;         // the directory the walk lists; -1 while no walk runs
  size_t length;  // of its path text, as the walk's paths begin
  char text[PATH_CAPACITY];
};

static WalkRoot walk_root = {-1, 0, {0}};

void walk_root_end(void) {
  if (walk_root.fd >= 0) close(walk_root.fd);
  walk_root.fd = -1;
}

// A root named on the command line is followed as given, links included.
void walk_root_begin(const char* directory) {
  walk_root_end();
  size_t length = std::strlen(directory);
  if (length >= PATH_CAPACITY) return;
  int fd = open(length == 0 ? "." : directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  std::memcpy(walk_root.text, directory, length + 1);
  walk_root.length = length;
  walk_root.fd = fd;
}

// The part of path below the walk's root ("" for the root itself), or null
// when path is not below it.
static const char* below_root(const char* path) {
  if (walk_root.fd < 0) return nullptr;
  if (walk_root.length == 0) return path[0] == '/' ? nullptr : path;
  if (std::strncmp(path, walk_root.text, walk_root.length) != 0) return nullptr;
  const char* rest = path + walk_root.length;
  if (walk_root.text[walk_root.length - 1] != '/' && *rest != '/' && *rest != '\0') return nullptr;
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
  do fd = syscall(SYS_openat2, directory, relative, &how, sizeof how);
  while (fd < 0 && errno == EINTR);
  // Kernels before 5.6: the last component at least is never followed.
  if (fd < 0 && errno == ENOSYS) fd = openat(directory, relative, flags | O_CLOEXEC | O_NOFOLLOW);
  return (int)fd;
}

static bool status_of_descriptor(int fd, struct statx* status) {
  return statx(fd, "", AT_EMPTY_PATH, STATUS_FIELDS, status) == 0;
}

// Follows the link that link_fd holds (found at relative below the root)
// to what it names, when the link is the running user's own, whoever owns
// that; -1 with errno else, and nothing opened. Another user's link could
// lead the run to files that user may not reach. The link's own text is
// read, so no swap of the link can redirect it.
static int follow_own_link(int link_fd, const char* relative, struct statx* status) {
  char target[PATH_CAPACITY];
  char directory[PATH_CAPACITY];
  int directory_fd = walk_root.fd;
  int fd = -1;
  int error = 0;
  ssize_t length = -1;
  const char* slash = std::strrchr(relative, '/');
  if (status->stx_uid != effective_user()) {
    error = EACCES;
    goto done;
  }
  length = readlinkat(link_fd, "", target, sizeof target - 1);
  if (length < 0) {
    error = errno;
    goto done;
  }
  target[length] = '\0';
  if (slash != nullptr) {
    std::memcpy(directory, relative, (size_t)(slash - relative));
    directory[slash - relative] = '\0';
    directory_fd = open_beneath(walk_root.fd, directory, O_PATH | O_DIRECTORY);
    if (directory_fd < 0) {
      error = errno;
      goto done;
    }
  }
  fd = openat(directory_fd, target, O_PATH | O_CLOEXEC);
  if (fd < 0 || !status_of_descriptor(fd, status)) error = errno;
done:
  if (error != 0 && fd >= 0) close(fd);
  if (directory_fd != walk_root.fd && directory_fd >= 0) close(directory_fd);
  close(link_fd);
  errno = error;
  return error != 0 ? -1 : fd;
}

int resolve_path(LPCSTR path, struct statx* status) {
  const char* relative = below_root(path);
  int fd =
      relative != nullptr ? open_beneath(walk_root.fd, relative, O_PATH | O_NOFOLLOW) : open(path, O_PATH | O_CLOEXEC);
  if (fd >= 0 && !status_of_descriptor(fd, status)) {
    int error = errno;
    close(fd);
    errno = error;
    fd = -1;
  }
  bool link_of_another = false;
  if (fd >= 0 && relative != nullptr && S_ISLNK(status->stx_mode)) {
    link_of_another = status->stx_uid != geteuid();
    fd = follow_own_link(fd, relative, status);
  }
  if (fd < 0) set_last_error_from_errno(errno);
  if (fd < 0 && link_of_another) set_failure_reason(REASON_LINK_OWNER);
  return fd;
}

int open_directory(LPCSTR path) {
  const char* relative = below_root(path);
  int fd = relative != nullptr ? open_beneath(walk_root.fd, relative, O_RDONLY | O_DIRECTORY)
                               : open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) set_last_error_from_errno(errno);
  return fd;
}

SelfPath self_path(int fd) {
  SelfPath path;
  std::snprintf(path.text, sizeof path.text, "/proc/self/fd/%d", fd);
  return path;
}

static int open_uninterrupted(const char* path, int flags) {
  int fd;
  do fd = open(path, flags);
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
  flags |= O_CLOEXEC | O_NOCTTY;
  int fd = reading_only ? open_uninterrupted(name.text, flags | O_NOATIME) : -1;
  // Only the file's owner may keep its access time; others read as usual.
  if (!reading_only || (fd < 0 && errno == EPERM)) fd = open_uninterrupted(name.text, flags & ~O_NOATIME);
  return fd;
}
