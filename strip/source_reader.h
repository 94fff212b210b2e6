// A source file as the header scans read it: a byte at a time to the
// scan, a buffer at a time from the file. The scan's rule and the body's
// start are those of one-byte reads; only the reads are fewer.
#ifndef BODYCUT_SOURCE_READER_H
#define BODYCUT_SOURCE_READER_H

#include "../platform/platform.h"

// Each worker holds one reader: the run's memory stays small at any count.
enum { READER_BUFFER_SIZE = 65536 };

enum { BYTE_READ = 0, BYTE_END = 1, BYTE_FAILED = 2 };

struct SourceReader {
  SourceFile* file;
  FileSize start;     // the file offset of buffer[0]
  unsigned filled;    // bytes of buffer that hold the file's
  unsigned position;  // the next byte to give
  unsigned chunk;     // bytes asked for in one read
  Reason failure;     // why the last read failed
  unsigned char buffer[READER_BUFFER_SIZE];
};

// chunk: bytes asked for in one read, at most READER_BUFFER_SIZE; a test
// reads one byte at a time to fail a read at any byte.
void reader_begin(SourceReader* reader, SourceFile* file, unsigned chunk = READER_BUFFER_SIZE);

// Reads the buffer again from the file when it is used up.
int reader_refill(SourceReader* reader);

// The next byte into *byte: BYTE_READ; BYTE_END at the file's end;
// BYTE_FAILED when a read failed (reader->failure tells why).
inline int reader_next(SourceReader* reader, unsigned char* byte) {
  if (reader->position == reader->filled) {
    int refilled = reader_refill(reader);
    if (refilled != BYTE_READ) return refilled;
  }
  *byte = reader->buffer[reader->position++];
  return BYTE_READ;
}

// Passes over every byte up to and including the next one of that value,
// as reader_next would one by one.
int reader_pass_through(SourceReader* reader, unsigned char wanted);

// The offset of the next byte: after a match, the body's start.
inline FileSize reader_offset(const SourceReader* reader) { return reader->start + reader->position; }

// Goes back to offset, which the reader has passed.
void reader_step_back(SourceReader* reader, FileSize offset);

#endif
