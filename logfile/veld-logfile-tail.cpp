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
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <new>

#include "veld-config-unix.h"
#include "veld-logfile-internal.h"
#include "veld-logfile.h"
#include "veld-owners.h"

using namespace logfile;
using Clock = std::chrono::steady_clock;

// Extensions of compressed and binary files, which are never read.
const char *const IgnoreList[] = {"gz", "bz2", "exe", "sys", nullptr};

namespace {

constexpr auto kSaveEvery = std::chrono::seconds(1);  // progress saved at most this often
constexpr rlim_t kSpareFds = 64;  // descriptors never used for holding files open
constexpr char kMsgRestLost[] =
    "The unsent end of log file %s was moved away and could not be found again";

// What one pass knows; tailer only.
struct PassState {
  bool link_down = false;          // a send failed: nothing more goes this pass
  const char *watchdog = nullptr;  // the position file, when inside LogFilePass
  Clock::time_point saved;         // when progress was last saved
  size_t held = 0;                 // files held open between passes
  size_t may_hold = 0;             // how many may be
};
PassState g_pass;

RecordReader &Reader() {
  static RecordReader reader;  // tailer only; its buffers stay off the stack
  return reader;
}

uint64_t RotationLimit() {
  const char *v = CfgHashGet(kCfgLogRotationSize);
  if (v == nullptr) return kDefaultRotationLimit;
  return ParseAutoBase(v) << 20;
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

// How many files may be held open: the descriptor limit less a reserve.
size_t HoldBudget() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur <= kSpareFds) return 0;
  return static_cast<size_t>(rl.rlim_cur - kSpareFds);
}

// Keeps a file open between passes while descriptors allow; the rest are
// looked for by identity when their path moves on.
void Hold(FileState *fs, veld::UniqueFd fd) {
  if (g_pass.may_hold == 0) g_pass.may_hold = HoldBudget();
  if (!fs->fd.ok() && g_pass.held >= g_pass.may_hold) return;
  if (!fs->fd.ok()) ++g_pass.held;
  fs->fd = std::move(fd);
}

void Release(FileState *fs) {
  if (fs->fd.ok()) --g_pass.held;
  fs->fd.close();
}

enum class Read { kAll, kLinkDown, kShrank };

// Sends what `fd` holds from *offset up to `limit`, pausing a second after
// each burst (and saving progress before it); *offset and *fp follow.
Read SendFrom(int fd, uint64_t *offset, uint64_t limit, Fingerprint *fp, PassStamp *stamp) {
  RecordReader &r = Reader();
  r.Start(fd, *offset, limit, stamp->Get());
  for (;;) {
    ReadOutcome o = r.Run();
    *offset = r.consumed();
    *fp = r.TakeFingerprint();
    if (o == ReadOutcome::kPause) {
      SaveProgress(false);
      veld_sleep(1);
      continue;
    }
    if (o == ReadOutcome::kLinkDown) g_pass.link_down = true;
    return o == ReadOutcome::kLinkDown
               ? Read::kLinkDown
               : (o == ReadOutcome::kTruncated ? Read::kShrank : Read::kAll);
  }
}

// Puts a file the path has moved away from in line to be sent, and claims
// it, so a node that finds it again by its new name does not send it too.
void Queue(P_LOGFILE_LIST node, FileState *fs, Earlier e) {
  NoteReader(e.id, e.birth, node, e.offset, e.fp);
  fs->earlier.push_back(std::move(e));
}

// The files born at the path after `first` (queued already), up to now.
void QueueBetween(P_LOGFILE_LIST node, FileState *fs, const Target &t, FileId first,
                  const statx_timestamp &born) {
  std::vector<Earlier> found;
  FindBetween(t.dir, t.name, born, {first, IdOf(t.st)}, &found);
  for (Earlier &e : found) Queue(node, fs, std::move(e));
}

// The file at the path was emptied or rewritten under the offset: its unsent
// end went into a copy (made by a copy-and-truncate, or by our rotation
// before a crash), and the copies made after it hold whole files.
void LostHead(P_LOGFILE_LIST node, FileState *fs, const Target &t) {
  if (node->filesize > 0) {
    Earlier copy;
    copy.fd = FindCopy(t.dir, t.name, node->filesize, fs->fp);
    struct stat st;
    if (copy.fd.ok() && fstat(copy.fd.get(), &st) == 0) {
      copy.id = IdOf(st);
      copy.birth = BirthOf(copy.fd.get());
      copy.offset = node->filesize;
      copy.fp = fs->fp;
      const FileId first = copy.id;
      const statx_timestamp born = copy.birth;
      Queue(node, fs, std::move(copy));
      QueueBetween(node, fs, t, first, born);
    } else if (!fs->lost_logged) {
      Log(2, kMsgRestLost, node->log_file);
      fs->lost_logged = true;
    }
  }
  node->filesize = 0;
  fs->fp = Fingerprint{};
}

