// Names as the disk holds them. The ANSI calls give every name converted
// to the code page, bending a character it lacks onto a near one: in code
// page 932 U+00A5 becomes a backslash and é an e, so a bent name can name
// another file or climb out of the tree. Where the system has the wide
// calls (Windows NT and later), the search is made wide and each name is
// converted here, character by character, marking what would bend. On
// Windows 95 the wide calls fail, and the ANSI search is used as it was.
#include "win32_internal.h"

typedef HANDLE(WINAPI* FindFirstWide)(LPCWSTR, WIN32_FIND_DATAW*);
typedef BOOL(WINAPI* FindNextWide)(HANDLE, WIN32_FIND_DATAW*);
typedef LPWSTR(WINAPI* CommandLineWide)(void);

// The ANSI bytes of one character (one UTF-16 unit, or a surrogate pair)
// into bytes; their count, or 0 when the code page does not hold it
// exactly: converted back, it would be another character.
static int narrow_character(const WCHAR* wide, int units, char* bytes, int capacity) {
  WCHAR back[4];
  int count = WideCharToMultiByte(CP_ACP, 0, wide, units, bytes, capacity, nullptr, nullptr);
  if (count <= 0 || MultiByteToWideChar(CP_ACP, 0, bytes, count, back, 4) != units) return 0;
  for (int i = 0; i < units; ++i)
    if (back[i] != wide[i]) return 0;
  return count;
}

static int units_at(const WCHAR* wide) {
  return wide[0] >= 0xD800 && wide[0] < 0xDC00 && wide[1] >= 0xDC00 && wide[1] < 0xE000 ? 2 : 1;
}

// Most names hold exactly: one conversion each way tells. The code page
// converts character by character, so the whole name comes back exactly
// only when each of its characters does.
static BOOL narrow_whole_name(const WCHAR* wide, char* out, unsigned capacity) {
  WCHAR back[MAX_PATH];
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, out, (int)capacity, nullptr, nullptr) <= 0 ||
      MultiByteToWideChar(CP_ACP, 0, out, -1, back, MAX_PATH) <= 0)
    return FALSE;
  int i = 0;
  for (; wide[i] != 0 && back[i] == wide[i]; ++i) {
  }
  return back[i] == wide[i];
}

// The name in the code page, a '?' for each character that would bend. A
// name that does not fit is cut after a whole character and ends in '?'.
static void narrow_name(const WCHAR* wide, char* out, unsigned capacity) {
  unsigned used = 0;
  if (narrow_whole_name(wide, out, capacity)) return;
  while (*wide != 0) {
    char bytes[8];
    int units = units_at(wide);
    int count = narrow_character(wide, units, bytes, (int)sizeof bytes);
    if (count == 0) {
      bytes[0] = '?';
      count = 1;
    }
    if (wide[units] != 0 ? used + (unsigned)count + 1 >= capacity : used + (unsigned)count >= capacity) {
      out[used++] = '?';
      break;
    }
    for (int i = 0; i < count; ++i) out[used++] = bytes[i];
    wide += units;
  }
  out[used] = '\0';
}

// Only what the walk reads of an entry: its attributes and its name.
static void narrow_entry(const WIN32_FIND_DATAW* wide, WIN32_FIND_DATAA* found) {
  found->dwFileAttributes = wide->dwFileAttributes;
  narrow_name(wide->cFileName, found->cFileName, sizeof found->cFileName);
}

// The wide calls come through the same rows as the ANSI ones: a test
// build fails the nth search call whichever the system takes.
static bool search_call_fails(bool fires) {
  if (fires) SetLastError(ERROR_GEN_FAILURE);
  return fires;
}

