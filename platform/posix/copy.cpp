// CopyFileA over an existing file rewrites that same file: same inode, so
// its owner, mode and hard links stay, and a link's target is what changes.
// The old bytes are written over and the file cut to length at the end,
// which costs far less than truncating first.
#include "posix_internal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

enum { FALLBACK_CHUNK = 65536 };
static const off_t LARGEST_CHUNK = (off_t)1 << 30;

static bool copy_unsupported(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EBADF;
}

static ssize_t copy_by_read_write(int in, int out, off_t at, size_t wanted) {
  char buffer[FALLBACK_CHUNK];
  ssize_t got = pread(in, buffer, wanted < sizeof buffer ? wanted : sizeof buffer, at);
  if (got <= 0) return got;
  ssize_t put = 0;
  while (put < got) {
    ssize_t n = pwrite(out, buffer + put, (size_t)(got - put), at + put);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return -1;
    }
    put += n;
  }
  return got;
}

// Copies the first `limit` bytes of in over the start of out, by the
// fastest means the two file systems allow; gives the bytes copied or -1.
static off_t copy_bytes(int in, int out, off_t limit) {
  off_t done = 0;
  bool try_range = true;
  bool try_sendfile = true;
  while (done < limit) {
    size_t wanted = (size_t)(limit - done < LARGEST_CHUNK ? limit - done : LARGEST_CHUNK);
    ssize_t n;
    if (try_range) {
      off_t in_at = done;
      off_t out_at = done;
      n = copy_file_range(in, &in_at, out, &out_at, wanted, 0);
      if (n < 0 && copy_unsupported(errno)) {
        try_range = false;
        continue;
      }
    } else if (try_sendfile) {
      off_t in_at = done;
      if (lseek(out, done, SEEK_SET) < 0) return -1;
      n = sendfile(out, in, &in_at, wanted);
      if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
        try_sendfile = false;
        continue;
      }
    } else {
      n = copy_by_read_write(in, out, done, wanted);
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
  }
  return done;
}

static void close_quietly(int fd) {
  if (fd >= 0) close(fd);
}

BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL fail_if_exists) {
  int in = -1;
  int out = -1;
  BOOL ok = FALSE;
  struct stat source;
  struct stat destination;
  bool fail_midway;
  off_t limit;
  off_t copied;
  struct timespec times[2];

  // Until the target is open for writing, a failure leaves it as it was,
  // and the error code says so.
  if (fault_fires(FAULT_CopyFileA)) {
    set_last_error(ERROR_ACCESS_DENIED);
    goto done;
  }
  in = open(existing, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  // The times are taken before any byte is read, which could move them.
  if (in < 0 || fstat(in, &source) != 0) {
    set_last_error_from_errno(errno);
    goto done;
  }
  if (!S_ISREG(source.st_mode)) {
    set_last_error(ERROR_ACCESS_DENIED);
    goto done;
  }
  out = open(target, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (fail_if_exists ? O_EXCL : 0), 0666);
  if (out < 0 || fstat(out, &destination) != 0) {
    set_last_error_from_errno(errno);
    goto done;
  }
  if (!S_ISREG(destination.st_mode) || (destination.st_dev == source.st_dev && destination.st_ino == source.st_ino)) {
    set_last_error(ERROR_ACCESS_DENIED);
    goto done;
  }
  // No reader that lets others only read may see the file half rewritten.
  if (flock(out, LOCK_EX | LOCK_NB) != 0) {
    set_last_error(ERROR_SHARING_VIOLATION);
    goto done;
  }

  // From here on the target may be partly rewritten when a step fails.
  fail_midway = fault_fires(FAULT_CopyFileA_write);
  limit = fail_midway ? source.st_size / 2 : source.st_size;
  copied = copy_bytes(in, out, limit);
  if (copied < 0 || fail_midway) goto write_failed;
  if (ftruncate(out, copied) != 0) goto write_failed;
  times[0] = source.st_atim;
  times[1] = source.st_mtim;
  if (futimens(out, times) != 0) goto write_failed;
  {
    int closed = close(out);
    out = -1;
    if (closed != 0 && errno != EINTR) goto write_failed;
  }
  ok = TRUE;
  goto done;

write_failed:
  set_last_error(errno == ENOSPC || errno == EDQUOT ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
done:
  close_quietly(out);
  close_quietly(in);
  return ok;
}
