#include "driver.h"

#include "../platform/platform.h"
#include "../strip/strip_file.h"
#include "../walk/walk_target.h"
#include "tokenizer.h"

const char usage_text[] =
    "BODYCUT : removes the HTTP header block from saved files; written by the BODYCUT developers" LINE_END
    "usage: BODYCUT target" LINE_END;

int bodycut_main(const RunSettings* settings) {
  char buffer[PATH_CAPACITY];
  unsigned length = 0;
  const char* cursor = command_line_text();
  // The first token is the program's own name, never used.
  next_token(&cursor, buffer, sizeof buffer, &length);
  const char* target_start = cursor;
  if (next_token(&cursor, buffer, sizeof buffer, &length) == 0) buffer[0] = '\0';
  // "/?", the help switch of Windows programs, would be a pattern at the
  // root of the drive: whoever types it wants the usage.
  bool help = buffer[0] == '/' && buffer[1] == '?' && buffer[2] == '\0';
  if (buffer[0] == '\0' || help) {
    write_console(usage_text);
    return 1;
  }
  // A cut target could name another file: it is never used.
  if (length >= sizeof buffer) {
    write_console("Target too long" LINE_END);
    return 1;
  }
  // A character the code page bent may name another file, or climb out of
  // the tree as a separator: the target is not used.
  if (!command_line_holds_exactly(target_start, cursor)) {
    write_console("Target holds a character the code page does not: it could name another file" LINE_END);
    return 1;
  }
  int kind = path_kind(buffer);
  // A path that names nothing is searched as a pattern.
  if (kind != PATH_OTHER) {
    // What a walk keeps beyond its stack, passed down from here.
    static WalkMemory memory;
    Reason why = done_reason();
    int walked = walk_target(buffer, kind == PATH_NAMES_NOTHING, settings, &memory, &why);
    if (walked == WALK_NOT_LISTED) write_console("Source open error" LINE_END);
    if (walked == WALK_NOT_LISTED) report_reason(buffer, why);
    if (walked == WALK_TOO_LONG) write_console("Target too long" LINE_END);
    return 1;
  }
  // A skipped file fails a single-file run, as a file that was not stripped.
  return strip_file(buffer, settings) == STRIP_OK ? 0 : 1;
}
