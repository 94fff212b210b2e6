// What the strip knows of a file: enough to find it again and to tell
// whether it changed, and the times it must keep.
#ifndef BODYCUT_FACTS_H
#define BODYCUT_FACTS_H

#include <cstdint>

typedef std::uint64_t FileSize;

// The file itself, whatever its names: a volume and the file's number on
// it (Windows: volume serial number and file index; POSIX: device and
// inode number), and when the file was made (POSIX, where the file system
// tells: a number the system gives to a new file later is another file's;
// else 0).
struct FileIdentity {
  std::uint64_t volume;
  std::uint64_t index;
  std::uint64_t birth;
};

// A time stamp as the platform keeps it: copied and compared, never read
// (Windows: a FILETIME in count; POSIX: seconds and nanoseconds).
struct FileStamp {
  std::int64_t count;
  std::int32_t remainder;
};

struct FileTimes {
  FileStamp created;  // where the platform can set it
  FileStamp accessed;
  FileStamp written;
};

struct FileFacts {
  FileIdentity identity;
  FileSize size;
  std::uint32_t links;  // 0: the file's last name was removed
  FileTimes times;
  // When its bytes or its facts last changed, whoever set its times
  // (POSIX: the status change time; Windows: zero, not kept).
  FileStamp changed;
  // It must be made writable before the copy back (Windows: read-only,
  // hidden or system; POSIX: no owner-write bit).
  int write_protected;
  std::uint32_t attributes;  // the attribute word or mode, put back as read
};

inline bool same_identity(const FileIdentity* first, const FileIdentity* second) {
  return first->volume == second->volume && first->index == second->index && first->birth == second->birth;
}

inline bool same_stamp(const FileStamp* first, const FileStamp* second) {
  return first->count == second->count && first->remainder == second->remainder;
}

#endif
