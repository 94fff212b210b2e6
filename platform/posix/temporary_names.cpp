// Names of temporary files: each one drawn from the system's random
// source, so that no name tells anything of the next.
#include "posix_internal.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstring>

static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool redraw_temporary_name(char* name) {
  size_t length = std::strlen(name);
  if (length < TEMPORARY_NAME_TAIL) {
    errno = EINVAL;
    return false;
  }
  // 62 to the 6th is far below 2 to the 64th: the remainders are as good as even.
  std::uint64_t bits = 0;
  ssize_t got;
  do got = getrandom(&bits, sizeof bits, 0);
  while (got < 0 && errno == EINTR);
  if (got != (ssize_t)sizeof bits) {
    if (got >= 0) errno = EAGAIN;
    return false;
  }
  char* at = name + length - TEMPORARY_NAME_TAIL;
  for (int i = 0; i < TEMPORARY_NAME_RANDOM; ++i, bits /= sizeof letters - 1)
    at[i] = letters[bits % (sizeof letters - 1)];
  return true;
}

// The link claims the name only while no file has it.
int link_temporary_file(int fd, char* name) {
  enum { NAME_ATTEMPTS = 8 };
  int result = -1;
  for (int attempt = 1;; ++attempt) {
    if (fault_fires(FAULT_temporary_name_taken)) take_name_first(name);
    result = linkat(AT_FDCWD, self_path(fd).text, AT_FDCWD, name, AT_SYMLINK_FOLLOW);
    if (result == 0 || errno != EEXIST || attempt == NAME_ATTEMPTS || !redraw_temporary_name(name)) return result;
  }
}

#if BODYCUT_FAULT_INJECTION
void take_name_first(const char* name) {
  static const char text[] = "another's file\n";
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (write(fd, text, sizeof text - 1) < 0) errno = EIO;
  close(fd);
}
#endif
