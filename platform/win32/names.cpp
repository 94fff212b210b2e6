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

// Looked up, not imported, so that the program starts on any KERNEL32.
// void (*)(void) is the type a function pointer passes through unchecked.
typedef void (*AnyFunction)(void);
static AnyFunction kernel_function(const char* name) {
  HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
  return kernel != nullptr ? reinterpret_cast<AnyFunction>(GetProcAddress(kernel, name)) : nullptr;
}

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

static void narrow_entry(const WIN32_FIND_DATAW* wide, WIN32_FIND_DATAA* found) {
  found->dwFileAttributes = wide->dwFileAttributes;
  found->ftCreationTime = wide->ftCreationTime;
  found->ftLastAccessTime = wide->ftLastAccessTime;
  found->ftLastWriteTime = wide->ftLastWriteTime;
  found->nFileSizeHigh = wide->nFileSizeHigh;
  found->nFileSizeLow = wide->nFileSizeLow;
  found->dwReserved0 = wide->dwReserved0;
  found->dwReserved1 = wide->dwReserved1;
  narrow_name(wide->cFileName, found->cFileName, sizeof found->cFileName);
  narrow_name(wide->cAlternateFileName, found->cAlternateFileName, sizeof found->cAlternateFileName);
}

HANDLE find_first_entry(LPCSTR pattern, WIN32_FIND_DATAA* found) {
  HANDLE search = INVALID_HANDLE_VALUE;
  WCHAR wide_pattern[MAX_PATH];
  WIN32_FIND_DATAW wide;
  FindFirstWide find_first = reinterpret_cast<FindFirstWide>(kernel_function("FindFirstFileW"));
  if (stop_requested()) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return INVALID_HANDLE_VALUE;
  }
  if (find_first != nullptr && MultiByteToWideChar(CP_ACP, 0, pattern, -1, wide_pattern, MAX_PATH) > 0) {
    search = find_first(wide_pattern, &wide);
    if (search != INVALID_HANDLE_VALUE) narrow_entry(&wide, found);
    if (search != INVALID_HANDLE_VALUE || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return search;
  }
  return FindFirstFileA(pattern, found);
}

BOOL find_next_entry(HANDLE search, WIN32_FIND_DATAA* found) {
  WIN32_FIND_DATAW wide;
  FindNextWide find_next = reinterpret_cast<FindNextWide>(kernel_function("FindNextFileW"));
  if (stop_requested()) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  if (find_next != nullptr) {
    if (find_next(search, &wide)) {
      narrow_entry(&wide, found);
      return TRUE;
    }
    if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return FALSE;
  }
  return FindNextFileA(search, found);
}

// Win32 takes these for separators, wildcards or redirections: a found
// name holding one is what the code page made of another character.
static BOOL is_reserved(char c) {
  return c == '\\' || c == '/' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|';
}

// Links and junctions lead elsewhere and are not followed. A name Win32
// would not open as it is, since it drops a trailing dot or blank, would
// open another file.
BOOL found_entry_is_plain(const WIN32_FIND_DATAA* found) {
  const char* name = found->cFileName;
  const char* last = name;
  if ((found->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || name[0] == '\0') return FALSE;
  for (const char* p = name; *p != '\0'; p = CharNextA(p)) {
    if (is_reserved(*p)) return FALSE;
    last = p;
  }
  return *last != '.' && *last != ' ';
}

// GetCommandLineA is the wide command line converted a character at a
// time, so the two texts are walked in step.
BOOL command_line_holds_exactly(LPCSTR first, LPCSTR last) {
  CommandLineWide command_line = reinterpret_cast<CommandLineWide>(kernel_function("GetCommandLineW"));
  const WCHAR* wide = command_line != nullptr ? command_line() : nullptr;
  const char* at = GetCommandLineA();
  // Without the wide text (Windows 95) there is nothing to tell by.
  if (wide == nullptr || *wide == 0) return TRUE;
  while (at < last) {
    char bytes[8];
    if (*wide == 0) return FALSE;
    int units = units_at(wide);
    int count = WideCharToMultiByte(CP_ACP, 0, wide, units, bytes, (int)sizeof bytes, nullptr, nullptr);
    if (count <= 0) return FALSE;
    for (int i = 0; i < count; ++i)
      if (at[i] != bytes[i]) return FALSE;
    if (at + count > first && narrow_character(wide, units, bytes, (int)sizeof bytes) == 0) return FALSE;
    at += count;
    wide += units;
  }
  return TRUE;
}
