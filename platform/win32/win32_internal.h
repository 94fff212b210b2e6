// Shared by the Windows implementation of the platform operations.
#ifndef BODYCUT_WIN32_INTERNAL_H
#define BODYCUT_WIN32_INTERNAL_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "../fault_injection.h"
#include "../platform.h"

#ifndef BODYCUT_FAULT_INJECTION
#define BODYCUT_FAULT_INJECTION 0
#endif

// Every call in the table (system_calls.h) is made through SYSTEM_CALL: a
// test build can fail the nth one as the system would, with failure as its
// result and a plausible error for GetLastError.
#if BODYCUT_FAULT_INJECTION
#define OPERATION_FAULT(operation) fault_fires(FAULT_##operation)
#define CALL_FAULT(name) fault_fires(FAULT_SYSTEM_CALL + SYSTEM_CALL_##name)
#else
#define OPERATION_FAULT(operation) false
#define CALL_FAULT(name) false
#endif
#define SYSTEM_CALL(name, failure, ...) \
  (CALL_FAULT(name) ? (SetLastError(ERROR_GEN_FAILURE), (failure)) : name(__VA_ARGS__))

inline HANDLE handle_of(SystemHandle handle) { return reinterpret_cast<HANDLE>(handle); }
static const SystemHandle NO_HANDLE = (SystemHandle)INVALID_HANDLE_VALUE;

// Opens path as CreateFileA does with OPEN_EXISTING, and reads its facts.
Reason open_with_facts(const char* path, DWORD access, DWORD sharing, SystemHandle* handle, FileFacts* facts);
// The change time moves with every write, whatever last-write time a
// writer puts back after it. Windows before Vista tells none: 0 there.
bool read_change_time(HANDLE handle, FileStamp* changed);
// A close that fails still lets the handle go, as a failed close on a
// file system does: an injected failure closes it too.
Reason close_handle(SystemHandle* handle);
bool read_chunk(SystemHandle handle, void* buffer, unsigned wanted, DWORD* got);
bool write_chunk(SystemHandle handle, const void* buffer, DWORD count);
// SetFileTime with all three times.
bool set_times(SystemHandle handle, const FileTimes* times);
// Moves the source's handle to offset, unless it is there already.
bool move_source(SourceFile* file, FileSize offset);
// A position the handle cannot be at: the next read moves it first.
static const FileSize UNKNOWN_POSITION = ~(FileSize)0;

// A KERNEL32 function looked up, not imported, so that the program starts
// on any KERNEL32; null where it lacks it. void (*)(void) is the type a
// function pointer passes through unchecked.
typedef void (*AnyFunction)(void);
AnyFunction kernel_function(const char* name);

// The folder that the first length bytes of path name, into out,
// NUL-terminated; its length. "" and "C:" name the current folder (of
// that drive): "." is added.
unsigned folder_of(const char* path, unsigned length, char* out);
// Where the last component of a path starts; a double-byte character whose
// second byte is a backslash is not a separator.
const char* last_component(const char* path);

// The reason for what GetLastError holds, in the tool's words where it has them.
Reason last_error_reason(void);
// An operation's own injected failure: an input and output error.
inline Reason injected_failure(void) {
  Reason reason = {REASON_SYSTEM, ERROR_IO_DEVICE, 0};
  return reason;
}

// Ctrl-C and Ctrl-Break ask the run to stop rather than end the process
// halfway through a file: the file in hand is finished or given up whole,
// and the walk ends before its next entry.
void catch_console_stop(void);
// Waits for the thread of the last handler call to end, before the exit.
void let_stop_handler_end(void);
// Records that the report could not be written, which stops the run: true
// the first time only.
bool first_report_failure(void);
bool report_write_failed(void);

#endif
