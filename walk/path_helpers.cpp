#include "path_helpers.h"

#include "../platform/platform.h"

const char* find_separator(const char* p) {
  while (!is_path_separator(*p)) {
    if (*p == '\0') return nullptr;
    p = CharNextA(p);
  }
  return p;
}

char* final_component(char* path) {
  char* p = path + drive_prefix_length(path);
  const char* separator;
  while ((separator = find_separator(p)) != nullptr) p = path + (separator - path) + 1;
  return p;
}

int join_path(char* out, unsigned capacity, const char* dir, const char* tail) {
  unsigned used = 0;
  const char* mark = dir;
  const char* p = dir;
  while (*p != '\0') {
    const char* next = CharNextA(p);
    if (is_path_separator(*p)) mark = next;
    while (p < next) {
      if (used + 1 >= capacity) goto too_long;
      out[used++] = *p++;
    }
  }
  if (mark != p) {
    if (used + 1 >= capacity) goto too_long;
    out[used++] = PATH_SEPARATOR;
  }
  for (; *tail != '\0'; ++tail) {
    if (used + 1 >= capacity) goto too_long;
    out[used++] = *tail;
  }
  out[used] = '\0';
  return 1;

too_long:
  out[0] = '\0';
  return 0;
}
