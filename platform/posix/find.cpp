// Directory search: the text after the last separator is a wildcard
// pattern, the text before it the directory to list, beneath the walk's
// root when it lies below it.
#include "posix_internal.h"

#include <cstring>

// '*' matches any run of bytes, '?' any one byte; otherwise bytes match
// exactly, as the file system compares names.
static bool wildcard_match(const char* pattern, const char* name) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || *pattern == *name) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

// As on Windows, "*.*" takes names without a dot too.
static bool matches(const char* pattern, const char* name) {
  return std::strcmp(pattern, "*.*") == 0 || wildcard_match(pattern, name);
}

// What the entry, a link, leads to by the walk's own rules, found under
// the walk's path for it: one of another user's is not looked through,
// and one that cannot be followed gives -1, and opening it tells why.
static int open_link_target(const WalkSearch* search, const char* name, struct statx* status) {
  char path[PATH_CAPACITY];
  Reason why;
  int through_link = 0;
  std::memcpy(path, search->path, search->path_length);
  path[search->path_length] = '\0';
  if (!append_name(path, sizeof path, name)) return -1;
  return resolve_path(search->root, path, status, &why, &through_link);
}

// The entry's kind. The entry of a regular file or a directory is not
// looked at where the listing tells its type: the walk needs the type
// alone. A link is a link, and a directory when it leads to one by the
// walk's rules; a dangling one, or one the rules refuse, stays a link, and
// opening it as a file fails later. False when the entry vanished
// meanwhile; one that cannot be looked at is taken as a file, which
// opening it tells more of.
static bool describe_entry(const WalkSearch* search, const struct dirent* found, WalkEntry* entry) {
  std::strcpy(entry->name, found->d_name);
  entry->plain = 1;
  entry->link = 0;
  entry->directory = found->d_type == DT_DIR;
  if (found->d_type == DT_REG || found->d_type == DT_DIR) return true;
  struct statx status;
  if (sys::statx(search->at, found->d_name, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &status) != 0) return errno != ENOENT;
  entry->link = S_ISLNK(status.stx_mode);
  int fd = entry->link ? open_link_target(search, found->d_name, &status) : -1;
  if (entry->link && fd < 0) return true;
  if (fd >= 0) sys::close(fd);
  entry->directory = S_ISDIR(status.stx_mode);
  return true;
}

// Names are the bytes the file system holds: no code page bends them, and
// a link is followed by the rules of the resolution.
int entry_name_is_plain(const char*, int) { return 1; }

// The next entry that matches, LISTED_ALL at the end of the directory.
static int next_match(WalkSearch* search, WalkEntry* entry, Reason* why) {
  for (;;) {
    errno = 0;
    struct dirent* found = sys::getdents(static_cast<DIR*>(search->directory));
    if (found == nullptr && errno != 0) *why = reason_from_errno(errno);
    if (found == nullptr) return errno != 0 ? LIST_FAILED : LISTED_ALL;
    if (!matches(search->pattern, found->d_name)) continue;
    // No name is passed over unseen: one too long to hold breaks the listing off.
    if (std::strlen(found->d_name) >= ENTRY_NAME_CAPACITY) return *why = reason_from_errno(ENAMETOOLONG), LIST_FAILED;
    if (describe_entry(search, found, entry)) return LISTED_ENTRY;
  }
}

// The file system and the mount of what name names at the directory at;
// *automount: it is a point where another is mounted on demand.
static bool place_of(int at, const char* name, int flags, std::uint64_t* device, std::uint64_t* mount,
                     bool* automount = nullptr) {
  struct statx status;
  if (sys::statx(at, name, flags, STATX_TYPE | STATX_MNT_ID, &status) != 0) return false;
  *device = device_of(&status);
  *mount = mount_of(&status);
  if (automount != nullptr)
    *automount = (status.stx_attributes & status.stx_attributes_mask & STATX_ATTR_AUTOMOUNT) != 0;
  return true;
}

