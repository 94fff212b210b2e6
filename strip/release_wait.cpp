#include "release_wait.h"

#include "../platform/platform.h"

enum { PAUSE_MILLISECONDS = 10, MAXIMUM_PAUSES = 1000 };

void wait_until_released(const char* path) {
  // The first pause lets a run that was only reading the file go on to
  // take it for its copy back, so that it is waited out too.
  // A stop asked for meanwhile ends the wait: the retry then gives up.
  for (unsigned pause = 0; pause < MAXIMUM_PAUSES && !stop_requested(); ++pause) {
    Sleep(PAUSE_MILLISECONDS);
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      break;
    }
    if (GetLastError() != ERROR_SHARING_VIOLATION) break;
  }
}
