// What several workers of one walk share: threads, a lock, and two
// signals, work handed over and work done. One walk at a time.
#ifndef BODYCUT_WORK_H
#define BODYCUT_WORK_H

// Processors the system has; 1 when it cannot tell.
unsigned processor_count(void);

// A lock for what the workers share (Windows: a CRITICAL_SECTION).
void lock_begin(Lock* lock);
void lock_take(Lock* lock);
void lock_release(Lock* lock);
void lock_end(Lock* lock);

// Starts count threads that each run work(context); gives how many
// started. The signals begin empty.
unsigned start_worker_threads(WorkerThreads* threads, unsigned count, void (*work)(void*), void* context);
// Counts count more pieces of work handed over; wait_for_work takes one,
// waiting until one is there (Windows: a semaphore).
void post_work(WorkerThreads* threads, unsigned count);
void wait_for_work(WorkerThreads* threads);
// Wakes the one waiting in wait_for_done, or the next one to wait
// (Windows: an auto-reset event).
void post_done(WorkerThreads* threads);
void wait_for_done(WorkerThreads* threads);
// Waits for every thread to end, and ends the signals.
void join_worker_threads(WorkerThreads* threads);

// Waits a little while, milliseconds long, without taking a processor.
void pause_for(unsigned milliseconds);

#endif
