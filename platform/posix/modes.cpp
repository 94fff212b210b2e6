// Modes are changed only through a descriptor of the file that was read,
// never by path: whatever the path names by then plays no part.
#include "posix_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

// Bits that a write by anyone but root takes from a file's mode.
static const unsigned BITS_A_WRITE_DROPS = S_ISUID | S_ISGID;

// A hold: an O_PATH descriptor, which keeps no one from opening the file
// (a write lease included), and the mode the file was last given.
struct FileHold {
  int in_use;
  int fd;
  unsigned mode;
};

// One hold for each file being stripped at once.
enum { HOLD_POOL_SIZE = 4 + 64 };
static FileHold hold_pool[HOLD_POOL_SIZE];

static FileHold* file_hold(HANDLE handle) {
  std::uintptr_t offset = (std::uintptr_t)handle - (std::uintptr_t)hold_pool;
  if (offset >= sizeof hold_pool || offset % sizeof(FileHold) != 0) return nullptr;
  FileHold* hold = &hold_pool[offset / sizeof(FileHold)];
  return __atomic_load_n(&hold->in_use, __ATOMIC_ACQUIRE) ? hold : nullptr;
}

// Every file being stripped gets a hold: the copy back reopens the file
// through it (open_held_file). It takes over the O_PATH descriptor the
// file was resolved to, at no call; only a handle without one opens
// another. A mode that the strip keeps as it is cannot fail to be held.
BOOL hold_file(HANDLE file, HANDLE* held) {
  int fd = -1;
  unsigned mode = 0;
  *held = INVALID_HANDLE_VALUE;
  if (!descriptor_and_mode(file, &fd, &mode)) return FALSE;
  bool mode_changes = (mode & S_IWUSR) == 0 || (mode & BITS_A_WRITE_DROPS) != 0;
  if (mode_changes && fault_fires(FAULT_hold_file)) {
    set_last_error(ERROR_TOO_MANY_OPEN_FILES);
    return FALSE;
  }
  FileHold* hold = nullptr;
  for (int i = 0; i < HOLD_POOL_SIZE && hold == nullptr; ++i) {
    int free_hold = 0;
    if (__atomic_compare_exchange_n(&hold_pool[i].in_use, &free_hold, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
      hold = &hold_pool[i];
  }
  if (hold == nullptr) {
    set_last_error(ERROR_TOO_MANY_OPEN_FILES);
    return FALSE;
  }
  hold->fd = take_path_descriptor(file);
  if (hold->fd < 0) hold->fd = open(self_path(fd).text, O_PATH | O_CLOEXEC);
  if (hold->fd < 0) {
    set_last_error_from_errno(errno);
    __atomic_store_n(&hold->in_use, 0, __ATOMIC_RELEASE);
    return FALSE;
  }
  hold->mode = mode & 07777;
  *held = hold;
  return TRUE;
}

int held_descriptor(HANDLE held) {
  FileHold* hold = file_hold(held);
  return hold != nullptr ? hold->fd : -1;
}

void release_file_hold(HANDLE held) {
  FileHold* hold = file_hold(held);
  if (hold == nullptr) return;
  close(hold->fd);
  hold->fd = -1;
  __atomic_store_n(&hold->in_use, 0, __ATOMIC_RELEASE);
}

// Through /proc the very file the descriptor holds is changed; an O_PATH
// descriptor takes no fchmod.
static bool change_mode(FileHold* hold, unsigned mode) {
  if (chmod(self_path(hold->fd).text, (mode_t)mode) != 0) {
    set_last_error_from_errno(errno);
    return false;
  }
  hold->mode = mode;
  return true;
}

// Read-only is the owner-write bit missing; only that bit changes, and the
// rest of the mode is the one held, so the mode goes back as it was.
BOOL set_file_attributes(HANDLE held, LPCSTR, DWORD attributes) {
  FileHold* hold = file_hold(held);
  if (hold == nullptr) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (fault_fires(FAULT_SetFileAttributesA)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  unsigned mode = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? hold->mode & ~S_IWUSR : hold->mode | S_IWUSR;
  return change_mode(hold, mode);
}

// A file without such bits keeps its mode through a write.
BOOL put_back_mode(HANDLE held) {
  FileHold* hold = file_hold(held);
  if (hold == nullptr || (hold->mode & BITS_A_WRITE_DROPS) == 0) return TRUE;
  if (fault_fires(FAULT_SetFileAttributesA)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return change_mode(hold, hold->mode);
}
