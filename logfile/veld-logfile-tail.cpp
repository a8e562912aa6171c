// veld-logfile-tail: the tailer.  It walks the tailed-file list over and
// over; for each file it sends every line appended since the stored offset
// and advances the offset, and rotates a file that has grown past the limit.
//
// The file is the buffer: the offset never moves past a line that was not
// handed over.  A record that cannot be sent stops the pass's sending, with
// the offset at that record, and the next pass goes on from there.  When the
// path has moved on to another file, the unread rest of the old one (and of
// any file that lived at the path in between) goes first; it is found by
// the descriptor kept open since the last read, or among the directory's
// entries (veld-logfile-follow.cpp).  Offsets are saved as progress is made,
// so a process killed over and over still gets through.

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <new>

#include "veld-config-unix.h"
#include "veld-logfile-follow.h"
#include "veld-logfile-look.h"
#include "veld-logfile-readers.h"
#include "veld-logfile-record.h"
#include "veld-logfile-rotate.h"
#include "veld-logfile.h"
#include "veld-owners.h"

using namespace logfile;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint64_t kDefaultRotationLimit = 1048576;   // without a LogRotationSize
constexpr unsigned kPassPause = 10;                   // seconds between passes
constexpr auto kSaveEvery = std::chrono::seconds(1);  // progress saved at most this often

constexpr char kMsgPositionsWriteFailed[] = "Failed to write our watchdog status to %s, ignoring";
constexpr char kMsgRotating[] =
    "Log file rotation in progress, (%" PRIu64 ") file %s greater than %" PRIu64 " bytes.";
constexpr char kMsgCannotEmpty[] = "Log file %s cannot be emptied, not rotating it";

// What one pass knows; tailer only.
struct PassState {
  bool link_down = false;          // a send failed: nothing more goes this pass
  const char *watchdog = nullptr;  // the position file, when inside LogFilePass
  Clock::time_point saved;         // when progress was last saved
  size_t files = 0;                // in the last whole pass
};
PassState g_pass;

RecordReader &Reader() {
  static RecordReader reader;  // tailer only; its buffers stay off the stack
  return reader;
}

uint64_t RotationLimit() {
  const char *v = CfgHashGet(kCfgLogRotationSize);
  if (v == nullptr) return kDefaultRotationLimit;
  return std::strtoull(v, nullptr, 0) << 20;  // the base from the prefix, as strtoull takes it
}

FileState *StateOf(P_LOGFILE_LIST node) {
  if (node->state == nullptr) node->state = new (std::nothrow) FileState{};
  return node->state;
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

// One stamp for everything a file sends in a pass, taken when first needed.
class PassStamp {
 public:
  time_t Get() {
    if (!taken_) stamp_ = veld_time(nullptr);
    taken_ = true;
    return stamp_;
  }

 private:
  time_t stamp_ = 0;
  bool taken_ = false;
};

// Sends what `fd` holds from *offset up to `limit`, pausing a second after
// each burst (and saving progress before it); *offset and *fp follow.
ReadOutcome SendFrom(int fd, uint64_t *offset, uint64_t limit, Fingerprint *fp, PassStamp *stamp,
                     Fingerprint *head = nullptr) {
  RecordReader &r = Reader();
  r.Start(fd, *offset, limit, stamp->Get());
  for (;;) {
    ReadOutcome o = r.Run();
    *offset = r.consumed();
    *fp = r.TakeFingerprint();
    if (head != nullptr && r.head().len > 0) *head = r.head();
    if (o == ReadOutcome::kBurst) {
      SaveProgress(false);
      veld_sleep(1);
      continue;
    }
    if (o == ReadOutcome::kLinkDown) g_pass.link_down = true;
    return o;
  }
}

// Sends the unsent rest of the files the path has moved away from, oldest
// first.  One is let go once a pass finds it sent and no longer growing (a
// writer may go on writing into a renamed file until it reopens its log).
// False when the link failed.
bool DrainEarlier(P_LOGFILE_LIST node, FileState *fs, PassStamp *stamp) {
  for (size_t i = 0; i < fs->earlier.size();) {
    Earlier &e = fs->earlier[i];
    struct stat st;
    if (!IsReader(e.id, e.birth, node) || fstat(e.fd.get(), &st) != 0) {
      fs->earlier.erase(fs->earlier.begin() + static_cast<long>(i));
      continue;
    }
    const off_t seen = e.seen_size;
    e.seen_size = st.st_size;
    if (static_cast<uint64_t>(st.st_size) > e.offset) {
      ReadOutcome r =
          SendFrom(e.fd.get(), &e.offset, static_cast<uint64_t>(st.st_size), &e.fp, stamp);
      NoteReader(e.id, e.birth, node, e.offset, e.fp);
      if (r == ReadOutcome::kLinkDown) return false;
    }
    if (st.st_size == seen && e.offset >= static_cast<uint64_t>(st.st_size))
      fs->earlier.erase(fs->earlier.begin() + static_cast<long>(i));
    else
      ++i;
  }
  return true;
}

// Sends what the file gained since the offset; only what it held when it was
// looked at, so a writer faster than the pacing cannot hold the pass.
void ReadCurrent(P_LOGFILE_LIST node, FileState *fs, const Target &t, PassStamp *stamp) {
  const uint64_t size = static_cast<uint64_t>(t.st.st_size);
  if (size != node->filesize) {
    veld::UniqueFd opened;
    if (!fs->fd.ok()) {
      opened = OpenTarget(t, O_RDONLY);
      if (!opened.ok()) {
        if (errno != ESTALE) SayOpenFailed(node);
        return;
      }
    }
    int fd = fs->fd.ok() ? fs->fd.get() : opened.get();
    // The first bytes of a file read on from an offset (as after a start)
    // are taken before the read; from the start, the read itself gives them.
    if (fs->head.len < Fingerprint::kBytes && node->filesize > 0 &&
        !fs->head.Take(fd, std::min<uint64_t>(node->filesize, Fingerprint::kBytes)))
      fs->head = Fingerprint{};
    Fingerprint *head = fs->head.len < Fingerprint::kBytes ? &fs->head : nullptr;
    if (SendFrom(fd, &node->filesize, size, &fs->fp, stamp, head) == ReadOutcome::kTruncated)
      LostHead(node, fs, t);
    if (opened.ok()) Hold(fs, std::move(opened));
  }
  if (fs->birth.tv_sec == 0 && fs->fd.ok()) fs->birth = BirthOf(fs->fd.get());
  if (fs->noted && fs->noted_id == fs->id && fs->noted_offset == node->filesize &&
      fs->noted_birth.tv_sec == fs->birth.tv_sec && fs->noted_birth.tv_nsec == fs->birth.tv_nsec)
    return;
  NoteReader(fs->id, fs->birth, node, node->filesize, fs->fp);
  fs->noted = true;
  fs->noted_id = fs->id;
  fs->noted_offset = node->filesize;
  fs->noted_birth = fs->birth;
}

// Rotates a file that was over the limit when looked at, once everything it
// held then has gone.  Tried again every pass, in case it has become
// possible, but a file that cannot be emptied is said once.
void RotateIfOver(P_LOGFILE_LIST node, FileState *fs, const Target &t, PassStamp *stamp) {
  const char *path = node->log_file;
  const uint64_t size = static_cast<uint64_t>(t.st.st_size);
  const uint64_t limit = RotationLimit();
  if (size <= limit || g_pass.link_down || !fs->earlier.empty() || node->filesize < size) return;
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
  Earlier backup;
  if (!rd.ok() || !RotateLog(t.backup_dir, t.backup_name, rd.get(), wr.get(), t.st, &backup.fd))
    return;
  // Lines written between our read and the copy are in the backup only.
  struct stat st;
  fstat(backup.fd.get(), &st);
  backup.id = IdOf(st);
  backup.birth = BirthOf(backup.fd.get());
  backup.offset = node->filesize;
  backup.fp = fs->fp;
  Queue(node, fs, std::move(backup));
  node->filesize = 0;
  fs->fp = Fingerprint{};
  fs->head = Fingerprint{};
  DrainEarlier(node, fs, stamp);
  SaveProgress(true);
}

}  // namespace

