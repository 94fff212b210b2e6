#include "source_reader.h"

#include <cstdint>

void reader_begin(SourceReader* reader, SourceFile* file, unsigned chunk) {
  reader->file = file;
  reader->chunk = chunk > 0 && chunk < READER_BUFFER_SIZE ? chunk : (unsigned)READER_BUFFER_SIZE;
  reader->start = 0;
  reader->filled = 0;
  reader->position = 0;
  reader->failure = done_reason();
}

int reader_refill(SourceReader* reader) {
  unsigned got = 0;
  reader->start += reader->filled;
  reader->filled = 0;
  reader->position = 0;
  reader->failure = read_source(reader->file, reader->start, reader->buffer, reader->chunk, &got);
  if (failed(reader->failure)) return BYTE_FAILED;
  reader->filled = got;
  return got == 0 ? BYTE_END : BYTE_READ;
}

// Where the first byte of that value lies in [from, end), or end. Eight
// bytes are tested at once: a byte equal to wanted becomes zero, and a
// zero byte leaves its top bit set in the test below.
static const unsigned char* find_byte(const unsigned char* from, const unsigned char* end, unsigned char wanted) {
  const std::uint64_t ones = 0x0101010101010101ull;
  const std::uint64_t pattern = ones * wanted;
  while (end - from >= 8) {
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = word << 8 | from[i];
    word ^= pattern;
    if (((word - ones) & ~word & (ones << 7)) != 0) break;
    from += 8;
  }
  while (from < end && *from != wanted) ++from;
  return from;
}

int reader_pass_through(SourceReader* reader, unsigned char wanted) {
  for (;;) {
    if (reader->position == reader->filled) {
      int refilled = reader_refill(reader);
      if (refilled != BYTE_READ) return refilled;
    }
    const unsigned char* at = reader->buffer + reader->position;
    const unsigned char* end = reader->buffer + reader->filled;
    const unsigned char* found = find_byte(at, end, wanted);
    reader->position = (unsigned)(found - reader->buffer);
    if (found != end) {
      ++reader->position;
      return BYTE_READ;
    }
  }
}

void reader_step_back(SourceReader* reader, FileSize offset) {
  if (offset >= reader->start && offset - reader->start <= reader->filled) {
    reader->position = (unsigned)(offset - reader->start);
    return;
  }
  // Read again from there.
  reader->start = offset;
  reader->filled = 0;
  reader->position = 0;
}
