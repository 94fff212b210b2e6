// The console control handler. The system runs it on a thread of its own,
// so it only records the request; the copy loops and the walk look at it.
#include "win32_internal.h"

// Set once by the handler's thread, read by the run's.
static volatile LONG stop = 0;
// Set once by whichever thread's report line could not be written.
static volatile LONG report_failed = 0;

static BOOL WINAPI record_stop(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterlockedExchange(&stop, 1);
  return TRUE;
}

void catch_console_stop(void) { SetConsoleCtrlHandler(record_stop, TRUE); }

bool first_report_failure(void) { return InterlockedExchange(&report_failed, 1) == 0; }
bool report_write_failed(void) { return report_failed != 0; }

bool stop_requested(void) { return stop != 0 || report_failed != 0; }
