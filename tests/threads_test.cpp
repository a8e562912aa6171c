// The thread layer's result conventions: 1/0 for most operations, the POSIX
// result for ThreadWait and ThreadKill, and an event wait that tells a
// signal from a time-out.

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>

#include <ctime>

#include "veld-threads.h"

namespace {

int gExitStatus = 42;

void *ExitWithStatus(void *) { ThreadExit(&gExitStatus); }

void *ReturnArg(void *arg) { return arg; }

// Shared by a waiting thread and the test body.
struct Gate {
  pthread_mutex_t mutex;
  pthread_cond_t event;
  bool open = false;
  int timeouts = 0;  // waiters that ran into their deadline
};

void *WaitForGate(void *arg) {
  auto *g = static_cast<Gate *>(arg);
  ThreadMutexLock(&g->mutex, nullptr, 0, nullptr);
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 30;
  int r = 1;
  while (!g->open && r == 1) r = ThreadEventTimedWait(&g->event, &g->mutex, &deadline);
  if (r != 1) g->timeouts++;
  ThreadMutexUnlock(&g->mutex, nullptr, 0, nullptr);
  return nullptr;
}

}  // namespace

// A call that succeeds gives 1, a failing one 0, not the error number.
TEST(Threads, MutexResultsAreOneOrZero) {
  pthread_mutex_t plain;
  ASSERT_EQ(ThreadMutexCreate(&plain, nullptr), 1);
  EXPECT_EQ(ThreadMutexLock(&plain, nullptr, 0, nullptr), 1);
  EXPECT_EQ(ThreadMutexUnlock(&plain, nullptr, 0, nullptr), 1);
  EXPECT_EQ(ThreadMutexDestroy(&plain), 1);

  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_t checked;
  ASSERT_EQ(ThreadMutexCreate(&checked, &attr), 1);
  pthread_mutexattr_destroy(&attr);
  EXPECT_EQ(ThreadMutexLock(&checked, "test", __LINE__, __FILE__), 1);
  EXPECT_EQ(ThreadMutexLock(&checked, nullptr, 0, nullptr), 0);  // relock
  EXPECT_EQ(ThreadMutexUnlock(&checked, nullptr, 0, nullptr), 1);
  EXPECT_EQ(ThreadMutexDestroy(&checked), 1);
}

// ThreadWait passes the POSIX result through: 0 on success (not 1), and the
// thread's exit status lands where p points.
TEST(Threads, WaitReturnsPosixResultAndStatus) {
  THREAD t;
  ASSERT_EQ(ThreadCreate(&t, nullptr, ExitWithStatus, nullptr), 1);
  void *status = nullptr;
  EXPECT_EQ(ThreadWait(t, &status), 0);
  EXPECT_EQ(status, &gExitStatus);

  pthread_attr_t attr;
  ASSERT_EQ(ThreadAttrCreate(&attr), 1);
  int marker = 7;
  ASSERT_EQ(ThreadCreate(&t, &attr, ReturnArg, &marker), 1);
  ThreadAttrDestroy(&attr);
  EXPECT_EQ(ThreadWait(t, &status), 0);
  EXPECT_EQ(status, &marker);

  // Joining oneself is an error the caller must be able to see as such.
  EXPECT_EQ(ThreadWait(pthread_self(), nullptr), EDEADLK);
}

TEST(Threads, KillWithSignalZeroProbesALiveThread) {
  Gate g;
  ASSERT_EQ(ThreadMutexCreate(&g.mutex, nullptr), 1);
  ASSERT_EQ(ThreadEventCreate(&g.event), 1);
  THREAD t;
  ASSERT_EQ(ThreadCreate(&t, nullptr, WaitForGate, &g), 1);
  EXPECT_EQ(ThreadKill(t, 0), 0);
  EXPECT_EQ(ThreadKill(t, -1), EINVAL);
  ThreadMutexLock(&g.mutex, nullptr, 0, nullptr);
  g.open = true;
  EXPECT_EQ(ThreadEventSignal(&g.event), 1);
  ThreadMutexUnlock(&g.mutex, nullptr, 0, nullptr);
  EXPECT_EQ(ThreadWait(t, nullptr), 0);
  EXPECT_EQ(ThreadEventDestroy(&g.event), 1);
  EXPECT_EQ(ThreadMutexDestroy(&g.mutex), 1);
}

// A deadline already past times out with 0; a broadcast before a distant
// deadline wakes every waiter with 1.
TEST(Threads, TimedWaitTellsTimeoutFromSignal) {
  Gate g;
  ASSERT_EQ(ThreadMutexCreate(&g.mutex, nullptr), 1);
  ASSERT_EQ(ThreadEventCreate(&g.event), 1);

  timespec past{};
  clock_gettime(CLOCK_REALTIME, &past);
  past.tv_sec -= 1;
  ASSERT_EQ(ThreadMutexLock(&g.mutex, nullptr, 0, nullptr), 1);
  EXPECT_EQ(ThreadEventTimedWait(&g.event, &g.mutex, &past), 0);
  ASSERT_EQ(ThreadMutexUnlock(&g.mutex, nullptr, 0, nullptr), 1);

  Gate *gp = &g;
  THREAD waiters[3];
  for (THREAD &t : waiters) ASSERT_EQ(ThreadCreate(&t, nullptr, WaitForGate, gp), 1);
  ThreadMutexLock(&g.mutex, nullptr, 0, nullptr);
  g.open = true;
  EXPECT_EQ(ThreadEventBroadcast(&g.event), 1);
  ThreadMutexUnlock(&g.mutex, nullptr, 0, nullptr);
  for (THREAD t : waiters) EXPECT_EQ(ThreadWait(t, nullptr), 0);
  // Each waiter either saw the gate open before waiting or was woken: none
  // may have run into its 30-second deadline.
  EXPECT_EQ(g.timeouts, 0);
  EXPECT_EQ(ThreadEventDestroy(&g.event), 1);
  EXPECT_EQ(ThreadMutexDestroy(&g.mutex), 1);
}

TEST(Threads, ConcurrencyIsAlwaysOne) {
  EXPECT_EQ(ThreadConcurrency(0), 1);
  EXPECT_EQ(ThreadConcurrency(-5), 1);
  EXPECT_EQ(ThreadConcurrency(64), 1);
}
