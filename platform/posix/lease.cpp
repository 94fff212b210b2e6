// The leases: a read lease while a file is read, which any writer breaks,
// and the write lease that keeps others out of it while its body goes
// back; and what the run knows of whether each still holds.
#include "posix_internal.h"

#include <linux/magic.h>
#include <pthread.h>
#include <sys/file.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

// The system tells a lease holder by SIGIO that someone waits for one of
// its files. The handler counts these breaks for the whole process: while
// the count stands still, no lease has begun to break and looking costs no
// call. Where the handler cannot be set, every look asks the system.
static std::atomic<unsigned> breaks_begun(0);
static_assert(ATOMIC_INT_LOCK_FREE == 2, "the count takes no lock");
static bool breaks_counted = false;

static void count_break(int) { breaks_begun.fetch_add(1, std::memory_order_relaxed); }

static void catch_lease_breaks(void) {
  struct sigaction action = {};
  action.sa_handler = count_break;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  breaks_counted = sigaction(SIGIO, &action, nullptr) == 0;
}

// Before any lease: SIGIO would end the process.
static void watch_lease_breaks(void) {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, catch_lease_breaks);
}

// Network file systems give a lease only on a file the server delegated
// to this machine, and refuse one elsewhere as if another process had the
// file open: there the run goes without, as where leases are unknown.
static bool leases_need_delegation(int fd) {
  struct statfs facts;
  if (sys::fstatfs(fd, &facts) != 0) return false;
  switch ((std::uint32_t)facts.f_type) {
    case NFS_SUPER_MAGIC:
    case SMB_SUPER_MAGIC:
    case CIFS_SUPER_MAGIC:
    case SMB2_SUPER_MAGIC:
    case V9FS_MAGIC:
    case CEPH_SUPER_MAGIC:
    case AFS_SUPER_MAGIC:
    case AFS_FS_MAGIC: return true;
    default: return false;
  }
}

// Where no lease can be had (not the owner, a file system without them),
// the copy back's own checks are what is left.
void take_read_lease(SourceFile* file) {
  watch_lease_breaks();
  file->breaks = breaks_begun.load(std::memory_order_acquire);
  if (sys::fcntl(file->fd, F_SETLEASE, F_RDLCK) == 0)
    file->read_lease = READ_LEASE_HELD;
  else
    file->read_lease = errno == EAGAIN && !leases_need_delegation(file->fd) ? READ_LEASE_REFUSED : READ_LEASE_NONE;
}

// A break's target is F_UNLCK: the lease is lost from the moment a writer
// asks, whether or not the system ended it yet.
bool read_lease_lost(SourceFile* file) {
  if (file->read_lease == READ_LEASE_HELD) {
    unsigned breaks = breaks_begun.load(std::memory_order_acquire);
    if (breaks_counted && breaks == file->breaks)
      return false;
    else if (sys::fcntl(file->fd, F_GETLEASE) == F_RDLCK)
      file->breaks = breaks;
    else
      file->read_lease = READ_LEASE_BROKEN;
  }
  return file->read_lease == READ_LEASE_REFUSED || file->read_lease == READ_LEASE_BROKEN;
}

Reason take_write_lease(int fd, CopyBackTarget* target) {
  watch_lease_breaks();
  target->leased = 0;
  target->lost = 0;
  target->breaks = breaks_begun.load(std::memory_order_acquire);
  if (sys::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
    target->leased = 1;
    target->held_at = target->looked_at = monotonic_nanoseconds();
    return done_reason();
  }
  int error = errno;
  bool without_leases =
      error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || (error == EAGAIN && leases_need_delegation(fd));
  if (error == EAGAIN && !without_leases) return own_reason(REASON_IN_USE);
  // Only the owner takes a lease, as only the owner sets the times kept.
  if (error == EACCES) return own_reason(REASON_TIMES);
  if (!without_leases) return reason_from_errno(error);
  if (sys::flock(fd, LOCK_EX | LOCK_NB) != 0)
    return errno == EWOULDBLOCK ? own_reason(REASON_IN_USE) : reason_from_errno(errno);
  return done_reason();
}

// Milliseconds after which the system breaks a lease that someone waits
// for; read once per run, when the first break is seen. 0: not read yet.
static long break_milliseconds = 0;
static pthread_mutex_t break_lock = PTHREAD_MUTEX_INITIALIZER;

static long lease_break_milliseconds(void) {
  long value = __atomic_load_n(&break_milliseconds, __ATOMIC_ACQUIRE);
  if (value != 0) return value;
  pthread_mutex_lock(&break_lock);
  value = break_milliseconds;
  if (value == 0) {
    long seconds = 45;
    std::FILE* in = std::fopen("/proc/sys/fs/lease-break-time", "re");
    if (in != nullptr) {
      if (std::fscanf(in, "%ld", &seconds) != 1 || seconds < 0) seconds = 45;
      std::fclose(in);
    }
    // 0 s breaks at once; -1 keeps "not read" apart from it.
    value = seconds > 0 ? seconds * 1000 : -1;
    __atomic_store_n(&break_milliseconds, value, __ATOMIC_RELEASE);
  }
  pthread_mutex_unlock(&break_lock);
  return value;
}

// A test's next strip reads the break time again, as a new run would.
void fault_new_run(void) { __atomic_store_n(&break_milliseconds, 0, __ATOMIC_RELEASE); }

// While no break has begun since the lease was last seen whole, it holds.
// F_GETLEASE tells a pending break's target, not whether the lease is gone:
// while someone waits it reads the same before and after the system broke
// the lease. What decides is how long a break may have run: it began after
// the lease was last seen whole, and the system ends the lease only once
// the break time has run out since. A margin covers a signal still on its
// way, and a copy's next chunk may take twice as long as the last step (a
// slow disk).
bool lease_still_held(CopyBackTarget* target, bool chunk_follows) {
  enum { MARGIN_MILLISECONDS = 100 };
  if (!target->leased) return true;
  if (target->lost) return false;
  std::int64_t now = monotonic_nanoseconds();
  long long step = (now - target->looked_at) / 1000000;
  target->looked_at = now;
  unsigned breaks = breaks_begun.load(std::memory_order_acquire);
  if ((breaks_counted && breaks == target->breaks) || sys::fcntl(target->fd, F_GETLEASE) == F_WRLCK) {
    target->held_at = now;
    target->breaks = breaks;
    return true;
  }
  long long waited = (now - target->held_at) / 1000000;
  long limit = lease_break_milliseconds();
  if (limit > 0 && waited + (chunk_follows ? 2 * step : 0) + MARGIN_MILLISECONDS < limit) return true;
  target->lost = 1;
  return false;
}
