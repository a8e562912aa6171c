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

constexpr uint64_t kDefaultRotationLimit = 1048576;   // without a LogRotationSize
constexpr unsigned kPassPause = 10;                   // seconds between passes
constexpr auto kSaveEvery = std::chrono::seconds(1);  // progress saved at most this often
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
}  // namespace

void logfile::LookNew() {
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
    if (n->state == nullptr && !n->retired.load(std::memory_order_acquire) && n->log_file)
      LookAt(n);
}

// Looks at every node once, keeps the held deleted files under their cap,
// and takes the figures the agent reports of itself.
void logfile::LookAll() {
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

size_t logfile::FilesLookedAt() { return g_pass.files; }

void logfile::SavingProgress(const char *watchdog_file) { g_pass.watchdog = watchdog_file; }

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
  WakeOnChange(events);
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
      WaitForChanges(watchdog_file, kPassPause);
    else
      veld_sleep(kPassPause);
  }
}
