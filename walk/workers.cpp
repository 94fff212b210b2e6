#include "workers.h"

#include "../strip/strip_file.h"
#include "report_line.h"

enum { WINDOW = 64 };
enum { SLOT_WAITING, SLOT_DONE };
enum { NOT_BEGUN = -1 };  // a slot's result when its file was never begun

struct Slot {
  char path[PATH_CAPACITY];
  int reached_through_link;
  int state;
  int result;
  Reason why;
};

// One walk at a time; too large for a stack.
static struct {
  CRITICAL_SECTION lock;  // guards the counters and the slots' states
  HANDLE work;            // counts files handed over; a worker woken with none ends
  HANDLE done;            // set whenever a file is done
  HANDLE threads[MAX_WORKERS];
  unsigned count;
  unsigned head;   // the next line to write
  unsigned taken;  // the next file for a worker
  unsigned tail;   // the next free slot
  const RunSettings* settings;
  StrippedFiles* seen;
  Slot slots[WINDOW];
} workers;

static DWORD WINAPI work(void*) {
  for (;;) {
    WaitForSingleObject(workers.work, INFINITE);
    EnterCriticalSection(&workers.lock);
    Slot* slot = workers.taken != workers.tail ? &workers.slots[workers.taken++ % WINDOW] : nullptr;
    LeaveCriticalSection(&workers.lock);
    if (slot == nullptr) return 0;
    // After a stop, files still queued are not begun, and get no line.
    StripResult result = {NOT_BEGUN, own_reason(REASON_NONE)};
    if (!stop_requested())
      result = strip_found_file(slot->path, workers.settings, workers.seen, slot->reached_through_link);
    EnterCriticalSection(&workers.lock);
    slot->result = result.outcome;
    slot->why = result.why;
    slot->state = SLOT_DONE;
    LeaveCriticalSection(&workers.lock);
    SetEvent(workers.done);
  }
}

static void release_sync_objects(void) {
  if (workers.work != nullptr) CloseHandle(workers.work);
  if (workers.done != nullptr) CloseHandle(workers.done);
  workers.work = nullptr;
  workers.done = nullptr;
  DeleteCriticalSection(&workers.lock);
  DeleteCriticalSection(&workers.seen->lock);
  workers.seen->shared = 0;
}

unsigned start_workers(const RunSettings* settings, StrippedFiles* seen) {
  unsigned wanted = settings->workers;
  if (wanted == 0) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    wanted = system.dwNumberOfProcessors;
  }
  if (wanted > MAX_WORKERS) wanted = MAX_WORKERS;
  if (wanted <= 1) return 0;
  workers.settings = settings;
  workers.seen = seen;
  workers.head = workers.taken = workers.tail = 0;
  workers.count = 0;
  InitializeCriticalSection(&workers.lock);
  InitializeCriticalSection(&seen->lock);
  seen->shared = 1;
  workers.work = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
  workers.done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (workers.work != nullptr && workers.done != nullptr) {
    while (workers.count < wanted) {
      HANDLE thread = CreateThread(nullptr, 0, work, nullptr, 0, nullptr);
      if (thread == nullptr) break;
      workers.threads[workers.count++] = thread;
    }
  }
  if (workers.count == 0) release_sync_objects();
  return workers.count;
}

// Writes the lines whose files are done, in the order they were handed over.
static void write_done_lines(void) {
  for (;;) {
    EnterCriticalSection(&workers.lock);
    Slot* slot = workers.head != workers.tail && workers.slots[workers.head % WINDOW].state == SLOT_DONE
                     ? &workers.slots[workers.head % WINDOW]
                     : nullptr;
    LeaveCriticalSection(&workers.lock);
    if (slot == nullptr) return;
    if (slot->result != NOT_BEGUN) {
      write_report_line(slot->path, strip_result_text(slot->result));
      if (slot->result == STRIP_FAILED) report_reason(slot->path, slot->why);
    }
    EnterCriticalSection(&workers.lock);
    ++workers.head;
    LeaveCriticalSection(&workers.lock);
  }
}

static unsigned pending(void) {
  EnterCriticalSection(&workers.lock);
  unsigned count = workers.tail - workers.head;
  LeaveCriticalSection(&workers.lock);
  return count;
}

void hand_to_workers(const char* path, int reached_through_link) {
  for (;;) {
    write_done_lines();
    if (pending() < WINDOW) break;
    WaitForSingleObject(workers.done, INFINITE);
  }
  // The slot is free: its line was written, no worker looks at it.
  Slot* slot = &workers.slots[workers.tail % WINDOW];
  unsigned length = 0;
  for (; path[length] != '\0'; ++length) slot->path[length] = path[length];
  slot->path[length] = '\0';
  slot->reached_through_link = reached_through_link;
  slot->state = SLOT_WAITING;
  EnterCriticalSection(&workers.lock);
  ++workers.tail;
  LeaveCriticalSection(&workers.lock);
  ReleaseSemaphore(workers.work, 1, nullptr);
  write_done_lines();
}

void finish_pending(void) {
  for (;;) {
    write_done_lines();
    if (pending() == 0) return;
    WaitForSingleObject(workers.done, INFINITE);
  }
}

void stop_workers(void) {
  finish_pending();
  ReleaseSemaphore(workers.work, (LONG)workers.count, nullptr);
  for (unsigned i = 0; i < workers.count; ++i) {
    WaitForSingleObject(workers.threads[i], INFINITE);
    CloseHandle(workers.threads[i]);
  }
  workers.count = 0;
  release_sync_objects();
}
