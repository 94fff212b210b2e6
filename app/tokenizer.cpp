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

// Unquoted, a token ends at a blank or a control byte, and a leading quote
// opens a quoted one.
static bool needs_quotes(const unsigned char* arg) {
  if (arg[0] == '\0' || arg[0] == QUOTE) return true;
  for (; *arg != '\0'; ++arg)
    if (*arg <= BLANK) return true;
  return false;
}

// Quoted, a line break ends the text, and a quote closes the token where
// next_token would close it.
static bool survives_quotes(const unsigned char* arg) {
  for (; *arg != '\0'; ++arg) {
    if (*arg == CR || *arg == LF) return false;
    if (*arg == QUOTE && arg[1] != '\0' && (signed char)arg[1] <= BLANK) return false;
  }
  return true;
}

bool append_token(char* out, unsigned long capacity, unsigned long* used, const char* arg) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(arg);
  bool quoted = needs_quotes(bytes);
  unsigned long length = 0;
  while (arg[length] != '\0') ++length;
  unsigned long separator = *used > 0 ? 1 : 0;
  if ((quoted && !survives_quotes(bytes)) || *used + separator + length + (quoted ? 2 : 0) + 1 > capacity) return false;
  char* at = out + *used;
  if (separator) *at++ = ' ';
  if (quoted) *at++ = QUOTE;
  for (unsigned long i = 0; i < length; ++i) *at++ = arg[i];
  if (quoted) *at++ = QUOTE;
  *at = '\0';
  *used = (unsigned long)(at - out);
  return true;
}
