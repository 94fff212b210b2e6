// Command line, character stepping and console output.
#include "command_line.h"
#include "posix_internal.h"

#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

static char command_line[COMMAND_LINE_CAPACITY];

LPSTR GetCommandLineA(void) { return command_line; }

static bool needs_quotes(const unsigned char* arg) {
  if (arg[0] == '\0' || arg[0] == '"') return true;
  for (; *arg != '\0'; ++arg)
    if (*arg <= 0x20) return true;
  return false;
}

// Inside quotes a line break ends the text, and a quote closes the token
// when the byte after it reads as a signed number of 32 or less.
static bool survives_quotes(const unsigned char* arg) {
  for (; *arg != '\0'; ++arg) {
    if (*arg == '\r' || *arg == '\n') return false;
    if (*arg == '"' && arg[1] != '\0' && (signed char)arg[1] <= 32) return false;
  }
  return true;
}

bool append_argument(char* out, std::size_t capacity, std::size_t* used, const char* arg) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(arg);
  bool quoted = needs_quotes(bytes);
  if (quoted && !survives_quotes(bytes)) return false;
  std::size_t length = std::strlen(arg);
  std::size_t separator = *used > 0 ? 1 : 0;
  std::size_t needed = *used + separator + length + (quoted ? 2 : 0) + 1;
  if (needed > capacity) return false;
  char* at = out + *used;
  if (separator) *at++ = ' ';
  if (quoted) *at++ = '"';
  std::memcpy(at, arg, length);
  at += length;
  if (quoted) *at++ = '"';
  *at = '\0';
  *used = (std::size_t)(at - out);
  return true;
}

bool form_command_line(const char* program, const char* target) {
  std::size_t used = 0;
  command_line[0] = '\0';
  // The program's name is never used; a stand-in does when it cannot pass.
  if (program == nullptr || !append_argument(command_line, COMMAND_LINE_CAPACITY / 2, &used, program))
    append_argument(command_line, COMMAND_LINE_CAPACITY, &used, "bodycut");
  if (target == nullptr) return true;
  return append_argument(command_line, COMMAND_LINE_CAPACITY, &used, target);
}

// One whole character of the locale's encoding, never less than a byte.
LPSTR CharNextA(LPCSTR position) {
  const unsigned char* at = reinterpret_cast<const unsigned char*>(position);
  if (*at == 0) return const_cast<LPSTR>(position);
  if (*at < 0x80 || MB_CUR_MAX == 1) return const_cast<LPSTR>(position + 1);
  std::mbstate_t state;
  std::memset(&state, 0, sizeof state);
  std::size_t length = std::mbrlen(position, MB_CUR_MAX, &state);
  if (length == 0 || length == (std::size_t)-1 || length == (std::size_t)-2) length = 1;
  return const_cast<LPSTR>(position + length);
}

// All of text, or false with errno. Standard output left non-blocking by
// whoever started the run is waited for, not given up on.
static bool write_to(int fd, const char* text) {
  std::size_t length = std::strlen(text);
  while (length > 0) {
    ssize_t put = write(fd, text, length);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno == EAGAIN) {
      struct pollfd writable = {fd, POLLOUT, 0};
      poll(&writable, 1, -1);
      continue;
    }
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      return false;
    }
    text += put;
    length -= (std::size_t)put;
  }
  return true;
}

// A report that cannot be written stops the run: nothing more is done
// that it could not tell of. Standard error says why, once; the rest of
// the report is not written, so no line goes out in part.
void write_console(const char* text) {
  if (report_write_failed() || write_to(STDOUT_FILENO, text)) return;
  char reason[128];
  const char* message = strerror_r(errno, reason, sizeof reason);
  if (!first_report_failure()) return;
  char line[192] = "bodycut: standard output: ";
  std::strncat(line, message, sizeof line - std::strlen(line) - 2);
  std::strcat(line, "\n");
  write_to(STDERR_FILENO, line);
}

void write_error(const char* text) { write_to(STDERR_FILENO, text); }

// A run that could not write its report says nothing more of its files.
void write_reason_line(const char* line) {
  if (!report_write_failed()) write_to(STDERR_FILENO, line);
}

void describe_system_error(int number, char* out, unsigned size) {
  char buffer[128];
  const char* message = strerror_r(number, buffer, sizeof buffer);
  unsigned length = 0;
  for (; size > 0 && length < size - 1 && message[length] != '\0'; ++length) out[length] = message[length];
  if (size > 0) out[length] = '\0';
}

// A name may hold any byte but '/' and NUL. The backslash starts every
// escape, so it is escaped itself; every other byte from 0x20 up, 0x7F
// aside, stands for itself, so most names read as they are.
unsigned report_name(const char* name, char* out) {
  static const char hex[] = "0123456789abcdef";
  unsigned length = 0;
  for (const unsigned char* at = reinterpret_cast<const unsigned char*>(name); *at != 0; ++at) {
    unsigned char byte = *at;
    char named = byte == '\\' ? '\\' : byte == '\n' ? 'n' : byte == '\t' ? 't' : byte == '\r' ? 'r' : '\0';
    if (named != '\0') {
      out[length++] = '\\';
      out[length++] = named;
    } else if (byte < 0x20 || byte == 0x7F) {
      out[length++] = '\\';
      out[length++] = 'x';
      out[length++] = hex[byte >> 4];
      out[length++] = hex[byte & 15];
    } else {
      out[length++] = (char)byte;
    }
  }
  out[length] = '\0';
  return length;
}
