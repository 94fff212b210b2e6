// The console writer. Console output goes through WriteConsoleA; when
// standard output is a file or a pipe, WriteConsoleA writes nothing, so the
// same bytes go through WriteFile instead.
#include "../platform.h"

void write_console(const char* text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD length = (DWORD)lstrlenA(text);
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(out, &mode))
    WriteConsoleA(out, text, length, &written, nullptr);
  else
    WriteFile(out, text, length, &written, nullptr);
}
