// veld-threads: the names the agent uses for POSIX threads, mutexes and
// condition variables.  Results are 1/0, except ThreadWait and ThreadKill,
// which pass the POSIX result through.  The caller owns all storage.
#ifndef VELD_THREADS_H
#define VELD_THREADS_H

#include <pthread.h>
#include <ctime>

typedef pthread_t THREAD;
typedef pthread_t *P_THREAD;
typedef pthread_attr_t *P_THREAD_ATTR;
typedef pthread_mutex_t *P_MUTEX;
typedef pthread_mutexattr_t *P_MUTEX_ATTR;
typedef pthread_cond_t *P_EVENT;

int ThreadAttrCreate(P_THREAD_ATTR attr);
void ThreadAttrDestroy(P_THREAD_ATTR attr);
int ThreadCreate(P_THREAD thread, P_THREAD_ATTR attr, void *(*start)(void *), void *arg);
[[noreturn]] void ThreadExit(void *status);
int ThreadWait(THREAD t, void **p);
int ThreadKill(THREAD t, int i);
int ThreadMutexCreate(P_MUTEX lock, P_MUTEX_ATTR attr);
int ThreadMutexDestroy(P_MUTEX lock);
int ThreadMutexLock(P_MUTEX lock, const char *function, int line, const char *file);
int ThreadMutexUnlock(P_MUTEX lock, const char *function, int line, const char *file);
int ThreadEventCreate(P_EVENT event);
int ThreadEventDestroy(P_EVENT event);
int ThreadEventWait(P_EVENT event, P_MUTEX mutex);
int ThreadEventTimedWait(P_EVENT event, P_MUTEX mutex, const struct timespec *wait_count);
int ThreadEventSignal(P_EVENT event);
int ThreadEventBroadcast(P_EVENT event);
int ThreadConcurrency(int count);

#endif
