// Operations on files by name: attributes, temporary files, copy, delete.
#include "posix_internal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
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

static char temporary_directory[PATH_CAPACITY + 1];
static size_t temporary_directory_length = 0;  // 0: TMPDIR too long

static void look_up_temporary_directory(void) {
  const char* from = std::getenv("TMPDIR");
  if (from == nullptr || from[0] == '\0') from = "/tmp";
  size_t n = std::strlen(from);
  if (n + 2 > sizeof temporary_directory) return;
  std::memcpy(temporary_directory, from, n);
  if (temporary_directory[n - 1] != '/') temporary_directory[n++] = '/';
  temporary_directory[n] = '\0';
  temporary_directory_length = n;
}

// $TMPDIR, else /tmp, always ending in a separator; looked up once for all
// threads.
DWORD GetTempPathA(DWORD capacity, LPSTR buffer) {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  if (fault_fires(FAULT_GetTempPathA)) {
    set_last_error(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  pthread_once(&once, look_up_temporary_directory);
  const char* directory = temporary_directory;
  size_t length = temporary_directory_length;
  if (length == 0) {
    set_last_error(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  if (length + 1 > capacity) return (DWORD)(length + 1);
  std::memcpy(buffer, directory, length + 1);
  return (DWORD)length;
}

// Chooses "<directory>/<prefix>XXXXXX.tmp" with six random letters and
// digits. Nothing is made yet: the file gets this name only when it holds a
// whole body (name_temporary_file), and only while no other file has it.
UINT GetTempFileNameA(LPCSTR directory, LPCSTR prefix, UINT, LPSTR name) {
  if (fault_fires(FAULT_GetTempFileNameA)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return 0;
  }
  size_t dir_length = std::strlen(directory);
  size_t prefix_length = std::strlen(prefix);
  bool add_separator = dir_length > 0 && directory[dir_length - 1] != '/';
  // The longest name a temporary file takes on the way is this one + ".part".
  if (dir_length + add_separator + prefix_length + sizeof "XXXXXX.tmp.part" > PATH_CAPACITY) {
    set_last_error(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  char* out = name;
  std::memcpy(out, directory, dir_length);
  out += dir_length;
  if (add_separator) *out++ = '/';
  std::memcpy(out, prefix, prefix_length);
  std::memcpy(out + prefix_length, "XXXXXX.tmp", sizeof "XXXXXX.tmp");
  if (!redraw_temporary_name(name)) {
    set_last_error_from_errno(errno);
    return 0;
  }
  return 1;
}

BOOL DeleteFileA(LPCSTR path) {
  if (fault_fires(FAULT_DeleteFileA)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (unlink(path) != 0) {
    set_last_error_from_errno(errno);
    return FALSE;
  }
  return TRUE;
}
