#include "http_scan.h"

#include "status_line.h"

enum { LINE_MATCHED = 0, LINE_NOT_STATUS = 1, LINE_FAILED = 2 };

// Reads a status line through its end, stopping at the first byte that
// cannot belong to one; *code gets its status code.
static int read_status_line(SourceReader* reader, int* code) {
  StatusLine line = {0, 0};
  unsigned char byte = 0;
  for (;;) {
    int got = reader_next(reader, &byte);
    if (got != BYTE_READ) return got == BYTE_END ? LINE_NOT_STATUS : LINE_FAILED;
    int step = status_line_step(&line, byte);
    if (step == NO_STATUS_LINE) return LINE_NOT_STATUS;
    if (step != IN_STATUS_LINE) break;
  }
  *code = line.code;
  return LINE_MATCHED;
}

// The fields that tell whether a body follows a block.
enum {
  HAS_LOCATION = 1,
  HAS_WWW_AUTHENTICATE = 2,
  HAS_PROXY_AUTHENTICATE = 4,
  HAS_CONTENT_LENGTH = 8,
  HAS_TRANSFER_ENCODING = 16,
  LENGTH_ZERO = 32
};

struct Field {
  const char* name;  // in lower case
  int flag;
};
static const Field FIELDS[] = {{"location", HAS_LOCATION},
                               {"www-authenticate", HAS_WWW_AUTHENTICATE},
                               {"proxy-authenticate", HAS_PROXY_AUTHENTICATE},
                               {"content-length", HAS_CONTENT_LENGTH},
                               {"transfer-encoding", HAS_TRANSFER_ENCODING}};
// Longer than any name above: a longer name is none of them.
enum { NAME_CAPACITY = 20 };

// The flag of the field whose lower-case name is name[0..length), or 0.
static int field_flag(const char* name, unsigned length) {
  for (const Field& field : FIELDS) {
    unsigned at = 0;
    while (at < length && field.name[at] == name[at]) ++at;
    if (at == length && field.name[at] == '\0') return field.flag;
  }
  return 0;
}

// Reads the rest of a line through its LF. *zero: whether it is a value of
// 0, one or more '0' between blanks (SP, HTAB), before an LF or CR LF.
static int rest_of_line(SourceReader* reader, int* zero) {
  enum { BEFORE, ZEROS, AFTER, OTHER } value = BEFORE;
  unsigned char byte = 0;
  unsigned char last = 0;
  for (;;) {
    int got = reader_next(reader, &byte);
    if (got != BYTE_READ) return got;
    if (byte == 0x0A) break;
    if (last == 0x0D)  // a CR is only the line's end
      value = OTHER;
    else if (byte == '0')
      value = value == BEFORE || value == ZEROS ? ZEROS : OTHER;
    else if (byte == ' ' || byte == '\t')
      value = value == ZEROS ? AFTER : value;
    else if (byte != 0x0D)
      value = OTHER;
    last = byte;
  }
  *zero = value == ZEROS || value == AFTER;
  return BYTE_READ;
}

// Reads a block's field lines through the empty line that ends it, LF or
// CR LF; *declared gets the flags of the fields found. BYTE_READ at the
// end of the block.
static int read_fields(SourceReader* reader, int* declared) {
  *declared = 0;
  for (;;) {
    char name[NAME_CAPACITY];
    unsigned length = 0;
    unsigned char byte = 0;
    int got = BYTE_READ;
    // The name, up to its colon. Field lines are ASCII: a byte is put in
    // lower case by setting one bit, which no byte of a name looked for
    // is changed by.
    while (length < NAME_CAPACITY && (got = reader_next(reader, &byte)) == BYTE_READ && byte != ':' && byte != 0x0A)
      name[length++] = (char)(byte >= 'A' && byte <= 'Z' ? byte | 0x20 : byte);
    if (got != BYTE_READ) return got;
    if (byte == 0x0A && length <= 1 && (length == 0 || name[0] == 0x0D)) return BYTE_READ;
    if (byte == 0x0A) continue;
    int flag = byte == ':' ? field_flag(name, length) : 0;
    int zero = 0;
    got = rest_of_line(reader, &zero);
    if (got != BYTE_READ) return got;
    *declared |= flag;
    if (flag == HAS_CONTENT_LENGTH && zero) *declared |= LENGTH_ZERO;
  }
}

// Whether clients write no body after a block with this status code and
// these fields: what follows it may be the next response's block.
static int body_withheld(int code, int declared) {
  int kind = code / 100;
  if (kind == 1 || (declared & LENGTH_ZERO) != 0) return 1;
  if (kind == 3) return (declared & HAS_LOCATION) != 0;
  if (code == 401) return (declared & HAS_WWW_AUTHENTICATE) != 0;
  if (code == 407) return (declared & HAS_PROXY_AUTHENTICATE) != 0;
  return kind == 2 && (declared & (HAS_CONTENT_LENGTH | HAS_TRANSFER_ENCODING)) == 0;
}

int scan_http_header(SourceReader* reader) {
  int code = 0;
  int declared = 0;
  int line = read_status_line(reader, &code);
  if (line != LINE_MATCHED) return line == LINE_FAILED ? HTTP_SCAN_ERROR : HTTP_SCAN_SKIPPED;
  for (;;) {
    if (read_fields(reader, &declared) != BYTE_READ) return HTTP_SCAN_ERROR;
    if (!body_withheld(code, declared)) return HTTP_SCAN_BODY;
    FileSize body = reader_offset(reader);
    int interim = code / 100 == 1;
    line = read_status_line(reader, &code);
    if (line == LINE_FAILED) return HTTP_SCAN_ERROR;
    if (line == LINE_MATCHED) continue;
    // A file that claims an interim response but holds no final one is
    // not what it claims to be, and is left alone.
    if (interim) return HTTP_SCAN_ERROR;
    // The block was the response after all, and what was read past it
    // begins its body.
    reader_step_back(reader, body);
    return HTTP_SCAN_BODY;
  }
}
