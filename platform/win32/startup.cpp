// Process start-up: no C run-time library is linked, so this is the entry
// point; it runs the driver and exits with its result.
#include "../../app/driver.h"
#include "../platform.h"

extern "C" void bodycut_entry(void) {
  RunSettings settings = default_run_settings();
  ExitProcess((UINT)bodycut_main(&settings));
}
