// The console control handler. The system runs it on a thread of its own,
// so it only records the request; the copy loops and the walk look at it.
#include "win32_internal.h"

// Set once by the handler's thread, read by the run's.
static volatile LONG stop = 0;
// Set once by whichever thread's report line could not be written.
static volatile LONG report_failed = 0;
// The thread of the newest handler call, for the exit to wait on.
static void* volatile handler_thread = nullptr;
// Longer than any handler call takes; a bound, so that an exit is never held.
static const DWORD HANDLER_END_WAIT_MILLISECONDS = 5000;

// Each call hands on a handle to its own thread and waits for the call
// before it, so that the newest thread's end means all have ended. The
// handle is handed on before the stop is recorded: the exit, once it sees
// the stop, then finds this thread to wait on.
static BOOL WINAPI record_stop(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  HANDLE self = nullptr;
  HANDLE earlier = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, SYNCHRONIZE, FALSE, 0))
    earlier = InterlockedExchangePointer(&handler_thread, self);
  InterlockedExchange(&stop, 1);
  if (earlier != nullptr) {
    WaitForSingleObject(earlier, HANDLER_END_WAIT_MILLISECONDS);
    CloseHandle(earlier);
  }
  return TRUE;
}

void catch_console_stop(void) { SetConsoleCtrlHandler(record_stop, TRUE); }

// The process's end cuts short every other thread. One that is still
// ending its handler call may hold a lock of the system's own (wine's
// thread exit loads a library), and the exit then waits on it for good.
void let_stop_handler_end(void) {
  HANDLE last = InterlockedExchangePointer(&handler_thread, nullptr);
  if (last != nullptr) {
    WaitForSingleObject(last, HANDLER_END_WAIT_MILLISECONDS);
    CloseHandle(last);
  }
}

bool first_report_failure(void) { return InterlockedExchange(&report_failed, 1) == 0; }
bool report_write_failed(void) { return report_failed != 0; }

bool stop_requested(void) { return stop != 0 || report_failed != 0; }
