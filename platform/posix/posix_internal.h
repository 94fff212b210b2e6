// Shared by the POSIX implementation of the platform operations.
#ifndef BODYCUT_POSIX_INTERNAL_H
#define BODYCUT_POSIX_INTERNAL_H

#include "../fault_injection.h"
#include "../platform.h"

#include <sys/stat.h>

// Records a Win32 error code for GetLastError.
void set_last_error(DWORD code);
// Translates errno into the nearest Win32 error code and records it.
void set_last_error_from_errno(int error);

// The descriptor of the temporary file GetTempFileNameA made last, kept
// open for the CreateFileA that opens that same name next: the file is new,
// empty and ours, and opening it again would only cost system calls.
// Gives -1 when name is not that file; the descriptor is handed over.
int take_new_temporary(LPCSTR name);

// The handler of the signals that ask a run to stop: it only records the
// signal, and the walk ends before its next entry.
void record_stop_signal(int signal_number);
bool stop_requested(void);
// The signal recorded, 0 when none was.
int requested_stop_signal(void);

// The attribute word of what a stat call described.
DWORD attributes_from_stat(const struct stat* status);
FILETIME filetime_from_timespec(const struct timespec* time);
struct timespec timespec_from_filetime(const FILETIME* time);

#if BODYCUT_FAULT_INJECTION
// True when this call of the operation is the one armed to fail.
bool fault_fires(int operation);
#else
inline bool fault_fires(int) { return false; }
#endif

#endif
