// The KERNEL32 calls the Windows platform makes, each through one table so
// that a test build can fail the nth call of any (fault_injection.h).
#ifndef BODYCUT_WIN32_SYSTEM_CALLS_H
#define BODYCUT_WIN32_SYSTEM_CALLS_H

// X(name): one row per call. The wide search calls are looked up, not
// imported (Windows 95 lacks them), and fail through their own rows.
#define SYSTEM_CALLS(X)         \
  X(CreateFileA)                \
  X(GetFileInformationByHandle) \
  X(ReadFile)                   \
  X(WriteFile)                  \
  X(SetFilePointer)             \
  X(SetEndOfFile)               \
  X(SetFileTime)                \
  X(SetFileAttributesA)         \
  X(GetTempPathA)               \
  X(GetTempFileNameA)           \
  X(GetFullPathNameA)           \
  X(GetShortPathNameA)          \
  X(DeleteFileA)                \
  X(CloseHandle)                \
  X(FindFirstFileA)             \
  X(FindNextFileA)              \
  X(FindFirstFileW)             \
  X(FindNextFileW)              \
  X(GetFileAttributesA)         \
  X(GetFileInformationByHandleEx)

#endif
