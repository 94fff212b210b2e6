// Test builds only: make one platform operation fail on purpose, so the
// logic's handling of every failing call can be exercised for real.
#ifndef BODYCUT_FAULT_INJECTION_H
#define BODYCUT_FAULT_INJECTION_H

enum FaultOperation {
  FAULT_ANY = 0,  // counts every call below
  FAULT_GetFileAttributesA,
  FAULT_SetFileAttributesA,
  FAULT_GetTempPathA,
  FAULT_GetTempFileNameA,
  FAULT_CreateFileA,
  FAULT_GetFileInformationByHandle,
  FAULT_SetFileTime,
  FAULT_SetFilePointer,
  FAULT_SetEndOfFile,
  FAULT_ReadFile,
  FAULT_WriteFile,
  FAULT_CloseHandle,
  FAULT_copy_rest_of_file,        // fails before any byte is copied
  FAULT_copy_rest_of_file_short,  // stops halfway, as if the file system said it was done
  FAULT_name_temporary_file,
  FAULT_DeleteFileA,
  FAULT_FindFirstFileA,
  FAULT_FindNextFileA,
  FAULT_temporary_name_taken,  // another file takes the name just before the temporary file gets it
  FAULT_hold_file,
  FAULT_OPERATION_COUNT
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
// Reads BODYCUT_FAULT ("N" or "Operation:N", e.g. "copy_rest_of_file_short:2").
void fault_arm_from_environment(void);
// Forgets what the platform reads once per run (the lease break time), so
// that the next strip reads it again, as a new run would.
void fault_new_run(void);
// Name of an operation, as BODYCUT_FAULT spells it.
const char* fault_operation_name(int operation);

#endif
