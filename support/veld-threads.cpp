// veld-threads: the agent's names for POSIX threads, mutexes and condition
// variables ("events").  A thin layer: it allocates nothing and keeps no
// state, so each operation is exactly as thread-safe as the call beneath it.
// Results are 1 when the call succeeded and 0 when it did not; ThreadWait and
// ThreadKill instead hand back the POSIX result, since their callers may need
// to tell ESRCH from EDEADLK.

#include "veld-threads.h"

#include <signal.h>

namespace {

int Succeeded(int rc) { return rc == 0 ? 1 : 0; }

}  // namespace

int ThreadAttrCreate(P_THREAD_ATTR attr) { return Succeeded(pthread_attr_init(attr)); }

void ThreadAttrDestroy(P_THREAD_ATTR attr) { pthread_attr_destroy(attr); }

int ThreadCreate(P_THREAD thread, P_THREAD_ATTR attr, void *(*start)(void *), void *arg) {
  return Succeeded(pthread_create(thread, attr, start, arg));
}

void ThreadExit(void *status) { pthread_exit(status); }

int ThreadWait(THREAD t, void **p) { return pthread_join(t, p); }

int ThreadKill(THREAD t, int i) { return pthread_kill(t, i); }

int ThreadMutexCreate(P_MUTEX lock, P_MUTEX_ATTR attr) {
  return Succeeded(pthread_mutex_init(lock, attr));
}

int ThreadMutexDestroy(P_MUTEX lock) { return Succeeded(pthread_mutex_destroy(lock)); }

// The caller's position is accepted for diagnostics a debugging build may
// want; the lock itself does not use it.
int ThreadMutexLock(P_MUTEX lock, const char * /*function*/, int /*line*/, const char * /*file*/) {
  return Succeeded(pthread_mutex_lock(lock));
}

int ThreadMutexUnlock(P_MUTEX lock, const char * /*function*/, int /*line*/,
                      const char * /*file*/) {
  return Succeeded(pthread_mutex_unlock(lock));
}

int ThreadEventCreate(P_EVENT event) { return Succeeded(pthread_cond_init(event, nullptr)); }

int ThreadEventDestroy(P_EVENT event) { return Succeeded(pthread_cond_destroy(event)); }

int ThreadEventWait(P_EVENT event, P_MUTEX mutex) {
  return Succeeded(pthread_cond_wait(event, mutex));
}

// The deadline is absolute on the real-time clock, the default clock of a
// condition variable made with default attributes.
int ThreadEventTimedWait(P_EVENT event, P_MUTEX mutex, const struct timespec *wait_count) {
  return Succeeded(pthread_cond_timedwait(event, mutex, wait_count));
}

int ThreadEventSignal(P_EVENT event) { return Succeeded(pthread_cond_signal(event)); }

int ThreadEventBroadcast(P_EVENT event) { return Succeeded(pthread_cond_broadcast(event)); }

// Kept for callers written for systems that wanted a concurrency hint; the
// kernel schedules every thread here, so there is nothing to set.
int ThreadConcurrency(int /*count*/) { return 1; }
