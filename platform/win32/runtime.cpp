// The few functions the compiler may call on its own (block copies and
// fills of locals, a loop that counts a text's bytes), and the byte search
// of the header scan. They are
// defined here because no C run-time library is linked; the build keeps
// the compiler from turning these loops back into calls of themselves.
#include <stddef.h>

extern "C" {

void* memset(void* target, int value, size_t count) {
  unsigned char* at = static_cast<unsigned char*>(target);
  while (count-- > 0) *at++ = (unsigned char)value;
  return target;
}

void* memcpy(void* target, const void* source, size_t count) {
  unsigned char* to = static_cast<unsigned char*>(target);
  const unsigned char* from = static_cast<const unsigned char*>(source);
  while (count-- > 0) *to++ = *from++;
  return target;
}

void* memchr(const void* area, int value, size_t count) {
  const unsigned char* at = static_cast<const unsigned char*>(area);
  for (; count > 0; ++at, --count)
    if (*at == (unsigned char)value) return const_cast<unsigned char*>(at);
  return nullptr;
}

size_t strlen(const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

void* memmove(void* target, const void* source, size_t count) {
  unsigned char* to = static_cast<unsigned char*>(target);
  const unsigned char* from = static_cast<const unsigned char*>(source);
  if (to < from) {
    while (count-- > 0) *to++ = *from++;
  } else {
    while (count-- > 0) to[count] = from[count];
  }
  return target;
}
}
