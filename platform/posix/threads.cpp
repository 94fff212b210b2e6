// Threads, events, semaphores and locks over POSIX threads.
#include "posix_internal.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#include <cerrno>
#include <ctime>
#include <new>

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION), "a lock fits its room");

// A worker's stack: the stripper's buffers, with room to spare.
enum { THREAD_STACK_BYTES = 1 << 20, SYNC_POOL_SIZE = 80 };

enum SyncKind { SYNC_FREE = 0, SYNC_THREAD, SYNC_EVENT, SYNC_SEMAPHORE };

struct SyncObject {
  int kind;
  pthread_t thread;
  LPTHREAD_START_ROUTINE start;
  void* parameter;
  pthread_mutex_t mutex;
  pthread_cond_t changed;
  long count;  // a semaphore's count; an event's state
  bool manual_reset;
};

static SyncObject sync_pool[SYNC_POOL_SIZE];
static pthread_mutex_t sync_pool_lock = PTHREAD_MUTEX_INITIALIZER;

static SyncObject* take_sync_object(int kind) {
  SyncObject* taken = nullptr;
  pthread_mutex_lock(&sync_pool_lock);
  for (SyncObject& object : sync_pool) {
    if (object.kind != SYNC_FREE) continue;
    object.count = 0;
    object.manual_reset = false;
    pthread_mutex_init(&object.mutex, nullptr);
    pthread_cond_init(&object.changed, nullptr);
    __atomic_store_n(&object.kind, kind, __ATOMIC_RELEASE);
    taken = &object;
    break;
  }
  pthread_mutex_unlock(&sync_pool_lock);
  if (taken == nullptr) set_last_error(ERROR_NOT_ENOUGH_MEMORY);
  return taken;
}

static SyncObject* sync_object(HANDLE handle) {
  std::uintptr_t offset = (std::uintptr_t)handle - (std::uintptr_t)sync_pool;
  if (offset >= sizeof sync_pool || offset % sizeof(SyncObject) != 0) return nullptr;
  SyncObject* object = &sync_pool[offset / sizeof(SyncObject)];
  return __atomic_load_n(&object->kind, __ATOMIC_ACQUIRE) != SYNC_FREE ? object : nullptr;
}

bool close_sync_object(HANDLE handle) {
  SyncObject* object = sync_object(handle);
  if (object == nullptr) return false;
  pthread_cond_destroy(&object->changed);
  pthread_mutex_destroy(&object->mutex);
  pthread_mutex_lock(&sync_pool_lock);
  __atomic_store_n(&object->kind, (int)SYNC_FREE, __ATOMIC_RELEASE);
  pthread_mutex_unlock(&sync_pool_lock);
  return true;
}

static void* run_thread(void* argument) {
  SyncObject* object = static_cast<SyncObject*>(argument);
  object->start(object->parameter);
  return nullptr;
}

HANDLE CreateThread(void*, std::size_t, LPTHREAD_START_ROUTINE start, void* parameter, DWORD, DWORD*) {
  SyncObject* object = take_sync_object(SYNC_THREAD);
  if (object == nullptr) return nullptr;
  object->start = start;
  object->parameter = parameter;
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error == 0) {
    error = pthread_attr_setstacksize(&attributes, THREAD_STACK_BYTES);
    if (error == 0) error = pthread_create(&object->thread, &attributes, run_thread, object);
    pthread_attr_destroy(&attributes);
  }
  if (error != 0) {
    close_sync_object(object);
    set_last_error_from_errno(error);
    return nullptr;
  }
  return object;
}

HANDLE CreateEventA(void*, BOOL manual_reset, BOOL initial_state, LPCSTR) {
  SyncObject* object = take_sync_object(SYNC_EVENT);
  if (object == nullptr) return nullptr;
  object->manual_reset = manual_reset != FALSE;
  object->count = initial_state ? 1 : 0;
  return object;
}

BOOL SetEvent(HANDLE handle) {
  SyncObject* object = sync_object(handle);
  if (object == nullptr || object->kind != SYNC_EVENT) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  pthread_mutex_lock(&object->mutex);
  object->count = 1;
  pthread_cond_broadcast(&object->changed);
  pthread_mutex_unlock(&object->mutex);
  return TRUE;
}

HANDLE CreateSemaphoreA(void*, LONG initial_count, LONG, LPCSTR) {
  SyncObject* object = take_sync_object(SYNC_SEMAPHORE);
  if (object == nullptr) return nullptr;
  object->count = initial_count;
  return object;
}

BOOL ReleaseSemaphore(HANDLE handle, LONG release_count, LONG* previous_count) {
  SyncObject* object = sync_object(handle);
  if (object == nullptr || object->kind != SYNC_SEMAPHORE) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  pthread_mutex_lock(&object->mutex);
  if (previous_count != nullptr) *previous_count = (LONG)object->count;
  object->count += release_count;
  pthread_cond_broadcast(&object->changed);
  pthread_mutex_unlock(&object->mutex);
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD) {
  SyncObject* object = sync_object(handle);
  if (object == nullptr) {
    set_last_error(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (object->kind == SYNC_THREAD) return pthread_join(object->thread, nullptr) == 0 ? WAIT_OBJECT_0 : WAIT_FAILED;
  pthread_mutex_lock(&object->mutex);
  while (object->count == 0) pthread_cond_wait(&object->changed, &object->mutex);
  // A semaphore gives one of its count; an auto-reset event resets.
  if (object->kind == SYNC_SEMAPHORE)
    --object->count;
  else if (!object->manual_reset)
    object->count = 0;
  pthread_mutex_unlock(&object->mutex);
  return WAIT_OBJECT_0;
}

void Sleep(DWORD milliseconds) {
  struct timespec wait = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

static pthread_mutex_t* mutex_of(CRITICAL_SECTION* section) { return reinterpret_cast<pthread_mutex_t*>(section); }

void InitializeCriticalSection(CRITICAL_SECTION* section) {
  new (section->opaque) pthread_mutex_t();
  pthread_mutex_init(mutex_of(section), nullptr);
}
void EnterCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_lock(mutex_of(section)); }
void LeaveCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_unlock(mutex_of(section)); }
void DeleteCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_destroy(mutex_of(section)); }

void GetSystemInfo(SYSTEM_INFO* information) {
  cpu_set_t set;
  long count = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : sysconf(_SC_NPROCESSORS_ONLN);
  information->dwNumberOfProcessors = count > 0 ? (DWORD)count : 1;
}
