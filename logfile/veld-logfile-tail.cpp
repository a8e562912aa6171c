// veld-logfile-tail: the tailer's passes.  A pass looks at every tailed file
// (following it across rotation, veld-logfile-follow.cpp), queues those with
// unsent lines for their turns (veld-logfile-turn.cpp), serves the turns, and
// saves the offsets.  A drain that outlasts the pause between passes looks
// at every file again every kPassPause seconds, so a quiet file's new line
// is never held behind another file's backlog for longer than that.
//
// The file is the buffer: an offset never moves past a line that was not
// handed over.  A record that cannot be sent stops the pass's sending, with
// the offset at that record, and the next pass goes on from there; the
// looks go on all the same, so no rotation goes unfollowed while the
// collector is away.  Offsets are saved as progress is made, so a process
// killed over and over still gets through.

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdlib>

#include "veld-config-unix.h"
#include "veld-logfile-follow.h"
#include "veld-logfile-readers.h"
#include "veld-logfile-rotate.h"
#include "veld-logfile-stats.h"
#include "veld-logfile-tail.h"
#include "veld-logfile-watch.h"
#include "veld-logfile.h"
#include "veld-owners.h"

using namespace logfile;

namespace {

constexpr uint64_t kDefaultRotationLimit = 1048576;        // without a LogRotationSize
constexpr unsigned kPassPause = 10;                        // seconds between passes
constexpr auto kSaveEvery = std::chrono::seconds(1);       // progress saved at most this often
constexpr auto kCoalesce = std::chrono::milliseconds(25);  // between two wake-ups on events
// What a file looked at on a wake-up buys it: the next wake-up waits this
// long for each, so events make at most 25 looks a second, however many
// files change.  A few files changing wake the agent within kCoalesce; a
// hundred busy ones make it read each about once every four seconds, many
// lines at a time, rather than a line at a time at the cost of a look each.
constexpr auto kWakePerFile = std::chrono::milliseconds(40);
constexpr auto kWakeMax = std::chrono::seconds(4);  // the longest wait the looks can earn

constexpr char kMsgPositionsWriteFailed[] = "Failed to write our watchdog status to %s, ignoring";
constexpr char kMsgRotating[] =
    "Log file rotation in progress, (%" PRIu64 ") file %s greater than %" PRIu64 " bytes.";
constexpr char kMsgCannotEmpty[] = "Log file %s cannot be emptied, not rotating it";

// What the passes know; tailer only.
struct PassState {
  const char *watchdog = nullptr;  // the position file, when inside LogFilePass
  Clock::time_point saved;         // when progress was last saved
  size_t files = 0;                // in the last look at all
  uint64_t held_files = 0;         // deleted files held after the last look
  uint64_t held_bytes = 0;         // and what they pin
};
PassState g_pass;

uint64_t RotationLimit() {
  const char *v = CfgHashGet(kCfgLogRotationSize);
  if (v == nullptr) return kDefaultRotationLimit;
  return std::strtoull(v, nullptr, 0) << 20;  // the base from the prefix, as strtoull takes it
}

// Saves the offsets: when forced, or when a second has passed since the
// last save.  Only inside a pass, which knows the position file.
void SaveProgress(bool force) {
  if (g_pass.watchdog == nullptr) return;
  auto now = Clock::now();
  if (!force && now - g_pass.saved < kSaveEvery) return;
  g_pass.saved = now;
  LogFileWriteWatchdogFile(g_pass.watchdog);
}

// Rotates a file that was over the limit when looked at (`size`), once
// everything it held then has gone; what came since goes into the backup and
// is sent from there.  Tried again every pass, in case it has become
// possible, but a file that cannot be emptied is said once.
void RotateIfOver(P_LOGFILE_LIST node, FileState *fs, const Target &t, uint64_t size) {
  const char *path = node->log_file;
  const uint64_t limit = RotationLimit();
  if (size <= limit || LinkFailed() || !fs->earlier.empty() || node->filesize < size) return;
  if (!fs->unemptiable_logged) Log(3, kMsgRotating, size, path, limit);
  if (!BackupNamesFit(path)) return;  // a name is never cut short
  // Opened for writing before anything moves, so a file that cannot be
  // emptied (append-only, immutable, read-only) gains no backup every pass.
  veld::UniqueFd wr = OpenTarget(t, O_WRONLY);
  if (!wr.ok()) {
    if (errno != ESTALE && !fs->unemptiable_logged) LogErrno(2, "open", kMsgCannotEmpty, path);
    fs->unemptiable_logged = errno != ESTALE;
    return;
  }
  fs->unemptiable_logged = false;
  veld::UniqueFd rd = OpenTarget(t, O_RDONLY);
  veld::UniqueFd backup;
  if (!rd.ok() || !RotateLog(t.backup_dir, t.backup_name, rd.get(), wr.get(), t.st, &backup))
    return;
  QueueOwnBackup(node, fs, std::move(backup));
  fs->cur.size = 0;  // emptied: looked at again before it is read
  Enqueue(node, fs);
  SaveProgress(true);
}

// The figures the agent reports of itself, as they stand.
void TakeFigures() {
  LookFigures f;
  f.held_deleted_files = g_pass.held_files;
  f.held_deleted_bytes = g_pass.held_bytes;
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire)) {
    const FileState *fs = n->state;
    if (fs == nullptr || n->retired.load(std::memory_order_acquire)) continue;
    f.backlog_bytes += Backlog(n, *fs);
    if (fs->found) ++f.files_tailed;
    if (fs->behind_since != 0 && (f.oldest_unsent == 0 || fs->behind_since < f.oldest_unsent))
      f.oldest_unsent = fs->behind_since;
  }
  SetLookFigures(f);
}

