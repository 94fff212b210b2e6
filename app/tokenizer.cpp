#include "tokenizer.h"

enum { BLANK = 0x20, TAB = 0x09, CR = 0x0D, LF = 0x0A, QUOTE = 0x22 };

int peek_char(const char** cursor) {
  const unsigned char* at = reinterpret_cast<const unsigned char*>(*cursor);
  if (at[0] == CR) {
    if (at[1] == LF) ++*cursor;
    return 0;
  }
  if (at[0] == LF) {
    if (at[1] == CR) ++*cursor;
    return 0;
  }
  return at[0];
}

int skip_blanks(const char** cursor) {
  int c;
  while ((c = peek_char(cursor)) == BLANK || c == TAB) ++*cursor;
  return c;
}

static void append_byte(char* buffer, unsigned capacity, unsigned* length, int byte) {
  if (*length + 1 < capacity) buffer[*length] = (char)byte;
  ++*length;
}

int next_token(const char** cursor, char* buffer, unsigned capacity, unsigned* length) {
  const char* at = *cursor;
  int c = skip_blanks(&at);
  if (c == 0) {
    *cursor = at;
    return 0;
  }
  ++at;
  unsigned count = 0;
  int result;
  if (c == QUOTE) {
    result = (unsigned char)*at;
    for (;;) {
      int d = peek_char(&at);
      if (d == 0) break;
      ++at;
      // Signed on purpose: a quote before a byte from 0x80 up closes too.
      if (d == QUOTE && (signed char)*at <= BLANK) break;
      append_byte(buffer, capacity, &count, d);
    }
  } else {
    result = c;
    append_byte(buffer, capacity, &count, c);
    for (;;) {
      int d = peek_char(&at);
      if (d == 0) break;
      ++at;
      if (d <= BLANK) break;
      append_byte(buffer, capacity, &count, d);
    }
  }
  buffer[count < capacity ? count : capacity - 1] = '\0';
  *length = count;
  *cursor = at;
  return result;
}
