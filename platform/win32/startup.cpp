// Process start-up: no C run-time library is linked, so this is the entry
// point; it runs the driver and exits with its result, or with 1 when
// Ctrl-C or Ctrl-Break stopped the run.
#include "../../app/driver.h"
#include "win32_internal.h"

extern "C" void bodycut_entry(void) {
  RunSettings settings = default_run_settings();
  catch_console_stop();
  int status = bodycut_main(&settings);
  let_stop_handler_end();
  ExitProcess(stop_requested() ? 1u : (UINT)status);
}