// Takes the file the path leads to now as the node's file: it is read from
// its start, or, when another node read it until its own path moved away
// from it (a file renamed within a watched directory and found again by the
// scan), from where that node left it.
void Adopt(P_LOGFILE_LIST node, FileState *fs, const Target &t, bool keep_offset) {
  fs->id = IdOf(t.st);
  fs->identity_known = true;
  fs->birth = BirthAt(t.dir, t.name);
  uint64_t offset;
  Fingerprint fp;
  veld::UniqueFd fd;
  // Opened only to check a file another node read: an idle file is not.
  if (!IsReader(fs->id, fs->birth, node)) fd = OpenTarget(t, O_RDONLY);
  if (fd.ok() && TakeOver(fs->id, fs->birth, fd.get(), node, &offset, &fp)) {
    node->filesize = offset;
    fs->fp = fp;
  } else if (!keep_offset) {
    node->filesize = 0;
    fs->fp = Fingerprint{};
  }
  NoteReader(fs->id, fs->birth, node, node->filesize, fs->fp);
  if (fd.ok()) Hold(fs, std::move(fd));
}

// The path leads to another file than the one last read (or is seen for the
// first time since a start).  The old file's unread rest, and every file that
// lived at the path in between, go first.
void Arrive(P_LOGFILE_LIST node, FileState *fs, const Target &t) {
  const FileId now = IdOf(t.st);
  const bool saved = fs->from_positions;
  fs->from_positions = false;
  if (!fs->identity_known || (saved && fs->id == now)) {
    // First sight: an offset saved without an identity is trusted, as is
    // one saved for this very file (its fingerprint is checked next).
    Adopt(node, fs, t, true);
    return;
  }
  Earlier old;
  old.fd = std::move(fs->fd);
  if (old.fd.ok()) --g_pass.held;
  if (!old.fd.ok()) old.fd = FindByIdentity(t.dir, fs->id, node->filesize, fs->fp);
  if (old.fd.ok()) {
    old.id = fs->id;
    old.birth = BirthOf(old.fd.get());
    old.offset = node->filesize;
    old.fp = fs->fp;
    const FileId first = old.id;
    const statx_timestamp born = old.birth;
    Queue(node, fs, std::move(old));
    QueueBetween(node, fs, t, first, born);
  } else {
    LostHead(node, fs, t);  // looks for a copy by its bytes instead
  }
  Adopt(node, fs, t, false);
}

// Checks, before reading on, that the file still holds what the offset
// was measured in: not shorter, and the same bytes just before it.
void CheckContinuity(P_LOGFILE_LIST node, FileState *fs, const Target &t) {
  const uint64_t size = static_cast<uint64_t>(t.st.st_size), offset = node->filesize;
  if (offset == 0 || size == offset) return;
  bool rewritten = size < offset;
  if (!rewritten && fs->fp.len > 0) {
    veld::UniqueFd opened;
    int fd = fs->fd.get();
    if (fd < 0) {
      opened = OpenTarget(t, O_RDONLY);
      fd = opened.get();
    }
    rewritten = fd >= 0 && !fs->fp.Matches(fd, offset);
  }
  if (rewritten) LostHead(node, fs, t);
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
      Read r = SendFrom(e.fd.get(), &e.offset, static_cast<uint64_t>(st.st_size), &e.fp, stamp);
      NoteReader(e.id, e.birth, node, e.offset, e.fp);
      if (r == Read::kLinkDown) return false;
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
        if (errno != ESTALE) Log(2, kMsgFileOpenFailed, node->log_file);
        return;
      }
    }
    int fd = fs->fd.ok() ? fs->fd.get() : opened.get();
    if (SendFrom(fd, &node->filesize, size, &fs->fp, stamp) == Read::kShrank) LostHead(node, fs, t);
    if (opened.ok()) Hold(fs, std::move(opened));
  }
  if (fs->birth.tv_sec == 0 && fs->fd.ok()) fs->birth = BirthOf(fs->fd.get());
  NoteReader(fs->id, fs->birth, node, node->filesize, fs->fp);
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
  char longest[kNameBuffer];
  if (!BackupName(longest, path, kBackupSearch)) {  // a name is never cut short
    Log(2, kMsgBackupNameTooLong, path);
    return;
  }
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
  if (!rd.ok() || RotateLog(t.backup_dir, t.backup_name, rd.get(), wr.get(), t.st, &backup.fd) !=
                      RotateResult::kRotated)
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
  const bool found = FindTarget(vkp, fs, &t);
  if (found) {
    if (!fs->identity_known || fs->from_positions || !(fs->id == IdOf(t.st))) Arrive(vkp, fs, t);
    CheckContinuity(vkp, fs, t);
  }
  if (!DrainEarlier(vkp, fs, &stamp)) return;
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
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
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
  g_pass.may_hold = HoldBudget();
  const char *watchdog_file = CfgHashGet(kCfgWatchdogFile);
  LogFileLoadPositions(watchdog_file);
  for (;;) {
    LogFilePass(watchdog_file);
    veld_sleep(kPassPause);
  }
}