// Looks at the nodes the scanner has just made (or given a new path).
void LookNew() {
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
    if (n->state == nullptr && !n->retired.load(std::memory_order_acquire) && n->log_file)
      LookAt(n);
}

// Looks at every node once, keeps the held deleted files under their cap,
// and takes the figures the agent reports of itself.
void LookAll() {
  NewLookGeneration();
  CatchUpPaths();
  ResetHoldBudget();  // the descriptor limit may have moved
  size_t files = 0;
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire)) {
    if (n->retired.load(std::memory_order_acquire) || n->log_file == nullptr) continue;
    LookAt(n);
    ++files;
  }
  g_pass.files = files;
  EnforceHoldCap(&g_pass.held_files, &g_pass.held_bytes);
  TakeFigures();
}

}  // namespace

void logfile::LookAt(P_LOGFILE_LIST node) {
  FileState *fs = StateOf(node);
  if (fs == nullptr) return;  // tried again at the next pass
  Target t;
  const bool found = Look(node, fs, &t);
  if (!found && node->no_follow && fs->missing_logged && fs->earlier.empty() &&
      !HasBacklog(node, *fs)) {
    // A scanned file that is gone and was read to its end is forgotten; a
    // file that comes back under its name is found anew by the scan.
    ForgetPath(node);
    Unqueue(node);
    delete fs;
    node->state = nullptr;
    LogFileRetire(node);
    return;
  }
  fs->stamped = false;
  NoteCurrent(node, fs);
  if (HasBacklog(node, *fs)) {
    if (fs->behind_since == 0) fs->behind_since = veld_time(nullptr);
    Enqueue(node, fs);
  } else {
    fs->behind_since = 0;
    if (found) RotateIfOver(node, fs, t, fs->cur.size);
  }
}

void logfile::Drained(P_LOGFILE_LIST node, FileState *fs) {
  fs->behind_since = 0;
  const uint64_t looked = fs->cur.size;
  if (looked <= RotationLimit()) return;
  Target t;
  if (FindTarget(node, fs, &t) && t.id == fs->cur.id) RotateIfOver(node, fs, t, looked);
}

