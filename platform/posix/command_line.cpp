// The command line, formed from the argument vector by the tokenizer's own
// rule so that it gives the target back byte for byte; characters of the
// locale's encoding; and what a path names.
#include "command_line.h"
#include "../../app/tokenizer.h"
#include "posix_internal.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

static char command_line[COMMAND_LINE_CAPACITY];

const char* command_line_text(void) { return command_line; }

// The command line is formed from the arguments' own bytes.
bool command_line_holds_exactly(const char*, const char*) { return true; }

bool form_command_line(const char* program, const char* target) {
  unsigned long used = 0;
  command_line[0] = '\0';
  // The program's name is never used; a stand-in does when it cannot pass.
  if (program == nullptr || !append_token(command_line, COMMAND_LINE_CAPACITY / 2, &used, program))
    append_token(command_line, COMMAND_LINE_CAPACITY, &used, "bodycut");
  if (target == nullptr) return true;
  return append_token(command_line, COMMAND_LINE_CAPACITY, &used, target);
}

// One whole character of the locale's encoding, never less than a byte.
const char* next_character(const char* position) {
  const unsigned char* at = reinterpret_cast<const unsigned char*>(position);
  if (*at == 0) return position;
  if (*at < 0x80 || MB_CUR_MAX == 1) return position + 1;
  std::mbstate_t state;
  std::memset(&state, 0, sizeof state);
  std::size_t length = std::mbrlen(position, MB_CUR_MAX, &state);
  if (length == 0 || length == (std::size_t)-1 || length == (std::size_t)-2) length = 1;
  return position + length;
}

// A link counts as what it names; a dangling one, or a loop of them, as a
// file, which opening it tells more of. What cannot be looked at names
// nothing: it is searched as a pattern, which tells why it fails.
int path_kind(const char* path) {
  struct statx status;
  if (sys::statx(AT_FDCWD, path, 0, STATX_TYPE, &status) == 0)
    return S_ISDIR(status.stx_mode) ? PATH_DIRECTORY : PATH_OTHER;
  if (errno != ENOENT && errno != ELOOP) return PATH_NAMES_NOTHING;
  return sys::statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &status) == 0 ? PATH_OTHER : PATH_NAMES_NOTHING;
}
