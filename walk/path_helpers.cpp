#include "path_helpers.h"

#include "../platform/platform.h"

const char* find_separator(const char* p) {
  while (!is_path_separator(*p)) {
    if (*p == '\0') return nullptr;
    p = next_character(p);
  }
  return p;
}

char* final_component(char* path) {
  char* p = path + drive_prefix_length(path);
  const char* separator;
  while ((separator = find_separator(p)) != nullptr) p = path + (separator - path) + 1;
  return p;
}

int append_path(char* buffer, unsigned capacity, unsigned* length, const char* tail) {
  const char* end = buffer + *length;
  const char* last = end;
  for (const char* p = buffer; p < end; p = next_character(p)) last = p;
  unsigned used = *length;
  // A separator goes in unless the path is empty or ends in the platform's
  // own: "d/" on Windows gets a backslash too. A lone slash, the root, gets
  // none, as two separators would begin a network name.
  if (last != end && *last != PATH_SEPARATOR && !(used == 1 && is_path_separator(*last))) {
    if (used + 1 >= capacity) goto too_long;
    buffer[used++] = PATH_SEPARATOR;
  }
  for (; *tail != '\0'; ++tail) {
    if (used + 1 >= capacity) goto too_long;
    buffer[used++] = *tail;
  }
  buffer[used] = '\0';
  *length = used;
  return 1;

too_long:
  buffer[*length] = '\0';
  return 0;
}

int join_path(char* out, unsigned capacity, const char* dir, const char* tail) {
  unsigned length = 0;
  for (; dir[length] != '\0'; ++length) {
    if (length + 1 >= capacity) goto too_long;
    out[length] = dir[length];
  }
  out[length] = '\0';
  if (append_path(out, capacity, &length, tail)) return 1;

too_long:
  out[0] = '\0';
  return 0;
}