void logfile::AfterTurn() { SaveProgress(false); }

void LogFileForget(P_LOGFILE_LIST node) {
  if (node == nullptr) return;
  ForgetReader(node);
  Unqueue(node);
  delete node->state;
  node->state = nullptr;
}

void LogFileProcess(P_LOGFILE_LIST vkp) {
  if (vkp == nullptr || vkp->log_file == nullptr || vkp->retired.load(std::memory_order_acquire))
    return;
  if (g_pass.watchdog == nullptr) {  // called on its own: a pass of one file
    NewLookGeneration();
    CatchUpPaths();
    ResetLinkFailed();
  }
  LookAt(vkp);
  if (FileState *fs = vkp->state) ServeOnly(vkp, fs);
}

namespace {

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
    looked = g_pass.files;
  } else {
    for (P_LOGDIR_LIST d : c.scans) LogDirectoryProcess(d);
    if (!c.scans.empty()) LookNew();
    for (P_LOGFILE_LIST n : c.nodes)
      if (!n->retired.load(std::memory_order_acquire)) LookAt(n);
  }
  g_wake.spacing = WakeSpacing(looked);
  return looked;
}

// Between turns of a drain: a quiet file's new line waits for no backlog.
void LookAtChanges() {
  if (g_events && Clock::now() - g_wake.last >= g_wake.spacing) TakeChanges();
}

}  // namespace

void LogFilePass(const char *watchdog_file) {
  ResetLinkFailed();
  g_pass.watchdog = watchdog_file;
  for (;;) {
    LookAll();
    if (Serve(veld_time(nullptr) + kPassPause, true, LookAtChanges) || LinkFailed()) break;
    SaveProgress(true);  // a long drain: look at everything again
  }
  TakeFigures();
  g_pass.watchdog = nullptr;
  g_pass.saved = Clock::now();
  if (LogFileWriteWatchdogFile(watchdog_file) != 1)
    Log(2, kMsgPositionsWriteFailed, watchdog_file ? watchdog_file : "(null)");
}

namespace {

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
    Serve(veld_time(nullptr) + kPassPause, false);
  }
  return true;
}

// Between two passes, while changes are notified: an event is a hint to
// look at the files it names at once, and to serve what they gained.  A
// wake-up comes at most every kCoalesce, and later the more files the last
// one looked at, so a file written ten thousand times a second, a hundred
// busy files or a directory a user floods with events cost a bounded number
// of wake-ups and of looks; lost events (the queue overflowed) make a full
// look.  Returns when the pause between passes is over.
void WaitForChanges(const char *watchdog_file) {
  TickArm(kPassPause);
  g_pass.watchdog = watchdog_file;  // progress is saved as it is made
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
    Serve(veld_time(nullptr) + kPassPause, false, LookAtChanges);
  }
  g_pass.watchdog = nullptr;
}

}  // namespace

void *LogFileThread(void *) {
  // Every tailed file may be held open between passes, but a few
  // descriptors always stay free for everything else.
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  ResetHoldBudget();
  const char *watchdog_file = CfgHashGet(kCfgWatchdogFile);
  LogFileLoadPositions(watchdog_file);
  const bool events = WatchStart();
  g_events = events;
  size_t trimmed_at = 0;  // the number of files when the heap was last trimmed
  for (;;) {
    LogFilePass(watchdog_file);
    if (events) WatchSync();
    // A file's first pass leaves freed scratch memory behind (its lookups,
    // the position file's text); hand it back once the files have been
    // taken in, so that an idle agent's resident size follows its files.
    if (g_pass.files != trimmed_at) {
      malloc_trim(0);
      trimmed_at = g_pass.files;
    }
    if (events)
      WaitForChanges(watchdog_file);
    else
      veld_sleep(kPassPause);
  }
}
