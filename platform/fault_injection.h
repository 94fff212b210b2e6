// Test builds only: make one platform operation, or one system call, fail
// on purpose, so the logic's handling of every failure is exercised for
// real. Every system call a platform makes goes through its table of
// calls (system_calls.h), where the nth call of one can be made to fail as
// the system would fail it; the operations of files.h and
// walk_directory.h can be made to fail before they do anything.
#ifndef BODYCUT_FAULT_INJECTION_H
#define BODYCUT_FAULT_INJECTION_H

#if defined(_WIN32)
#include "win32/system_calls.h"
#else
#include "posix/system_calls.h"
#endif

// One name for each row of the platform's table.
enum SystemCallName {
#define SYSTEM_CALL_ENUM(name) SYSTEM_CALL_##name,
  SYSTEM_CALLS(SYSTEM_CALL_ENUM)
#undef SYSTEM_CALL_ENUM
      SYSTEM_CALL_COUNT
};

// The platform's operations: the nth fails first thing, with an input and
// output error, and does nothing. X(name): one row each.
#define FAULT_OPERATIONS(X)                                                            \
  X(open_source)                                                                       \
  X(find_source)                                                                       \
  X(open_found_source)                                                                 \
  X(read_source)                                                                       \
  X(end_source_reading)                                                                \
  X(make_source_writable)                                                              \
  X(restore_protection)                                                                \
  X(check_copy_back)                                                                   \
  X(choose_body_name)                                                                  \
  X(create_body_file)                                                                  \
  X(fill_body_file)                                                                    \
  X(keep_body_file)                                                                    \
  X(close_body_file) /* its deletion fails */                                          \
  X(open_copy_back_target)                                                             \
  X(check_times_settable)                                                              \
  X(copy_body_back)                                                                    \
  X(copy_body_back_short) /* writes half the body, then fails, as a full disk would */ \
  X(finish_copy_back)                                                                  \
  X(first_entry)                                                                       \
  X(next_entry)                                                                        \
  X(body_name_taken) /* another file takes the body file's name just before it is given */

enum FaultOperation {
  FAULT_ANY = 0,  // counts every system call, and only those
#define FAULT_ENUM(name) FAULT_##name,
  FAULT_OPERATIONS(FAULT_ENUM)
#undef FAULT_ENUM
  // The platform's system calls, one each, in the order its table lists
  // them: FAULT_SYSTEM_CALL + SYSTEM_CALL_name.
  FAULT_SYSTEM_CALL,
  FAULT_OPERATION_COUNT = FAULT_SYSTEM_CALL + SYSTEM_CALL_COUNT
};

// The nth call (from 1) of the operation fails; every other call runs.
void fault_arm(int operation, unsigned nth);
void fault_disarm(void);
// Runs action(context) just before the nth call of the operation, which
// then runs as usual: for changing the world at an exact moment.
void fault_hook(int operation, unsigned nth, void (*action)(void*), void* context);
// Calls of the operation since the last arm or disarm.
unsigned fault_calls(int operation);
// Whether the armed fault has been injected.
int fault_injected(void);
// Reads BODYCUT_FAULT ("N", or "name:N" with an operation's or a system
// call's name, e.g. "copy_body_back_short:1" or "pwrite:2").
void fault_arm_from_environment(void);
// Forgets what the platform reads once per run (the lease break time), so
// that the next strip reads it again, as a new run would.
void fault_new_run(void);
// Name of an operation, as BODYCUT_FAULT spells it.
const char* fault_operation_name(int operation);

// For the platforms' own use: counts a call of the operation, runs a hook
// set on it, and tells whether it is the one armed to fail. Several
// workers count in one sequence, and one fault is injected however they
// meet; what is armed is set before any worker starts.
bool fault_fires(int operation);

#endif
