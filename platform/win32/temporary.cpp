// The run's temporary directory, and the body files a walk meets in it.
#include "win32_internal.h"

// A path as the system spells it back however it was typed: full, in
// short names, in capitals. Two texts of one directory come out the same.
// Gives its length, 0 when the system cannot tell.
static DWORD spelled_as_system_does(const char* path, char* out) {
  char full[PATH_CAPACITY];
  char* name = nullptr;
  DWORD length = SYSTEM_CALL(GetFullPathNameA, (DWORD)0, path, PATH_CAPACITY, full, &name);
  if (length > 0 && length < PATH_CAPACITY) length = SYSTEM_CALL(GetShortPathNameA, (DWORD)0, full, out, PATH_CAPACITY);
  if (length == 0 || length >= PATH_CAPACITY) return 0;
  CharUpperBuffA(out, length);
  return length;
}

static bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

// What GetTempFileNameA makes with the prefix "BCT": BCT, one to four hex
// digits, .TMP, in any case.
static bool has_body_file_name(const char* name) {
  if ((name[0] | 0x20) != 'b' || (name[1] | 0x20) != 'c' || (name[2] | 0x20) != 't') return false;
  unsigned digits = 0;
  while (digits < 5 && is_hex_digit(name[3 + digits])) ++digits;
  const char* end = name + 3 + digits;
  return digits >= 1 && digits <= 4 && end[0] == '.' && (end[1] | 0x20) == 't' && (end[2] | 0x20) == 'm' &&
         (end[3] | 0x20) == 'p' && end[4] == '\0';
}

unsigned folder_of(const char* path, unsigned length, char* out) {
  for (unsigned at = 0; at < length; ++at) out[at] = path[at];
  if (length == 0 || out[length - 1] == ':') out[length++] = '.';
  out[length] = '\0';
  return length;
}

const char* last_component(const char* path) {
  const char* name = path + drive_prefix_length(path);
  for (const char* p = name; *p != '\0'; p = CharNextA(p))
    if (is_path_separator(*p)) name = p + 1;
  return name;
}

// The volume and number of the folder path names; false where folders
// cannot be opened (Windows 95), or this one not.
static bool folder_identity(const char* path, FileIdentity* identity) {
  HANDLE folder =
      SYSTEM_CALL(CreateFileA, INVALID_HANDLE_VALUE, path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION found;
  bool known = folder != INVALID_HANDLE_VALUE && SYSTEM_CALL(GetFileInformationByHandle, FALSE, folder, &found) &&
               (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
  identity->volume = known ? found.dwVolumeSerialNumber : 0;
  identity->index = known ? (std::uint64_t)found.nFileIndexHigh << 32 | found.nFileIndexLow : 0;
  identity->birth = 0;
  return known;
}

// GetTempFileNameA takes a folder of at most MAX_PATH - 14 bytes, room for
// the name it adds; some systems give a longer one back cut short.
enum { LONGEST_TEMPORARY_FOLDER = PATH_CAPACITY - 14 };

void find_temporary_directory(TemporaryDirectory* directory) {
  DWORD length = SYSTEM_CALL(GetTempPathA, (DWORD)0, PATH_CAPACITY, directory->path);
  directory->failure = length == 0                         ? last_error_reason()
                       : length > LONGEST_TEMPORARY_FOLDER ? own_reason(REASON_TOO_LONG)
                                                           : done_reason();
  length = failed(directory->failure) ? 0 : spelled_as_system_does(directory->path, directory->spelled);
  // Compared with the directory part of a path, which ends in a separator.
  if (length > 0 && last_component(directory->spelled) != directory->spelled + length) {
    if (length + 1 < PATH_CAPACITY) {
      directory->spelled[length++] = '\\';
      directory->spelled[length] = '\0';
    } else {
      length = 0;
    }
  }
  directory->spelled_length = length;
  directory->identified = !failed(directory->failure) && folder_identity(directory->path, &directory->identity);
}

void close_temporary_directory(TemporaryDirectory*) {}

// A kept body holds the only whole copy of a file's body: stripping it
// again would cut that body at its first CR LF CR LF. Its folder is told
// by its volume and number, whatever way a path leads there (another
// drive letter, a \\?\ prefix, a junction); only where folders cannot be
// opened, by its path as the system spells it.
bool is_body_file(const TemporaryDirectory* directory, const WalkRoot*, const char* path, Reason* unknown) {
  char spelled[PATH_CAPACITY];
  *unknown = done_reason();
  const char* name = last_component(path);
  if (failed(directory->failure) || !has_body_file_name(name)) return false;
  folder_of(path, (unsigned)(name - path), spelled);
  FileIdentity folder;
  if (directory->identified && folder_identity(spelled, &folder)) return same_identity(&folder, &directory->identity);
  if (directory->spelled_length == 0) return false;
  DWORD length = spelled_as_system_does(path, spelled);
  DWORD directory_length = length == 0 ? 0 : (DWORD)(last_component(spelled) - spelled);
  if (directory_length != directory->spelled_length) return false;
  for (DWORD at = 0; at < directory_length; ++at)
    if (spelled[at] != directory->spelled[at]) return false;
  return true;
}