// The search goes on with the calls it began with: *find_next_wide is
// FindNextFileW where it began wide, else null. The wide calls are looked
// up once for each search, not for each entry.
static HANDLE find_first_entry(LPCSTR pattern, WIN32_FIND_DATAA* found, AnyFunction* find_next_wide) {
  HANDLE search = INVALID_HANDLE_VALUE;
  WCHAR wide_pattern[MAX_PATH];
  WIN32_FIND_DATAW wide;
  FindFirstWide find_first = reinterpret_cast<FindFirstWide>(kernel_function("FindFirstFileW"));
  *find_next_wide = nullptr;
  if (find_first != nullptr && MultiByteToWideChar(CP_ACP, 0, pattern, -1, wide_pattern, MAX_PATH) > 0) {
    if (search_call_fails(CALL_FAULT(FindFirstFileW))) return INVALID_HANDLE_VALUE;
    search = find_first(wide_pattern, &wide);
    if (search != INVALID_HANDLE_VALUE) narrow_entry(&wide, found);
    if (search != INVALID_HANDLE_VALUE) *find_next_wide = kernel_function("FindNextFileW");
    if (search != INVALID_HANDLE_VALUE || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return search;
  }
  return SYSTEM_CALL(FindFirstFileA, INVALID_HANDLE_VALUE, pattern, found);
}

static BOOL find_next_entry(HANDLE search, AnyFunction find_next_wide, WIN32_FIND_DATAA* found) {
  WIN32_FIND_DATAW wide;
  if (find_next_wide == nullptr) return SYSTEM_CALL(FindNextFileA, FALSE, search, found);
  if (search_call_fails(CALL_FAULT(FindNextFileW))) return FALSE;
  if (!reinterpret_cast<FindNextWide>(find_next_wide)(search, &wide)) return FALSE;
  narrow_entry(&wide, found);
  return TRUE;
}

// Win32 takes these for separators, wildcards or redirections: a found
// name holding one is what the code page made of another character.
static BOOL is_reserved(char c) {
  return c == '\\' || c == '/' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|';
}

// For these names, with any extension and blanks before it, Win32 opens
// a device: CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9. No byte of a
// double-byte character is a dot or a blank.
static bool names_a_device(const char* name) {
  static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "COM", "LPT"};
  unsigned length = 0;
  while (name[length] != '\0' && name[length] != '.') ++length;
  while (length > 0 && name[length - 1] == ' ') --length;
  bool numbered = length == 4 && name[3] >= '1' && name[3] <= '9';
  for (unsigned at = 0; at < 6 && (length == 3 || numbered); ++at) {
    bool same = (at >= 4) == numbered;
    for (unsigned i = 0; i < 3 && same; ++i)
      same = (name[i] >= 'a' && name[i] <= 'z' ? name[i] - 32 : name[i]) == devices[at][i];
    if (same) return true;
  }
  return false;
}

// Links and junctions lead elsewhere and are not followed. A name Win32
// would not open as it is, since it drops a trailing dot or blank or takes
// it for a device, would open another file.
int entry_name_is_plain(const char* name, int link) {
  const char* last = name;
  if (link || name[0] == '\0' || names_a_device(name)) return 0;
  for (const char* p = name; *p != '\0'; p = CharNextA(p)) {
    if (is_reserved(*p)) return 0;
    last = p;
  }
  return *last != '.' && *last != ' ';
}

