// Moving bytes between two descriptors inside the kernel where the two
// file systems allow it, by read and write where they do not; only the
// data of a file with holes, so that a sparse file stays sparse.
#include "posix_internal.h"

enum { FALLBACK_CHUNK = 65536 };
// A stop and the leases are looked at between chunks: this bounds how long
// any of them waits.
static const off_t CHUNK = (off_t)1 << 25;

static bool method_unsupported(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EBADF;
}

bool write_all_at(int out, const char* bytes, size_t count, off_t at) {
  while (count > 0) {
    ssize_t n = sys::pwrite(out, bytes, count, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    bytes += n;
    count -= (size_t)n;
    at += n;
  }
  return true;
}

// Reads up to one buffer of wanted bytes at offset at, past interruptions.
static ssize_t read_chunk_at(int in, char (&buffer)[FALLBACK_CHUNK], size_t wanted, off_t at) {
  ssize_t got;
  do got = sys::pread(in, buffer, wanted < sizeof buffer ? wanted : sizeof buffer, at);
  while (got < 0 && errno == EINTR);
  return got;
}

static ssize_t copy_by_read_write(int in, off_t in_at, int out, off_t out_at, size_t wanted) {
  char buffer[FALLBACK_CHUNK];
  ssize_t got = read_chunk_at(in, buffer, wanted, in_at);
  if (got <= 0) return got;
  return write_all_at(out, buffer, (size_t)got, out_at) ? got : -1;
}

// Bytes of out that held something now read as zeros: punched where the
// file system can, written as zeros where it cannot.
static bool zero_range(int out, off_t at, off_t length) {
  int punched = 0;
  do punched = length <= 0 ? 0 : sys::fallocate(out, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, at, length);
  while (punched != 0 && errno == EINTR);
  if (punched == 0) return true;
  if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
  static const char zeros[FALLBACK_CHUNK] = {};
  for (off_t done = 0; done < length; done += FALLBACK_CHUNK) {
    off_t part = length - done < (off_t)FALLBACK_CHUNK ? length - done : (off_t)FALLBACK_CHUNK;
    if (!write_all_at(out, zeros, (size_t)part, at + done)) return false;
  }
  return true;
}

// Copies the bytes read from in at out_at, leaving out's blocks that would
// get only zeros a hole (punched where out held bytes): a file system that
// counts data in larger blocks than out's would otherwise fill out's finer
// holes with zeros. *out_end follows what out holds.
static ssize_t copy_sparing_zeros(const CopyJob* job, off_t in_at, off_t out_at, size_t wanted, off_t* out_end) {
  char buffer[FALLBACK_CHUNK];
  ssize_t got = read_chunk_at(job->in, buffer, wanted, in_at);
  for (ssize_t at = 0; at < got;) {
    // A run of out's blocks alike, all zeros or not (those at its ends may
    // be parts of blocks).
    bool zeros = true;
    ssize_t end = at;
    for (bool first = true; end < got; first = false) {
      ssize_t block_end = end + (ssize_t)(job->block - (out_at + end) % job->block);
      if (block_end > got) block_end = got;
      bool block_zeros =
          buffer[end] == 0 && std::memcmp(buffer + end, buffer + end + 1, (size_t)(block_end - end - 1)) == 0;
      if (!first && block_zeros != zeros) break;
      zeros = block_zeros;
      end = block_end;
    }
    off_t from = out_at + at;
    off_t to = out_at + end;
    bool done = zeros ? zero_range(job->out, from, (to < *out_end ? to : *out_end) - from)
                      : write_all_at(job->out, buffer + at, (size_t)(end - at), from);
    if (!done) return -1;
    if (!zeros && to > *out_end) *out_end = to;
    at = end;
  }
  return got;
}

// Where in's next data begins from at, and how much of it there is, at
// most left bytes: a hole of the rest gives at + left and 0.
static off_t next_data(int in, off_t at, off_t left, off_t* data_length) {
  *data_length = left;
  off_t data = sys::lseek(in, at, SEEK_DATA);
  if (data < 0) return errno == ENXIO ? (*data_length = 0, at + left) : at;
  if (data >= at + left) {
    *data_length = 0;
    return at + left;
  }
  off_t hole = sys::lseek(in, data, SEEK_HOLE);
  if (hole > data && hole - data < at + left - data)
    *data_length = hole - data;
  else
    *data_length = at + left - data;
  return data;
}

// Every step names both offsets, so neither descriptor's own offset is
// moved or looked at; only sendfile writes at out's, which is set for it.
off_t copy_descriptor_bytes(const CopyJob* job) {
  enum { RANGE, SENDFILE, READ_WRITE, SPARING_ZEROS } method = job->holes && job->block > 0 ? SPARING_ZEROS : RANGE;
  off_t done = 0;
  off_t out_end = job->out_size;  // out holds bytes up to here
  off_t out_position = -1;        // out's own offset, where known
  off_t data_left = job->holes ? 0 : job->count;
  while (done < job->count) {
    if (job->stoppable && requested_stop_signal() != 0) {
      errno = EINTR;
      return -1;
    }
    if (job->lease != nullptr && !lease_still_held(job->lease, true)) {
      errno = ENOLCK;
      return -1;
    }
    if (job->reading != nullptr && read_lease_lost(job->reading)) {
      errno = EBUSY;
      return -1;
    }
    if (data_left == 0) {
      // A hole is not copied; where out held bytes it gets one too.
      off_t at = job->in_at + done;
      off_t data = next_data(job->in, at, job->count - done, &data_left);
      off_t hole_end = job->out_at + done + (data - at);
      off_t zero_end = hole_end < out_end ? hole_end : out_end;
      if (!zero_range(job->out, job->out_at + done, zero_end - (job->out_at + done))) return -1;
      done += data - at;
      if (data_left == 0) continue;
    }
    size_t wanted = (size_t)(data_left < CHUNK ? data_left : CHUNK);
    off_t in_at = job->in_at + done;
    off_t out_at = job->out_at + done;
    ssize_t n;
    if (method == RANGE) {
      n = sys::copy_file_range(job->in, &in_at, job->out, &out_at, wanted);
    } else if (method == SENDFILE) {
      if (out_position != out_at && sys::lseek(job->out, out_at, SEEK_SET) < 0) return -1;
      out_position = out_at;
      n = sys::sendfile(job->out, job->in, &in_at, wanted);
      if (n > 0) out_position += n;
    } else if (method == READ_WRITE) {
      n = copy_by_read_write(job->in, in_at, job->out, out_at, wanted);
    } else {
      n = copy_sparing_zeros(job, in_at, out_at, wanted, &out_end);
    }
    if (n < 0 && errno == EINTR) continue;
    // Some file systems refuse a method, or report the end too early
    // through it: the next method then goes on from the same place.
    if ((method == RANGE || method == SENDFILE) && (n == 0 || (n < 0 && method_unsupported(errno)))) {
      method = method == RANGE ? SENDFILE : READ_WRITE;
      continue;
    }
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
    data_left -= n;
    if (method != SPARING_ZEROS && job->out_at + done > out_end) out_end = job->out_at + done;
  }
  // A hole at the end: out is made as long as the bytes it stands for.
  off_t end = job->out_at + done;
  if (job->holes && end > out_end && cut_to(job->out, end) != 0) return -1;
  return done;
}
