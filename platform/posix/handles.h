// The POSIX build's constants, and what its handles hold: descriptors.
// The logic reads only the members the platform headers name.
//
// The implementation is Linux's, not portable POSIX: it needs statx (Linux
// 4.11), copy_file_range, file leases, getrandom and a mounted
// /proc (to reopen a descriptor), and uses openat2 (5.6) where the kernel
// has it.
#ifndef BODYCUT_POSIX_DESCRIPTORS_H
#define BODYCUT_POSIX_DESCRIPTORS_H

#include "../facts.h"
#include "../reason.h"

#include <cstdint>

// Buffers that hold a path hold this many bytes, the NUL included.
#define PATH_CAPACITY 4096
// A name a directory lists, its NUL included: most file systems hold 255
// bytes, but a FUSE one (NTFS through ntfs-3g) gives up to 1024, such as
// 255 UTF-16 units of Japanese in UTF-8.
#define ENTRY_NAME_CAPACITY 1025
#define PATH_SEPARATOR '/'
// Console lines end the way the platform's tools expect.
#define LINE_END "\n"
// A name's byte takes up to four in a report: "\x1b" for ESC.
#define REPORT_EXPANSION 4
// A report line goes out in one write once its outcome is known, so that
// lines of several runs or workers never interleave mid-line.
#define WHOLE_REPORT_LINES 1

inline int is_path_separator(char c) { return c == '/'; }
// POSIX paths have no drive prefix.
inline unsigned drive_prefix_length(const char*) { return 0; }

// Room for the system's lock and threads, which the logic never looks into.
struct Lock {
  alignas(16) unsigned char opaque[64];
};

// A worker's stack: the stripper's buffers, with room to spare.
enum { MAX_WORKER_THREADS = 16, WORKER_STACK_BYTES = 1 << 20 };

// Random bytes for the body files' names, which the workers share under
// the lock: drawn from the system's random source a batch at a time, each
// byte used once, so that a name costs no call of its own.
struct NameBytes {
  Lock lock;
  unsigned used;
  unsigned char bytes[512];
};

struct TemporaryDirectory {
  int fd;                 // -1 when it could not be opened
  Reason failure;         // why, given to every file that needs it
  FileIdentity identity;  // of the directory, for telling its files in a walk
  unsigned length;
  char path[PATH_CAPACITY];
  mutable NameBytes names;
};

struct SourceFile {
  FileFacts facts;
  int through_link;
  int fd;               // open for reading; -1 once the reading ended
  int hold;             // O_PATH descriptor of the very file: its mode, and the copy back
  std::uint32_t mode;   // as read, type bits included
  std::uint32_t owner;  // as read
  int mode_changed;     // made writable: restore_protection puts mode back
  int holes;            // fewer blocks than bytes: only its data is copied
  // The read lease on fd, which any open for writing breaks: READ_LEASE_*
  // (posix_internal.h), and the count of breaks when it was last seen whole.
  int read_lease;
  unsigned breaks;
};

struct BodyFile {
  char name[PATH_CAPACITY];
  int fd;                          // -1: none held; else the run's file at name
  int holes;                       // the source may have holes: only its data is copied
  FileSize size;                   // at most this many bytes are in it
  const TemporaryDirectory* from;  // where its names are drawn
  int directory;                   // the temporary directory's descriptor, which the name is in
  unsigned base;                   // where the name's last component begins
};

struct CopyBackTarget {
  FileFacts facts;
  int fd;
  // The write lease: when it was last seen whole, when last looked at (on
  // the monotonic clock, in nanoseconds), and whether it may since have
  // run out.
  int leased;
  int lost;
  std::int64_t held_at;
  std::int64_t looked_at;
  unsigned breaks;
  std::uint32_t owner;
  std::uint32_t block;  // the file system's block size for the file
};

struct WalkRoot {
  int fd;  // -1 outside a walk
  int one_file_system;
  std::uint64_t device;  // the file system of the root: one_file_system
  std::uint64_t mount;   // its mount, 0 where the kernel does not tell
  unsigned length;
  char text[PATH_CAPACITY];
};

struct WalkSearch {
  void* directory;  // the DIR stream
  char pattern[260];
  const WalkRoot* root;
  const char* path;      // the directory listed, as the walk names it: the caller's, kept through the search
  unsigned path_length;  // 0: the current directory
  std::uint64_t device;  // the file system of the directory listed
  std::uint64_t mount;   // its mount, 0 where the kernel does not tell
  int placed;            // device and mount looked up: only a run that stays on one file system asks
  int at;                // its descriptor
};

struct WorkerThreads {
  alignas(16) unsigned char work[64];  // a counting semaphore
  alignas(16) unsigned char done[64];  // a flag and what waits on it
  unsigned long threads[MAX_WORKER_THREADS];
  unsigned count;
  void (*work_function)(void*);
  void* context;
};

#endif