// An entry as the walk sees it; or the end of the listing, or why it broke off.
static int listed(HANDLE search, const WIN32_FIND_DATAA* found, WalkEntry* entry, Reason* why) {
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_NO_MORE_FILES) return LISTED_ALL;
    *why = last_error_reason();
    return LIST_FAILED;
  }
  // Both hold MAX_PATH bytes. A control character, which only a volume
  // another system wrote can hold, could end or forge a report line: it
  // is shown as '?', which marks the name as one not opened. No byte of a
  // double-byte character is below 0x20.
  unsigned length = 0;
  for (; found->cFileName[length] != '\0'; ++length) {
    char c = found->cFileName[length];
    entry->name[length] = (unsigned char)c < 0x20 ? '?' : c;
  }
  entry->name[length] = '\0';
  entry->directory = (found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry->link = (found->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  entry->plain = entry_name_is_plain(entry->name, entry->link);
  return LISTED_ENTRY;
}

Reason open_walk_root(const char* pattern, int, WalkRoot* root) {
  root->folder_length = (unsigned)(last_component(pattern) - pattern);
  return done_reason();
}

void close_walk_root(WalkRoot*) {}

// The folder a search lists is held open, sharing no deletion, until the
// search ends: no other process renames it or puts a link in its place
// meanwhile, so each path the walk builds below it leads into it. Below
// the root, which is followed as given, a folder that is a link or a
// junction now was put in place of the one the listing showed, and one
// that another program holds with delete access could be moved meanwhile.
// Where folders cannot be opened (Windows 95) none is held.
static Reason hold_folder(const WalkRoot* root, const char* pattern, WalkSearch* search) {
  char folder[PATH_CAPACITY];
  unsigned length = (unsigned)(last_component(pattern) - pattern);
  bool below_root = root != nullptr && length > root->folder_length;
  // Below the root it ends in an entry's name and a separator, which
  // would lead through a link: the name is what is opened.
  folder_of(pattern, below_root ? length - 1 : length, folder);
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (below_root ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  search->folder =
      (SystemHandle)SYSTEM_CALL(CreateFileA, INVALID_HANDLE_VALUE, folder, FILE_LIST_DIRECTORY,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
  if (below_root && search->folder == NO_HANDLE && GetLastError() == ERROR_SHARING_VIOLATION)
    return last_error_reason();
  DWORD attributes = below_root ? SYSTEM_CALL(GetFileAttributesA, INVALID_FILE_ATTRIBUTES, folder) : 0;
  if (attributes == INVALID_FILE_ATTRIBUTES) return last_error_reason();
  return own_reason((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? REASON_CHANGED : REASON_NONE);
}

int first_entry(const WalkRoot* root, const char* pattern, WalkSearch* search, WalkEntry* entry, Reason* why) {
  WIN32_FIND_DATAA found;
  search->handle = (SystemHandle)INVALID_HANDLE_VALUE;
  search->folder = (SystemHandle)INVALID_HANDLE_VALUE;
  search->find_next_wide = nullptr;
  *why = injected_failure();
  if (OPERATION_FAULT(first_entry)) return LIST_FAILED;
  *why = done_reason();
  if (stop_requested()) return LISTED_ALL;
  *why = hold_folder(root, pattern, search);
  if (failed(*why)) return LIST_FAILED;
  HANDLE first = find_first_entry(pattern, &found, &search->find_next_wide);
  search->handle = (SystemHandle)first;
  // No match at all is no listing: the target names nothing.
  if (first == INVALID_HANDLE_VALUE && GetLastError() == ERROR_NO_MORE_FILES) SetLastError(ERROR_FILE_NOT_FOUND);
  return listed(first, &found, entry, why);
}

int next_entry(WalkSearch* search, WalkEntry* entry, Reason* why) {
  WIN32_FIND_DATAA found;
  HANDLE handle = handle_of(search->handle);
  *why = injected_failure();
  if (OPERATION_FAULT(next_entry)) return LIST_FAILED;
  *why = done_reason();
  if (stop_requested()) return LISTED_ALL;
  BOOL next = find_next_entry(handle, search->find_next_wide, &found);
  return listed(next ? handle : INVALID_HANDLE_VALUE, &found, entry, why);
}

// A folder a volume is mounted on is a reparse point, which the walk never enters.
int entry_on_other_file_system(WalkSearch*, const WalkEntry*) { return 0; }

void end_search(WalkSearch* search) {
  HANDLE handle = handle_of(search->handle);
  if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  search->handle = (SystemHandle)INVALID_HANDLE_VALUE;
  close_handle(&search->folder);
}

// GetCommandLineA is the wide command line converted a character at a
// time, so the two texts are walked in step.
bool command_line_holds_exactly(const char* first, const char* last) {
  CommandLineWide command_line = reinterpret_cast<CommandLineWide>(kernel_function("GetCommandLineW"));
  const WCHAR* wide = command_line != nullptr ? command_line() : nullptr;
  const char* at = GetCommandLineA();
  // Without the wide text (Windows 95) there is nothing to tell by.
  if (wide == nullptr || *wide == 0) return true;
  while (at < last) {
    char bytes[8];
    if (*wide == 0) return false;
    int units = units_at(wide);
    int count = WideCharToMultiByte(CP_ACP, 0, wide, units, bytes, (int)sizeof bytes, nullptr, nullptr);
    if (count <= 0) return false;
    for (int i = 0; i < count; ++i)
      if (at[i] != bytes[i]) return false;
    if (at + count > first && narrow_character(wide, units, bytes, (int)sizeof bytes) == 0) return false;
    at += count;
    wide += units;
  }
  return true;
}