int first_entry(const WalkRoot* root, const char* pattern, WalkSearch* search, WalkEntry* entry, Reason* why) {
  search->directory = nullptr;
  *why = done_reason();
  // A stop was asked for: the walk unwinds before its next entry.
  if (stop_requested()) return LISTED_ALL;
  if (injected(FAULT_first_entry)) return *why = input_output_error(), LIST_FAILED;
  const char* slash = std::strrchr(pattern, '/');
  const char* last = slash != nullptr ? slash + 1 : pattern;
  size_t last_length = std::strlen(last);
  size_t length = directory_length(pattern);
  char directory[PATH_CAPACITY];
  if (last_length == 0 || last_length >= sizeof search->pattern || length >= PATH_CAPACITY)
    return *why = reason_from_errno(last_length == 0 ? ENOENT : ENAMETOOLONG), LIST_FAILED;
  std::memcpy(directory, pattern, length);
  directory[length] = '\0';
  search->at = open_directory(root, length == 0 ? "." : directory, O_RDONLY);
  // Listing it keeps its access time where the system allows, as reading
  // a file does.
  if (search->at >= 0) sys::fcntl(search->at, F_SETFL, O_NOATIME);
  DIR* listing = search->at >= 0 ? fdopendir(search->at) : nullptr;
  if (listing == nullptr) {
    *why = reason_from_errno(errno);
    if (search->at >= 0) sys::close(search->at);
    return LIST_FAILED;
  }
  search->directory = listing;
  search->placed = 0;
  search->root = root;
  search->path = pattern;
  search->path_length = (unsigned)length;
  std::memcpy(search->pattern, last, last_length + 1);
  // As a search that finds nothing does on Windows, nothing matched fails.
  int listed = next_match(search, entry, why);
  if (listed == LISTED_ALL && !stop_requested()) *why = reason_from_errno(ENOENT);
  return listed == LISTED_ALL && !stop_requested() ? LIST_FAILED : listed;
}

int next_entry(WalkSearch* search, WalkEntry* entry, Reason* why) {
  *why = done_reason();
  if (stop_requested()) return LISTED_ALL;
  if (injected(FAULT_next_entry)) return *why = input_output_error(), LIST_FAILED;
  return next_match(search, entry, why);
}

// A directory or a file mounted here from the same file system has a
// mount of its own; a link is looked at where it leads, by the rules of
// the walk's links: another user's is not looked through, and opening it
// refuses it. Gone meanwhile: opening it tells. An automount point is
// told without mounting it, and a mount point that refuses to be looked
// at (another user's FUSE mount) by refusing to be crossed.
int entry_on_other_file_system(WalkSearch* search, const WalkEntry* entry) {
  std::uint64_t device = 0;
  std::uint64_t mount = 0;
  struct statx status;
  if (!search->placed && !place_of(search->at, "", AT_EMPTY_PATH, &search->device, &search->mount))
    search->device = search->mount = 0;
  search->placed = 1;
  int fd = entry->link ? open_link_target(search, entry->name, &status) : -1;
  if (entry->link && fd < 0) return 0;
  bool automount = false;
  bool placed =
      fd >= 0 ? place_of(fd, "", AT_EMPTY_PATH, &device, &mount)
              : place_of(search->at, entry->name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, &device, &mount, &automount);
  if (fd >= 0) sys::close(fd);
  if (!placed && fd < 0 && errno != ENOENT) {
    fd = open_beneath(search->at, entry->name, O_PATH | O_NOFOLLOW, true);
    if (fd >= 0) sys::close(fd);
    return fd < 0 && errno == EXDEV;
  }
  // A directory on another device of the same mount (a subvolume) is
  // another file system to walk into, as a file of an overlay is not.
  bool directory = !entry->link && entry->directory;
  return placed && (automount || elsewhere(device, mount, search->device, search->mount) ||
                    (directory && device != search->device));
}

void end_search(WalkSearch* search) {
  if (search->directory != nullptr) closedir(static_cast<DIR*>(search->directory));
  search->directory = nullptr;
}
