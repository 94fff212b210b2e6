// Operations on files by name: attributes, temporary files, copy, delete.
#include "posix_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

// A link to a directory carries the reparse-point bit, so the walker can
// tell it from a real directory and never follow a cycle of links.
DWORD GetFileAttributesA(LPCSTR path) {
  if (fault_fires(FAULT_GetFileAttributesA)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat status;
  if (lstat(path, &status) != 0) {
    set_last_error_from_errno(errno);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (!S_ISLNK(status.st_mode)) return attributes_from_stat(&status);
  struct stat target;
  if (stat(path, &target) != 0) return attributes_from_stat(&status);
  DWORD attributes = attributes_from_stat(&target);
  if (S_ISDIR(target.st_mode)) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return attributes;
}

// Read-only maps onto the owner-write bit; every other mode bit is kept.
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
  if (fault_fires(FAULT_SetFileAttributesA)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  struct stat status;
  if (stat(path, &status) != 0) {
    set_last_error_from_errno(errno);
    return FALSE;
  }
  mode_t mode = status.st_mode & 07777;
  mode_t wanted = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? (mode_t)(mode & ~(S_IWUSR | S_IWGRP | S_IWOTH))
                                                              : (mode_t)(mode | S_IWUSR);
  if (wanted != mode && chmod(path, wanted) != 0) {
    set_last_error_from_errno(errno);
    return FALSE;
  }
  return TRUE;
}

// $TMPDIR, else /tmp, always ending in a separator; looked up once.
DWORD GetTempPathA(DWORD capacity, LPSTR buffer) {
  static char directory[PATH_CAPACITY + 1];
  static size_t length = 0;
  if (fault_fires(FAULT_GetTempPathA)) {
    set_last_error(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  if (length == 0) {
    const char* from = std::getenv("TMPDIR");
    if (from == nullptr || from[0] == '\0') from = "/tmp";
    size_t n = std::strlen(from);
    if (n + 2 > sizeof directory) {
      set_last_error(ERROR_FILENAME_EXCED_RANGE);
      return 0;
    }
    std::memcpy(directory, from, n);
    if (directory[n - 1] != '/') directory[n++] = '/';
    directory[n] = '\0';
    length = n;
  }
  if (length + 1 > capacity) return (DWORD)(length + 1);
  std::memcpy(buffer, directory, length + 1);
  return (DWORD)length;
}

static int new_temporary_fd = -1;
static char new_temporary_name[PATH_CAPACITY];

int take_new_temporary(LPCSTR name) {
  if (new_temporary_fd < 0 || std::strcmp(name, new_temporary_name) != 0) return -1;
  int fd = new_temporary_fd;
  new_temporary_fd = -1;
  return fd;
}

// Closes the held descriptor, if any: a newer temporary file replaces it,
// or the file is deleted unopened.
static void release_new_temporary(void) {
  if (new_temporary_fd >= 0) close(new_temporary_fd);
  new_temporary_fd = -1;
}

// Makes "<directory>/<prefix>XXXXXX.tmp", created exclusively with mode 0600.
UINT GetTempFileNameA(LPCSTR directory, LPCSTR prefix, UINT, LPSTR name) {
  static const char tail[] = "XXXXXX.tmp";
  release_new_temporary();
  if (fault_fires(FAULT_GetTempFileNameA)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return 0;
  }
  size_t dir_length = std::strlen(directory);
  size_t prefix_length = std::strlen(prefix);
  bool add_separator = dir_length > 0 && directory[dir_length - 1] != '/';
  if (dir_length + add_separator + prefix_length + sizeof tail > PATH_CAPACITY) {
    set_last_error(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  char* out = name;
  std::memcpy(out, directory, dir_length);
  out += dir_length;
  if (add_separator) *out++ = '/';
  std::memcpy(out, prefix, prefix_length);
  std::memcpy(out + prefix_length, tail, sizeof tail);
  int fd = mkostemps(name, 4, O_CLOEXEC);
  if (fd < 0) {
    set_last_error_from_errno(errno);
    name[0] = '\0';
    return 0;
  }
  new_temporary_fd = fd;
  std::strcpy(new_temporary_name, name);
  return 1;
}

BOOL DeleteFileA(LPCSTR path) {
  if (fault_fires(FAULT_DeleteFileA)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (new_temporary_fd >= 0 && std::strcmp(path, new_temporary_name) == 0) release_new_temporary();
  if (unlink(path) != 0) {
    set_last_error_from_errno(errno);
    return FALSE;
  }
  return TRUE;
}