void LogFileProcess(P_LOGFILE_LIST vkp) {
  if (vkp == nullptr || vkp->log_file == nullptr) return;
  FileState *fs = StateOf(vkp);
  if (fs == nullptr) return;         // tried again at the next pass
  if (g_pass.watchdog == nullptr) {  // called on its own: a pass of one file
    NewLookGeneration();
    g_pass.link_down = false;
  }
  if (g_pass.link_down) return;
  PassStamp stamp;
  Target t;
  bool found = false;
  // Sending what moved away may take seconds of pacing, during which the
  // file may be rotated again: it is looked at afresh after such a drain.
  for (int look = 0; look < 2; ++look) {
    found = FindTarget(vkp, fs, &t);
    if (found) {
      if (!fs->identity_known || fs->from_positions || !(fs->id == IdOf(t.st))) Arrive(vkp, fs, t);
      CheckContinuity(vkp, fs, t);
    }
    if (fs->earlier.empty()) break;
    if (!DrainEarlier(vkp, fs, &stamp)) return;
  }
  if (found) {
    ReadCurrent(vkp, fs, t, &stamp);
    RotateIfOver(vkp, fs, t, &stamp);
  } else if (fs->fd.ok()) {
    // The path is gone but the file is still open: a writer may go on
    // writing into it until it reopens its log.
    struct stat st;
    if (fstat(fs->fd.get(), &st) == 0 && static_cast<uint64_t>(st.st_size) > vkp->filesize)
      SendFrom(fs->fd.get(), &vkp->filesize, static_cast<uint64_t>(st.st_size), &fs->fp, &stamp);
    if (fstat(fs->fd.get(), &st) == 0 && st.st_nlink == 0) Release(fs);
  }
}

void LogFilePass(const char *watchdog_file) {
  NewLookGeneration();
  g_pass.link_down = false;
  g_pass.watchdog = watchdog_file;
  g_pass.files = 0;
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire), ++g_pass.files)
    LogFileProcess(n);
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
  size_t trimmed_at = 0;  // the number of files when the heap was last trimmed
  for (;;) {
    LogFilePass(watchdog_file);
    // A file's first pass leaves freed scratch memory behind (its lookups,
    // the position file's text); hand it back once the files have been
    // taken in, so that an idle agent's resident size follows its files.
    if (g_pass.files != trimmed_at) {
      malloc_trim(0);
      trimmed_at = g_pass.files;
    }
    veld_sleep(kPassPause);
  }
}
