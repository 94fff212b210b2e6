// The workers of a walk: threads, a critical section, a semaphore for the
// work handed over and an auto-reset event for work done.
#include "win32_internal.h"

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(Lock::opaque), "a Lock holds a CRITICAL_SECTION");

static CRITICAL_SECTION* section(Lock* lock) { return reinterpret_cast<CRITICAL_SECTION*>(lock->opaque); }
unsigned processor_count(void) {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  return system.dwNumberOfProcessors > 0 ? system.dwNumberOfProcessors : 1;
}

void lock_begin(Lock* lock) { InitializeCriticalSection(section(lock)); }
void lock_take(Lock* lock) { EnterCriticalSection(section(lock)); }
void lock_release(Lock* lock) { LeaveCriticalSection(section(lock)); }
void lock_end(Lock* lock) { DeleteCriticalSection(section(lock)); }

static DWORD WINAPI run_worker(void* given) {
  WorkerThreads* threads = static_cast<WorkerThreads*>(given);
  threads->run(threads->context);
  return 0;
}

static void end_signals(WorkerThreads* threads) {
  if (threads->work != 0) CloseHandle(handle_of(threads->work));
  if (threads->done != 0) CloseHandle(handle_of(threads->done));
  threads->work = threads->done = 0;
}

unsigned start_worker_threads(WorkerThreads* threads, unsigned count, void (*work)(void*), void* context) {
  threads->count = 0;
  threads->work = (SystemHandle)CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
  threads->done = (SystemHandle)CreateEventA(nullptr, FALSE, FALSE, nullptr);
  threads->run = work;
  threads->context = context;
  if (count > MAX_WORKER_THREADS) count = MAX_WORKER_THREADS;
  while (threads->work != 0 && threads->done != 0 && threads->count < count) {
    HANDLE thread = CreateThread(nullptr, 0, run_worker, threads, 0, nullptr);
    if (thread == nullptr) break;
    threads->threads[threads->count++] = (SystemHandle)thread;
  }
  if (threads->count == 0) end_signals(threads);
  return threads->count;
}

void post_work(WorkerThreads* threads, unsigned count) {
  ReleaseSemaphore(handle_of(threads->work), (LONG)count, nullptr);
}
void wait_for_work(WorkerThreads* threads) { WaitForSingleObject(handle_of(threads->work), INFINITE); }
void post_done(WorkerThreads* threads) { SetEvent(handle_of(threads->done)); }
void wait_for_done(WorkerThreads* threads) { WaitForSingleObject(handle_of(threads->done), INFINITE); }

void join_worker_threads(WorkerThreads* threads) {
  for (unsigned i = 0; i < threads->count; ++i) {
    WaitForSingleObject(handle_of(threads->threads[i]), INFINITE);
    CloseHandle(handle_of(threads->threads[i]));
  }
  threads->count = 0;
  end_signals(threads);
}

void pause_for(unsigned milliseconds) { Sleep(milliseconds); }
