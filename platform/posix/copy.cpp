// Moving bytes between two descriptors inside the kernel where the two
// file systems allow it, by read and write where they do not.
#include "posix_internal.h"

#include <sys/sendfile.h>
#include <unistd.h>
#include <cerrno>

enum { FALLBACK_CHUNK = 65536 };
// A stop is looked at between chunks: this bounds how long it waits.
static const off_t CHUNK = (off_t)1 << 28;

static bool method_unsupported(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EBADF;
}

static ssize_t copy_by_read_write(int in, int out, size_t wanted) {
  char buffer[FALLBACK_CHUNK];
  ssize_t got;
  do got = read(in, buffer, wanted < sizeof buffer ? wanted : sizeof buffer);
  while (got < 0 && errno == EINTR);
  if (got <= 0) return got;
  ssize_t put = 0;
  while (put < got) {
    ssize_t n = write(out, buffer + put, (size_t)(got - put));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return -1;
    }
    put += n;
  }
  return got;
}

off_t copy_descriptor_bytes(int in, int out, off_t count, bool stoppable) {
  enum { RANGE, SENDFILE, READ_WRITE } method = RANGE;
  off_t done = 0;
  while (done < count) {
    if (stoppable && stop_requested()) {
      errno = EINTR;
      return -1;
    }
    size_t wanted = (size_t)(count - done < CHUNK ? count - done : CHUNK);
    ssize_t n;
    if (method == RANGE)
      n = copy_file_range(in, nullptr, out, nullptr, wanted, 0);
    else if (method == SENDFILE)
      n = sendfile(out, in, nullptr, wanted);
    else
      n = copy_by_read_write(in, out, wanted);
    if (n < 0 && errno == EINTR) continue;
    // Some file systems refuse a method, or report the end too early
    // through it: the next method then goes on from the same place.
    if (method != READ_WRITE && (n == 0 || (n < 0 && method_unsupported(errno)))) {
      method = method == RANGE ? SENDFILE : READ_WRITE;
      continue;
    }
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
  }
  return done;
}
