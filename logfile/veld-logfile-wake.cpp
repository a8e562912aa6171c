// veld-logfile-wake: the tailer between passes, and between the turns of a
// drain, while changes are notified (veld-logfile-watch.h): what events
// name is looked at and served at once, within a budget of looks, and the
// pause between passes still ends in a full pass.

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "veld-config-unix.h"
#include "veld-logfile-follow.h"
#include "veld-logfile-stats.h"
#include "veld-logfile-tail.h"
#include "veld-logfile-watch.h"
#include "veld-logfile.h"

using namespace logfile;

namespace {

constexpr auto kCoalesce = std::chrono::milliseconds(25);  // between two wake-ups on events
// What a file looked at on a wake-up buys it: the next wake-up waits this
// long for each, so events make at most 25 looks a second, however many
// files change.  A few files changing wake the agent within kCoalesce; a
// hundred busy ones make it read each about once every four seconds, many
// lines at a time, rather than a line at a time at the cost of a look each.
constexpr auto kWakePerFile = std::chrono::milliseconds(40);
constexpr auto kWakeMax = std::chrono::seconds(4);  // the longest wait the looks can earn

unsigned g_pass_pause = 10;  // seconds between passes, as the tailer keeps them

// Waits `d` before the next wake-up, serving paced files whose time comes
// meanwhile; false when the pause between passes ends first.
bool SleepUntilTick(Clock::duration d) {
  const Clock::time_point until = Clock::now() + d;
  for (Clock::time_point now = Clock::now(); now < until; now = Clock::now()) {
    int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
    const int paced = PacedWaitMs();
    if (paced >= 0) ms = std::min(ms, paced);
    pollfd tick{TickFd(), POLLIN, 0};
    const int ready = poll(&tick, 1, ms);
    if (ready > 0) return false;
    if (ready < 0 && errno != EINTR) return true;
    Serve(veld_time(nullptr) + g_pass_pause, false);
  }
  return true;
}

bool g_events = false;  // changes are notified

// When changes were last taken, and the pause they earned: every look they
// cause counts, in a drain or between passes.
struct WakeBudget {
  Clock::time_point last = Clock::now() - kCoalesce;
  Clock::duration spacing = kCoalesce;
};
WakeBudget g_wake;

// The pause after taking changes that looked at `looked` files.
Clock::duration WakeSpacing(size_t looked) {
  const auto earned = kWakePerFile * static_cast<int64_t>(std::min<size_t>(looked, 1000));
  return std::clamp<Clock::duration>(earned, kCoalesce, kWakeMax);
}

// Looks at what the events that came since name: a file found with new
// lines joins the turns.  Lost events (the queue overflowed) make a full
// look.  The files looked at.
size_t TakeChanges() {
  g_wake.last = Clock::now();
  Changes c;
  WatchRead(&c);
  size_t looked = c.nodes.size() + c.scans.size();
  if (c.overflow) {
    LookAll();
    looked = FilesLookedAt();
  } else {
    for (P_LOGDIR_LIST d : c.scans) LogDirectoryProcess(d);
    if (!c.scans.empty()) LookNew();
    for (P_LOGFILE_LIST n : c.nodes)
      if (!n->retired.load(std::memory_order_acquire)) LookAt(n);
  }
  g_wake.spacing = WakeSpacing(looked);
  return looked;
}

}  // namespace

// Between turns of a drain: a quiet file's new line waits for no backlog.
void logfile::LookAtChanges() {
  if (g_events && Clock::now() - g_wake.last >= g_wake.spacing) TakeChanges();
}

void logfile::WakeOnChange(bool on) { g_events = on; }

// Between two passes, while changes are notified: an event is a hint to
// look at the files it names at once, and to serve what they gained.  A
// wake-up comes at most every kCoalesce, and later the more files the last
// one looked at, so a file written ten thousand times a second, a hundred
// busy files or a directory a user floods with events cost a bounded number
// of wake-ups and of looks; lost events (the queue overflowed) make a full
// look.  Returns when the pause between passes is over.
void logfile::WaitForChanges(const char *watchdog_file, unsigned pass_pause) {
  g_pass_pause = pass_pause;
  TickArm(pass_pause);
  SavingProgress(watchdog_file);  // progress is saved as it is made
  for (;;) {
    pollfd fds[2] = {{WatchFd(), POLLIN, 0}, {TickFd(), POLLIN, 0}};
    const int ready = poll(fds, 2, PacedWaitMs());
    if (ready < 0 && errno != EINTR) break;
    if (fds[1].revents != 0) break;
    if (fds[0].revents != 0) {
      const Clock::duration since = Clock::now() - g_wake.last;
      if (since < g_wake.spacing && !SleepUntilTick(g_wake.spacing - since)) break;
      CountWakeup();
      TakeChanges();
    }
    // A link that failed is tried again as soon as there is something to
    // send (the link itself waits its retry pause between attempts), so a
    // collector that comes back is caught up with at once, not at the next
    // pass.
    if (LinkFailed()) ResetLinkFailed();
    Serve(veld_time(nullptr) + pass_pause, false, LookAtChanges);
  }
  SavingProgress(nullptr);
}
