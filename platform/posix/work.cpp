// Workers of a walk over POSIX threads: a mutex for the lock, a counting
// semaphore for work handed over, and a semaphore with a flag for the
// done signal, which many posts set once.
#include "posix_internal.h"

#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <atomic>
#include <ctime>
#include <new>

static_assert(sizeof(pthread_mutex_t) <= sizeof(Lock::opaque), "a lock fits its room");
static_assert(sizeof(sem_t) <= sizeof(WorkerThreads::work), "a semaphore fits its room");

struct DoneSignal {
  sem_t wake;
  std::atomic<int> set;
};
static_assert(sizeof(DoneSignal) <= sizeof(WorkerThreads::done), "the done signal fits its room");

unsigned processor_count(void) {
  cpu_set_t set;
  long count = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? (unsigned)count : 1;
}

static pthread_mutex_t* mutex_of(Lock* lock) { return reinterpret_cast<pthread_mutex_t*>(lock->opaque); }
void lock_begin(Lock* lock) { pthread_mutex_init(new (lock->opaque) pthread_mutex_t, nullptr); }
void lock_take(Lock* lock) { pthread_mutex_lock(mutex_of(lock)); }
void lock_release(Lock* lock) { pthread_mutex_unlock(mutex_of(lock)); }
void lock_end(Lock* lock) { pthread_mutex_destroy(mutex_of(lock)); }

static sem_t* work_of(WorkerThreads* threads) { return reinterpret_cast<sem_t*>(threads->work); }
static DoneSignal* done_of(WorkerThreads* threads) { return reinterpret_cast<DoneSignal*>(threads->done); }

static void* run_worker(void* argument) {
  WorkerThreads* threads = static_cast<WorkerThreads*>(argument);
  threads->work_function(threads->context);
  return nullptr;
}

unsigned start_worker_threads(WorkerThreads* threads, unsigned count, void (*work)(void*), void* context) {
  sem_init(work_of(threads), 0, 0);
  DoneSignal* done = new (threads->done) DoneSignal;
  sem_init(&done->wake, 0, 0);
  done->set.store(0);
  threads->work_function = work;
  threads->context = context;
  threads->count = 0;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return 0;
  pthread_attr_setstacksize(&attributes, WORKER_STACK_BYTES);
  for (; threads->count < count && threads->count < MAX_WORKER_THREADS; ++threads->count) {
    pthread_t thread;
    if (pthread_create(&thread, &attributes, run_worker, threads) != 0) break;
    threads->threads[threads->count] = thread;
  }
  pthread_attr_destroy(&attributes);
  return threads->count;
}

void post_work(WorkerThreads* threads, unsigned count) {
  for (unsigned i = 0; i < count; ++i) sem_post(work_of(threads));
}

void wait_for_work(WorkerThreads* threads) {
  while (sem_wait(work_of(threads)) != 0 && errno == EINTR) {
  }
}

// Set while set: many posts before a wait wake it once.
void post_done(WorkerThreads* threads) {
  DoneSignal* done = done_of(threads);
  if (done->set.exchange(1) == 0) sem_post(&done->wake);
}

void wait_for_done(WorkerThreads* threads) {
  DoneSignal* done = done_of(threads);
  while (sem_wait(&done->wake) != 0 && errno == EINTR) {
  }
  done->set.store(0);
}

void join_worker_threads(WorkerThreads* threads) {
  for (unsigned i = 0; i < threads->count; ++i) pthread_join((pthread_t)threads->threads[i], nullptr);
  threads->count = 0;
  sem_destroy(work_of(threads));
  sem_destroy(&done_of(threads)->wake);
}

void pause_for(unsigned milliseconds) {
  struct timespec wait = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

std::int64_t monotonic_nanoseconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (std::int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}
