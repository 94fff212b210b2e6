// The files of a walk, stripped by the walk itself or by several workers
// at once, and reported in the order the walk met them: the report is the
// one a single worker would write, byte for byte. Lines of files that
// finish early wait in a window of fixed size.
#ifndef BODYCUT_WORK_QUEUE_H
#define BODYCUT_WORK_QUEUE_H

#include "../strip/strip_file.h"

enum { WINDOW = 64 };

struct QueuedFile {
  char path[PATH_CAPACITY];
  int reached_through_link;
  int done;
  StripResult result;
};

struct WorkQueue {
  const Run* run;
  unsigned workers;  // threads that strip besides the walk; 0: the walk strips each file itself
  Lock lock;         // guards the counters and the files' states
  WorkerThreads threads;
  unsigned head;   // the next line to write
  unsigned taken;  // the next file for a worker
  unsigned tail;   // the next free place
  int over;        // the walk is over: a worker woken with nothing queued ends
  QueuedFile files[WINDOW];
  BodyFile body;  // the walk's own, where it strips files itself
};

// Starts the workers run->settings asks for (0: one per processor) but
// one: the walk is the last, and strips a queued file itself whenever its
// window is full, so that no more files than asked for are stripped at
// once. With one asked for, or none started, the walk strips each file
// itself.
void queue_begin(WorkQueue* queue, const Run* run);
// Strips a file, or hands it to the workers; its line is written when its
// turn comes. A file met after a stop is not begun, and gets no line.
void queue_file(WorkQueue* queue, const char* path, int reached_through_link);
// Waits for every file handed over and writes their lines: a line the walk
// writes itself comes after those of every file before it.
void queue_flush(WorkQueue* queue);
// Finishes what is queued and ends the workers.
void queue_end(WorkQueue* queue);

#endif
