#include "source_reader.h"

#include <cstddef>
#include <cstring>

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

int reader_pass_through(SourceReader* reader, unsigned char wanted) {
  for (;;) {
    if (reader->position == reader->filled) {
      int refilled = reader_refill(reader);
      if (refilled != BYTE_READ) return refilled;
    }
    const unsigned char* at = reader->buffer + reader->position;
    const unsigned char* end = reader->buffer + reader->filled;
    // The C library's search is the fastest the machine has.
    const void* hit = std::memchr(at, wanted, (std::size_t)(end - at));
    const unsigned char* found = hit != nullptr ? static_cast<const unsigned char*>(hit) : end;
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
