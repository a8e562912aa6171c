// Waking on change: a line leaves in milliseconds, not at the next pass.
// Each test runs the tailer thread in a child process of its own (the
// thread never ends), with the pause between passes going through the sleep
// seam: a pause that never ends proves that what arrived came through
// events, not a pass.  The parent writes the files, holds the collector,
// and talks to the child through two pipes.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "logfile_test_support.h"
#include "veld-perfmon-agent.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using veldtest::AppendFile;
using veldtest::WriteFile;

int g_to_parent = -1;                   // child: 'p' when a pass pause begins
std::atomic<bool> g_hold_clock{false};  // child: the tailer's clock blocks while set
std::atomic<int> g_pause_ms{-1};        // child: a pass pause; -1 never ends

unsigned int PassPause(unsigned int s) {
  if (s == 1) return 0;  // a rate's wait: not in these tests
  (void)!write(g_to_parent, "p", 1);
  if (g_pause_ms < 0)
    for (;;) pause();
  std::this_thread::sleep_for(milliseconds(g_pause_ms.load()));
  return 0;
}

time_t HeldClock(time_t *t) {
  while (g_hold_clock) std::this_thread::sleep_for(milliseconds(1));
  return logtest::FixedTime(t);
}

class EventsTest : public logtest::LogCollectionTest {
 protected:
  void TearDown() override {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
    LogCollectionTest::TearDown();
  }
  // Starts the tailer in a child; `setup` runs there first.
  void Start(const std::function<void()> &setup = [] {}) {
    int up[2], down[2];
    ASSERT_EQ(pipe(up), 0);
    ASSERT_EQ(pipe(down), 0);
    collector.Hold();  // the parent forks with no other thread
    child_ = fork();
    if (child_ != 0) collector.Resume();
    ASSERT_GE(child_, 0);
    if (child_ == 0) {
      g_to_parent = up[1];
      setup();
      veld_sleep = PassPause;
      veld_time = HeldClock;
      std::thread(LogFileThread, nullptr).detach();
      for (char c; read(down[0], &c, 1) == 1;) {
        if (c == 'h') g_hold_clock = true;
        if (c == 'r') g_hold_clock = false;
        if (c == 's') PerfMonAGENTProcess();
      }
      _exit(0);
    }
    from_child_ = up[0];
    to_child_ = down[1];
    AwaitPause();
  }
  void AwaitPause() {
    char c;
    ASSERT_EQ(read(from_child_, &c, 1), 1);
  }
  bool PauseBegan() {
    pollfd p{from_child_, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  }
  void Tell(char c) { ASSERT_EQ(write(to_child_, &c, 1), 1); }
  // Milliseconds until a record holding `text` arrives; -1 after `cap_ms`.
  long Arrival(const std::string &text, long cap_ms) {
    const auto start = Clock::now();
    while (Clock::now() - start < milliseconds(cap_ms)) {
      for (const std::string &r : collector.WaitFor(records_ + 1))
        if (r.find(text) != std::string::npos)
          return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
      std::this_thread::sleep_for(milliseconds(2));
    }
    return -1;
  }
  size_t records_ = 0;
  pid_t child_ = -1;
  int from_child_ = -1, to_child_ = -1;
};

// A line appended to a quiet file arrives within 200 ms while the pause
// after the first pass (10 s, never ending here) has not run out.
TEST_F(EventsTest, LineAppendedToAQuietFileArrivesWithoutAPass) {
  WriteFile(dir / "quiet.log", "old\n");
  logtest::AddFile(dir / "quiet.log");
  Start();
  ASSERT_NE(Arrival("old", 5000), -1);
  AppendFile(dir / "quiet.log", "new line\n");
  const long ms = Arrival("new line", 5000);
  EXPECT_GE(ms, 0) << "never arrived";
  EXPECT_LE(ms, 200);
  EXPECT_FALSE(PauseBegan()) << "a pass ran";
}

// A rotation by rename is seen through events: the unread end of the old
// file and the new file's first line both arrive without a pass.
TEST_F(EventsTest, RotationByRenameIsSeenThroughEvents) {
  const std::string live = dir / "app.log";
  WriteFile(live, "first\n");
  logtest::AddFile(live);
  Start();
  ASSERT_NE(Arrival("first", 5000), -1);
  AppendFile(live, "unread end\n");
  std::filesystem::rename(live, live + ".1");
  WriteFile(live, "after rotation\n");
  EXPECT_NE(Arrival("unread end", 2000), -1);
  EXPECT_NE(Arrival("after rotation", 2000), -1);
  EXPECT_FALSE(PauseBegan()) << "a pass ran";
}

// A user floods a directory that holds a tailed file with events (a
// hundred thousand writes to a file of theirs): the tailer wakes at most
// once every 25 ms, whatever the number of events.
TEST_F(EventsTest, EventStormRaisesNoMoreWakeUpsThanTheCoalescingBound) {
  WriteFile(dir / "app.log", "");
  logtest::AddFile(dir / "app.log");
  Start();
  const int noise = open((dir / "noise").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(noise, 0);
  const auto start = Clock::now();
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(write(noise, "x", 1), 1);
  close(noise);
  const long ms = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
  std::this_thread::sleep_for(milliseconds(100));
  Tell('s');
  ASSERT_NE(Arrival("agent_wakeups:", 5000), -1);
  long wakeups = -1;
  for (const std::string &r : collector.WaitFor(1))
    if (r.find("agent_wakeups:") != std::string::npos)
      wakeups = std::stol(r.substr(r.find("agent_wakeups:") + 14));
  EXPECT_GT(wakeups, 0);
  EXPECT_LE(wakeups, (ms + 100) / 25 + 2) << "in " << ms << " ms";
}

// Events are lost while the tailer is busy and the kernel's queue fills
// up: the overflow makes a full look, so a line whose event was lost still
// arrives at once.
TEST_F(EventsTest, LostEventsMakeAFullLook) {
  WriteFile(dir / "app.log", "");
  logtest::AddFile(dir / "app.log");
  Start();
  const int max_queued = std::stoi(veldtest::ReadFile("/proc/sys/fs/inotify/max_queued_events"));
  if (max_queued > 1000000) GTEST_SKIP() << "the event queue is too long to fill";
  Tell('h');  // the tailer stops at its next look at the clock
  AppendFile(dir / "noise-a", "x");
  std::this_thread::sleep_for(milliseconds(200));
  const int a = open((dir / "noise-a").c_str(), O_WRONLY | O_APPEND);
  const int b = open((dir / "noise-b").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  for (int i = 0; i < max_queued + 10; ++i) ASSERT_EQ(write(i % 2 ? a : b, "x", 1), 1);
  close(a);
  close(b);
  AppendFile(dir / "app.log", "after the overflow\n");
  Tell('r');
  EXPECT_NE(Arrival("after the overflow", 2000), -1);
  EXPECT_FALSE(PauseBegan()) << "a pass ran";
}

// The watches run out (one is allowed here, in a user namespace of the
// child's own): the directory that got one wakes on change, the other is
// looked at by the passes, and running out is said once.
TEST_F(EventsTest, WhenWatchesRunOutTheRestIsPolled) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for its own user namespace";
  std::filesystem::create_directory(dir / "one");
  std::filesystem::create_directory(dir / "two");
  WriteFile(dir / "one/a.log", "");
  WriteFile(dir / "two/b.log", "");
  logtest::AddFile(dir / "one/a.log");
  logtest::AddFile(dir / "two/b.log");
  Start([] {
    g_pause_ms = 1500;  // passes do come, every 1.5 s here
    if (unshare(CLONE_NEWUSER) != 0) _exit(3);
    veldtest::WriteFile("/proc/self/setgroups", "deny");
    veldtest::WriteFile("/proc/self/uid_map", "0 0 1");
    veldtest::WriteFile("/proc/self/gid_map", "0 0 1");
    veldtest::WriteFile("/proc/sys/user/max_inotify_watches", "1");
  });
  AwaitPause();  // a second pass: the watches are in place
  AppendFile(dir / "one/a.log", "watched\n");
  AppendFile(dir / "two/b.log", "polled\n");
  EXPECT_LE(Arrival("watched", 1000), 200);
  EXPECT_NE(Arrival("polled", 5000), -1);
  EXPECT_EQ(logtest::CountOf(DiagLog(),
                             "are not notified, its files are looked at every 10 "
                             "seconds: inotify_add_watch: "),
            1u)
      << DiagLog();
}

}  // namespace
