// Directory search: the text after the last separator is a wildcard
// pattern, the text before it the directory to list.
#include "posix_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

// One search per level of a walk, and a walk is at most this deep: every
// level adds at least one name byte and a separator to the path.
enum { SEARCH_POOL_SIZE = PATH_CAPACITY / 2 + 2 };

struct SearchObject {
  DIR* directory;
  char pattern[MAX_PATH];
  dev_t device;         // the file system of the directory listed
  std::uint64_t mount;  // its mount, 0 where the kernel does not tell
};

static SearchObject search_pool[SEARCH_POOL_SIZE];
static int open_searches = 0;  // the first one opened names the walk's root

static SearchObject* search_object(HANDLE handle) {
  std::uintptr_t offset = (std::uintptr_t)handle - (std::uintptr_t)search_pool;
  if (offset >= sizeof search_pool || offset % sizeof(SearchObject) != 0) return nullptr;
  SearchObject* search = &search_pool[offset / sizeof(SearchObject)];
  return search->directory != nullptr ? search : nullptr;
}

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

static bool matches(const char* pattern, const char* name) {
  // As on Windows, "*.*" takes names without a dot too.
  if (std::strcmp(pattern, "*.*") == 0) return true;
  return wildcard_match(pattern, name);
}

// The mount that what name names at the directory at lies on; 0 where
// the kernel does not tell.
static std::uint64_t mount_of(int at, const char* name, int flags) {
  struct statx status;
  if (statx(at, name, flags | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &status) != 0) return 0;
  return (status.stx_mask & STATX_MNT_ID) != 0 ? status.stx_mnt_id : 0;
}

// Fills the record for one entry; false when it vanished meanwhile. The
// entry of a regular file or a directory is not looked at where the
// listing tells its type: the walk needs the type alone, and whether it
// lies on another file system only with -x.
static bool describe_entry(const SearchObject* search, const struct dirent* entry, WIN32_FIND_DATAA* found) {
  const char* name = entry->d_name;
  int at = dirfd(search->directory);
  std::memset(found, 0, sizeof *found);
  found->listed_at = at;
  found->listed_device = search->device;
  found->listed_mount = search->mount;
  if (entry->d_type == DT_REG || entry->d_type == DT_DIR) {
    found->dwFileAttributes = entry->d_type == DT_DIR ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    found->on_other_file_system = -1;
    std::strcpy(found->cFileName, name);
    return true;
  }
  struct stat status;
  if (fstatat(at, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
  DWORD reparse = 0;
  if (S_ISLNK(status.st_mode)) {
    struct stat target;
    // A link carries the reparse-point bit; a dangling one stays a link,
    // and opening it as a file fails later.
    reparse = FILE_ATTRIBUTE_REPARSE_POINT;
    if (fstatat(at, name, &target, 0) == 0) status = target;
  }
  found->dwFileAttributes = attributes_from_stat(&status) | reparse;
  found->ftLastAccessTime = filetime_from_timespec(&status.st_atim);
  found->ftLastWriteTime = filetime_from_timespec(&status.st_mtim);
  found->nFileSizeHigh = (DWORD)((unsigned long long)status.st_size >> 32);
  found->nFileSizeLow = (DWORD)status.st_size;
  std::strcpy(found->cFileName, name);
  // A directory mounted here from the same file system has a mount of its own.
  found->on_other_file_system =
      status.st_dev != search->device ||
      (reparse == 0 && S_ISDIR(status.st_mode) && search->mount != 0 && mount_of(at, name, 0) != search->mount);
  return true;
}

int found_on_other_file_system(const WIN32_FIND_DATAA* found) {
  if (found->on_other_file_system >= 0) return found->on_other_file_system;
  struct stat status;
  // Gone meanwhile: opening it tells.
  if (fstatat(found->listed_at, found->cFileName, &status, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  return status.st_dev != (dev_t)found->listed_device ||
         (S_ISDIR(status.st_mode) && found->listed_mount != 0 &&
          mount_of(found->listed_at, found->cFileName, 0) != found->listed_mount);
}

// The next entry that matches, or false when the directory is exhausted.
static bool next_match(SearchObject* search, WIN32_FIND_DATAA* found) {
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(search->directory);
    if (entry == nullptr) {
      set_last_error_as(errno != 0 ? ERROR_READ_FAULT : ERROR_NO_MORE_FILES, errno);
      return false;
    }
    if (std::strlen(entry->d_name) >= MAX_PATH) continue;
    if (!matches(search->pattern, entry->d_name)) continue;
    if (describe_entry(search, entry, found)) return true;
  }
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* found) {
  // A stop was asked for: the walk unwinds before its next entry.
  if (stop_requested()) {
    set_last_error(ERROR_OPERATION_ABORTED);
    return INVALID_HANDLE_VALUE;
  }
  if (fault_fires(FAULT_FindFirstFileA)) {
    set_last_error(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const char* slash = std::strrchr(pattern, '/');
  const char* last = slash != nullptr ? slash + 1 : pattern;
  size_t last_length = std::strlen(last);
  if (last_length == 0 || last_length >= MAX_PATH) {
    set_last_error(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  SearchObject* search = nullptr;
  for (int i = 0; i < SEARCH_POOL_SIZE && search == nullptr; ++i)
    if (search_pool[i].directory == nullptr) search = &search_pool[i];
  if (search == nullptr) {
    set_last_error(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE_VALUE;
  }
  char directory[PATH_CAPACITY];
  if (slash == nullptr) {
    std::strcpy(directory, ".");
  } else {
    size_t length = slash == pattern ? 1 : (size_t)(slash - pattern);
    std::memcpy(directory, pattern, length);
    directory[length] = '\0';
  }
  if (open_searches == 0) walk_root_begin(slash == nullptr ? "" : directory);
  int fd = open_directory(slash == nullptr ? "." : directory);
  DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
  if (listing == nullptr) {
    if (fd >= 0) {
      set_last_error_from_errno(errno);
      close(fd);
    }
    if (open_searches == 0) walk_root_end();
    // The system's own error stays with the code, for the reason line.
    if (GetLastError() == ERROR_FILE_NOT_FOUND) set_last_error_as(ERROR_PATH_NOT_FOUND, ENOENT);
    return INVALID_HANDLE_VALUE;
  }
  ++open_searches;
  search->directory = listing;
  struct stat listed;
  search->device = fstat(fd, &listed) == 0 ? listed.st_dev : 0;
  search->mount = mount_of(fd, "", AT_EMPTY_PATH);
  std::memcpy(search->pattern, last, last_length + 1);
  if (!next_match(search, found)) {
    closedir(listing);
    search->directory = nullptr;
    if (--open_searches == 0) walk_root_end();
    set_last_error(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return search;
}

BOOL FindNextFileA(HANDLE handle, WIN32_FIND_DATAA* found) {
  SearchObject* search = search_object(handle);
  if (search == nullptr) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (stop_requested()) {
    set_last_error(ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  if (fault_fires(FAULT_FindNextFileA)) {
    set_last_error(ERROR_READ_FAULT);
    return FALSE;
  }
  return next_match(search, found) ? TRUE : FALSE;
}

BOOL FindClose(HANDLE handle) {
  SearchObject* search = search_object(handle);
  if (search == nullptr) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  closedir(search->directory);
  search->directory = nullptr;
  if (--open_searches == 0) walk_root_end();
  return TRUE;
}
