// veld-logfile: the log sources and everything done with them short of the
// link to the collector (veld-logfile-link.cpp).
//
// Two lists name the sources: the tailed files and the watched directories.
// Both only grow; a node is complete before it is linked, the link is stored
// with release and walked with acquire, so the tailer walks the file list
// while the directory scanner appends to it, without a lock.  The tailer
// reads what each file has gained since its stored offset and hands every
// line, behind a stamped prefix, to SendLog; after each pass it saves the
// offsets in the position file, so a restart resumes where the last pass
// ended.  A file grown past the rotation limit is copied into numbered
// "._hlr_" backups and emptied in place.  The scanner lists the watched
// directories and appends every regular file it has not seen.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "veld-config-unix.h"
#include "veld-logfile.h"
#include "veld-owners.h"

std::atomic<P_LOGFILE_LIST> LogFileList{nullptr};      // config reader, then the scanner
std::atomic<P_LOGDIR_LIST> LogDirectoryList{nullptr};  // config reader only

// Extensions of compressed and binary files, which are never read.
const char *const IgnoreList[] = {"gz", "bz2", "exe", "sys", nullptr};

// ------------------------------------------------------------------- lists

namespace {

// Walks from `l` to the tail of its list.  `l->tail_hint`, when set, is a node
// that an earlier walk from `l` reached, so starting there ends at the same
// tail; appending therefore costs the nodes added since, not the whole list.
template <typename Node>
Node *TailFrom(Node *l) {
  Node *cur = l->tail_hint.load(std::memory_order_relaxed);
  if (cur == nullptr) cur = l;
  for (Node *n = cur->next.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
    cur = n;
  return cur;
}

template <typename Node>
int AppendAfterTail(Node *l, Node *p) {
  if (l == nullptr) return 0;
  Node *tail = TailFrom(l);
  tail->next.store(p, std::memory_order_release);
  l->tail_hint.store(p, std::memory_order_relaxed);
  return 1;
}

}  // namespace

P_LOGFILE_LIST LogFileNew(char *file) {
  P_LOGFILE_LIST node = new (std::nothrow) LOGFILE_LIST{};
  if (node == nullptr) return nullptr;
  node->log_file = file;
  return node;
}

int LogFileAdd(P_LOGFILE_LIST l, P_LOGFILE_LIST p) { return AppendAfterTail(l, p); }

P_LOGDIR_LIST LogDirectoryNew(char *dir) {
  P_LOGDIR_LIST node = new (std::nothrow) LOGDIR_LIST{};
  if (node == nullptr) return nullptr;
  node->log_dir = dir;
  return node;
}

int LogDirectoryAdd(P_LOGDIR_LIST l, P_LOGDIR_LIST p) { return AppendAfterTail(l, p); }

// ------------------------------------------------------------ shared helpers

namespace {

// Messages this module writes; each is emitted from one place.
constexpr const char kMsgPositionsRead[] = "Processed our watchdog file %s, successfully.";
constexpr const char kMsgPositionsReadFailed[] = "Failed to read our watchdog file %s, ignoring.";
constexpr const char kMsgPositionsWriteFailed[] =
    "Failed to write our watchdog status to %s, ignoring";
constexpr const char kMsgFileMissing[] = "Unable to open log file for processing: %s";
constexpr const char kMsgFileOpenFailed[] = "Failed to open log file %s for processing.";
constexpr const char kMsgFileSeekFailed[] = "Failed to seek log file %s during processing.";
constexpr const char kMsgFileNotRegular[] = "Log file %s is not a regular file, skipping it.";
constexpr const char kMsgRotating[] =
    "Log file rotation in progress, (%" PRIu64 ") file %s greater than %" PRIu64 " bytes.";
constexpr const char kMsgLinkRefused[] =
    "Log file %s is a link to a file of another user, not following it.";
constexpr const char kMsgCannotEmpty[] = "Log file %s cannot be emptied, not rotating it.";
constexpr const char kMsgBackupNameTooLong[] =
    "Backup names of log file %s would be too long, not rotating it.";
constexpr const char kMsgCopyOpenSource[] = "error while opening \"%s\" for reading";
constexpr const char kMsgCopyOpenBackup[] = "cannot open backup file \"%s\" for writing";
constexpr const char kMsgCopyRead[] = "error reading \"%s\"";
constexpr const char kMsgCopyWrite[] = "error writing \"%s\"";
constexpr const char kMsgCopyCloseSource[] = "error after reading \"%s\"";
constexpr const char kMsgDirectoryFound[] =
    "Identified existing directory location for monitoring: %s";
constexpr const char kMsgFileDiscovered[] = "Discovered new file within directory scan: %s";

constexpr const char kRecordPrefix[] = "%lu VELDUnixLog: ";
constexpr size_t kRecordBuffer = 4096;      // one record: prefix, line part, NUL
constexpr size_t kRecordMax = 4093;         // characters of one record
constexpr unsigned kRecordsPerPause = 200;  // records of one file between pauses
constexpr size_t kReadBuffer = 65536;       // bytes taken from a file per read
constexpr uint64_t kDefaultRotationLimit = 1048576;
constexpr unsigned kPassPause = 10;     // seconds between tailer passes
constexpr unsigned kScanPause = 15;     // seconds between directory scans
constexpr size_t kPositionLine = 2048;  // position-file line buffer
constexpr size_t kNameBuffer = 4096;    // a backup name
constexpr int kBackupSearch = 1024;     // backup numbers searched: 0..1023
constexpr size_t kCopyBlock = 4096;
constexpr size_t kScanPath = 260;  // scanned path, NUL included; longer is cut

using veld::UniqueFd;

int LowerC(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// Hash and equality that agree with veld_stricmp(a, b) == 0, so a table
// lookup gives exactly what a walk comparing with veld_stricmp would.
struct CaseHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) h = (h ^ static_cast<uint64_t>(LowerC(c))) * 1099511628211ull;
    return static_cast<size_t>(h);
  }
};
struct CaseEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (LowerC(static_cast<unsigned char>(a[i])) != LowerC(static_cast<unsigned char>(b[i])))
        return false;
    return true;
  }
};

// Unsigned number with the base taken from its prefix (0x, 0, decimal);
// parsing stops at the first character that does not fit, no digits give 0.
uint64_t ParseAutoBase(const char *s) { return std::strtoull(s, nullptr, 0); }

bool SameIdentity(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

// ------------------------------------------------------------ position file

int LogFileReadWatchdogFile(const char *watchdog_file) {
  if (watchdog_file == nullptr) return 0;
  veld::FilePtr f(std::fopen(watchdog_file, "re"));
  if (!f) return 1;

  // First node of each path, case-insensitively: a line goes to the first
  // node that a walk from the head would find, at the cost of one lookup.
  std::unordered_map<std::string_view, P_LOGFILE_LIST, CaseHash, CaseEq> first;
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
    if (n->log_file != nullptr) first.emplace(n->log_file, n);

  char line[kPositionLine];
  while (std::fgets(line, sizeof line, f.get()) != nullptr) {
    char *eq = std::strchr(line, '=');
    if (eq == nullptr) continue;
    char *comma = std::strchr(eq + 1, ',');
    if (comma == nullptr) continue;
    *eq = '\0';
    *comma = '\0';
    char *path = line, *offset = eq + 1, *stamp = comma + 1;
    trim(path);
    trim(offset);
    trim(stamp);
    auto it = first.find(std::string_view(path));
    if (it == first.end()) continue;
    it->second->filesize = ParseAutoBase(offset);
    it->second->timestamp = ParseAutoBase(stamp);
  }
  return 1;
}

namespace {

// What the last successful write put where, so that a pass that changed no
// offset does not write, fsync and rename an identical file: on an idle host
// that would be a disk flush every ten seconds for nothing.  The file on disk
// must still be the one we wrote (same inode, size and change time), so a
// position file that was deleted, replaced or edited is written again.
struct WrittenPositions {
  std::mutex lock;
  std::string path;
  std::string content;
  std::string scratch;  // the next content; kept to reuse its storage
  struct stat st {};
  bool valid = false;
};

WrittenPositions &LastWritten() {
  static WrittenPositions w;
  return w;
}

bool SameFile(const struct stat &a, const struct stat &b) {
  return SameIdentity(a, b) && a.st_size == b.st_size && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

int LogFileWriteWatchdogFile(const char *watchdog_file) {
  if (watchdog_file == nullptr) return 0;
  umask(022);

  WrittenPositions &last = LastWritten();
  std::lock_guard<std::mutex> guard(last.lock);
  std::string &content = last.scratch;
  content.clear();
  char number[48];
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire)) {
    content += n->log_file != nullptr ? n->log_file : "";
    std::snprintf(number, sizeof number, "=%" PRIu64 ",%" PRIu64 "\n", n->filesize, n->timestamp);
    content += number;
  }
  struct stat now {};
  if (last.valid && last.path == watchdog_file && last.content == content &&
      stat(watchdog_file, &now) == 0 && SameFile(now, last.st))
    return 1;
  last.valid = false;

  // The new content goes to a sibling first and replaces the old file only
  // once it is safely on disk, so a crash or a full disk never costs the
  // saved offsets.  "_hlr_" in its name keeps the directory scan off it.
  std::string tmp = std::string(watchdog_file) + "._hlr_tmpXXXXXX";
  UniqueFd fd(mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd.ok()) return 0;
  bool ok = fchmod(fd.get(), 0644) == 0 &&
            full_write(fd.get(), content.data(), content.size()) == content.size() &&
            fsync(fd.get()) == 0;
  struct stat written {};
  if (ok && fstat(fd.get(), &written) != 0) ok = false;
  if (fd.close() != 0) ok = false;
  if (ok && std::rename(tmp.c_str(), watchdog_file) != 0) ok = false;
  if (!ok) {
    unlink(tmp.c_str());
    return 0;
  }

  // Make the rename itself durable; the file is in place either way.
  std::string dir(watchdog_file);
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
  UniqueFd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dfd.ok()) fsync(dfd.get());

  // A rename changes the inode's change time; take it as it now stands.
  if (stat(watchdog_file, &now) == 0 && SameIdentity(now, written)) {
    last.path = watchdog_file;
    last.content.swap(content);
    last.st = now;
    last.valid = true;
  }
  return 1;
}

int LogFileLoadPositions(const char *watchdog_file) {
  int rc = LogFileReadWatchdogFile(watchdog_file);
  if (rc == 1)
    Log(3, kMsgPositionsRead, watchdog_file);
  else
    Log(1, kMsgPositionsReadFailed, watchdog_file ? watchdog_file : "(null)");
  return rc;
}

// ---------------------------------------------------------------- rotation

size_t full_write(int desc, const void *ptr, size_t len) {
  const char *p = static_cast<const char *>(ptr);
  size_t total = 0;
  while (len > 0) {
    ssize_t n = write(desc, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a failed write or one that wrote nothing ends it
    total += static_cast<size_t>(n);
    p += n;
    len -= static_cast<size_t>(n);
  }
  return total;
}

namespace {

enum class CopyResult { kDone, kReadFailed, kWriteFailed };

// Copies the data of `in` from *pos to its end into the same offsets of
// `out`, and leaves *pos at that end.  Holes are passed over, so they stay
// holes in the copy: a sparse file planted in a watched directory must not
// become terabytes of real blocks owned by the agent.
CopyResult CopyExtents(int in, int out, off_t *pos) {
  char block[kCopyBlock];
  for (;;) {
    off_t data = lseek(in, *pos, SEEK_DATA);
    off_t stop = -1;  // end of this run of data; -1: read to the end
    if (data < 0) {
      if (errno != ENXIO) {
        data = *pos;  // holes unknown here: copy every byte
      } else {
        // Nothing but a hole from here: it ends where the file ends.
        off_t size = lseek(in, 0, SEEK_END);
        if (size < 0) return CopyResult::kReadFailed;
        if (size > *pos) *pos = size;
        return CopyResult::kDone;
      }
    } else {
      stop = lseek(in, data, SEEK_HOLE);
    }
    if (lseek(out, data, SEEK_SET) != data) return CopyResult::kWriteFailed;
    off_t at = data;
    while (stop < 0 || at < stop) {
      size_t want = sizeof block;
      if (stop >= 0 && static_cast<uint64_t>(stop - at) < want)
        want = static_cast<size_t>(stop - at);
      ssize_t n = pread(in, block, want, at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return CopyResult::kReadFailed;
      if (n == 0) {
        *pos = at;
        return CopyResult::kDone;
      }
      if (full_write(out, block, static_cast<size_t>(n)) != static_cast<size_t>(n))
        return CopyResult::kWriteFailed;
      at += n;
    }
    *pos = at;
  }
}

// Copies S over D.  D is always a backup and is opened without following a
// link, refused unless it is a regular file with one name (a planted link
// must never carry root's writes elsewhere), and synced before the caller
// may empty S.  `src_nofollow` does the same for S when S is a backup.
// `expect`, when given, is the file S must still be: a path that has changed
// hands since it was checked is not copied.
int CopyFile(const char *src, const char *dst, bool src_nofollow,
             const struct stat *expect = nullptr) {
  UniqueFd in(
      open(src, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (src_nofollow ? O_NOFOLLOW : 0)));
  struct stat st;
  if (!in.ok() || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      (expect != nullptr && !SameIdentity(st, *expect))) {
    Log(1, kMsgCopyOpenSource, src);
    return 0;
  }
  mode_t mode = st.st_mode & 07777;
  // A backup belongs to the agent: set-id bits of someone else's file would
  // turn a planted file into a set-id program of the agent's user.
  if (st.st_uid != geteuid()) mode &= ~static_cast<mode_t>(S_ISUID);
  if (st.st_gid != getegid()) mode &= ~static_cast<mode_t>(S_ISGID);

  UniqueFd out(
      open(dst, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0600));
  struct stat dst_st;
  if (!out.ok() || fstat(out.get(), &dst_st) != 0 || !S_ISREG(dst_st.st_mode) ||
      dst_st.st_nlink != 1 || ftruncate(out.get(), 0) != 0) {
    Log(1, kMsgCopyOpenBackup, dst);
    return 0;
  }

  off_t end = 0;
  CopyResult r = CopyExtents(in.get(), out.get(), &end);
  fchmod(out.get(), mode);  // best effort: the content is what matters
  if (r == CopyResult::kDone && fdatasync(out.get()) != 0) r = CopyResult::kWriteFailed;
  // Lines written while the backup was being synced are taken as well: the
  // caller empties the source right after this returns.
  if (r == CopyResult::kDone) r = CopyExtents(in.get(), out.get(), &end);
  if (r == CopyResult::kDone && ftruncate(out.get(), end) != 0) r = CopyResult::kWriteFailed;
  if (r == CopyResult::kReadFailed) {
    Log(1, kMsgCopyRead, src);
    return 0;
  }
  if (r == CopyResult::kWriteFailed || out.close() != 0) {
    Log(1, kMsgCopyWrite, dst);
    return 0;
  }
  if (in.close() != 0) Log(1, kMsgCopyCloseSource, src);
  return 1;
}

// Empties a file in place: same inode, owner and mode.  Nothing but a regular
// file is truncated; a backup is never followed through a link, nor emptied
// when it is a second name of some other file.
bool EmptyFile(const char *path, bool nofollow, bool backup) {
  UniqueFd fd(
      open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (nofollow ? O_NOFOLLOW : 0)));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (backup && st.st_nlink != 1) return false;
  return ftruncate(fd.get(), 0) == 0;
}

bool BackupName(char *out, const char *live, int k) {
  int n = std::snprintf(out, kNameBuffer, "%s._hlr_%d", live, k);
  return n >= 0 && static_cast<size_t>(n) < kNameBuffer;
}

constexpr int kRotated = 1, kNotRotated = 0, kCannotEmpty = -1;

// Rotates `live`: kRotated when it was copied into backup 0 and emptied.
// The live file is opened for writing before anything moves, so a file that
// cannot be emptied (append-only, immutable, read-only) does not gain a new
// backup at every pass; it is then emptied through that same descriptor, so
// what is emptied is the file that was copied.  `expect`, when given, is the
// file the caller read and checked: a path that now names another file is
// left alone.
int RotateLog(const char *live, bool live_nofollow, const struct stat *expect) {
  if (live == nullptr) return kNotRotated;
  char src[kNameBuffer], dst[kNameBuffer];
  // The longest name this rotation may build; a name is never cut short.
  if (!BackupName(dst, live, kBackupSearch)) {
    Log(2, kMsgBackupNameTooLong, live);
    return kNotRotated;
  }
  UniqueFd live_w(
      open(live, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (live_nofollow ? O_NOFOLLOW : 0)));
  struct stat wst;
  if (!live_w.ok() || fstat(live_w.get(), &wst) != 0 || !S_ISREG(wst.st_mode)) return kCannotEmpty;
  if (expect != nullptr && !SameIdentity(wst, *expect)) return kNotRotated;

  int n = kBackupSearch;
  for (int k = 0; k < kBackupSearch; ++k) {
    struct stat st;
    BackupName(dst, live, k);
    if (stat(dst, &st) != 0) {
      n = k;
      break;
    }
  }
  for (int k = n; k > 0; --k) {
    BackupName(src, live, k - 1);
    BackupName(dst, live, k);
    // Stop at the first copy that failed: nothing not copied is emptied.
    if (!CopyFile(src, dst, true)) return kNotRotated;
    umask(022);
    EmptyFile(src, true, true);
  }
  BackupName(dst, live, 0);
  if (!CopyFile(live, dst, live_nofollow, &wst)) return kNotRotated;
  umask(022);
  return ftruncate(live_w.get(), 0) == 0 ? kRotated : kNotRotated;
}

}  // namespace

int copy_file(const char *src_filename, const char *dest_filename) {
  if (src_filename == nullptr || dest_filename == nullptr) return 0;
  return CopyFile(src_filename, dest_filename, false);
}

int rotate_log(const char *cur_fname) {
  return RotateLog(cur_fname, false, nullptr) == kRotated ? 1 : 0;
}

// ------------------------------------------------------------------ tailer

namespace {

uint64_t RotationLimit() {
  const char *v = CfgHashGet("LogRotationSize");
  if (v == nullptr) return kDefaultRotationLimit;
  return ParseAutoBase(v) << 20;
}

bool IgnoredExtension(const char *path) {
  const char *dot = std::strrchr(path, '.');
  if (dot == nullptr) return false;
  for (const char *const *e = IgnoreList; *e != nullptr; ++e)
    if (veld_stricmp(dot + 1, *e) == 0) return true;
  return false;
}

// Applies what `st` says about the file behind the node's path to its read
// offset: another file than the one last read starts at 0, and so does a
// file shorter than the offset.  The first sight after a start trusts the
// stored offset.
void NoteIdentity(P_LOGFILE_LIST node, const struct stat &st) {
  uint64_t dev = static_cast<uint64_t>(st.st_dev), ino = static_cast<uint64_t>(st.st_ino);
  if (node->identity_known && (node->dev != dev || node->ino != ino)) node->filesize = 0;
  node->dev = dev;
  node->ino = ino;
  node->identity_known = true;
  if (static_cast<uint64_t>(st.st_size) < node->filesize) node->filesize = 0;
}

// Sends what the descriptor holds from its position, one record per line (or
// per piece of a long line), and returns the bytes consumed: those of every
// record handed to SendLog.  It stops at the end of the file, or at the
// first record end once `budget` bytes are consumed: a file written faster
// than the records are paced out would otherwise keep the pass, and every
// other file behind it, waiting for ever.  A read error leaves an unfinished
// line for the next pass.
uint64_t SendLines(int fd, time_t now, uint64_t budget) {
  char rec[kRecordBuffer];
  int plen = std::snprintf(rec, sizeof rec, kRecordPrefix, static_cast<unsigned long>(now));
  const size_t prefix = static_cast<size_t>(plen);
  const size_t cap = kRecordMax - prefix;  // raw line bytes per record

  char in[kReadBuffer];
  uint64_t consumed = 0;  // bytes behind the last record sent
  size_t raw = 0;         // raw bytes of the record being built
  size_t w = prefix;      // where its next byte goes
  unsigned count = 0;

  auto emit = [&] {
    consumed += raw;
    raw = 0;
    // A record left empty by the NULs taken out of it says nothing.
    if (w == prefix) return;
    rec[w] = '\0';
    w = prefix;
    SendLog(rec);
    if (++count >= kRecordsPerPause) {
      veld_sleep(1);
      count = 0;
    }
  };

  // `z` NUL bytes, as the loop below would take them, without reading them:
  // none reaches a record, but they count towards the record length.  True
  // when the budget is spent.
  auto take_nuls = [&](uint64_t z) {
    while (z > 0) {
      if (raw == 0 && w == prefix && z >= cap) {
        // Whole records of NULs: each would be emitted empty and sent not.
        // Never more than the loop would take before stopping at the budget.
        uint64_t allowed = consumed < budget ? (budget - consumed + cap - 1) / cap : 1;
        uint64_t records = std::min<uint64_t>(z / cap, allowed);
        consumed += records * cap;
        z -= records * cap;
        if (consumed >= budget) return true;
        continue;
      }
      size_t take = static_cast<size_t>(std::min<uint64_t>(z, cap - raw));
      raw += take;
      z -= take;
      if (raw == cap) {
        emit();
        if (consumed >= budget) return true;
      }
    }
    return false;
  };

  for (;;) {
    ssize_t n = read(fd, in, sizeof in);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return consumed;
    if (n == 0) break;
    // A buffer of nothing but NULs may be the start of a hole: a sparse file
    // planted in a watched directory must not have the tailer read terabytes
    // of NULs, so the rest of the hole is passed over without reading it.
    if (in[0] == '\0' && in[n - 1] == '\0' &&
        std::all_of(in, in + n, [](char c) { return c == '\0'; })) {
      if (take_nuls(static_cast<uint64_t>(n))) return consumed;
      off_t here = lseek(fd, 0, SEEK_CUR);
      off_t data = here < 0 ? -1 : lseek(fd, here, SEEK_DATA);
      off_t hole_end = data;
      if (here >= 0 && data < 0 && errno == ENXIO) hole_end = lseek(fd, 0, SEEK_END);
      // Where no hole follows, the offset is still (or again) at `here`.
      if (here >= 0 && hole_end > here && take_nuls(static_cast<uint64_t>(hole_end - here)))
        return consumed;
      continue;
    }
    for (ssize_t i = 0; i < n; ++i) {
      unsigned char b = static_cast<unsigned char>(in[i]);
      ++raw;
      // Clearing the top bit may make a NUL, and a NUL would end the record
      // early while the offset moves past the rest: leave NULs out instead.
      char c = static_cast<char>(b & 0x7f);
      if (c != '\0') rec[w++] = c;
      if (b == '\n' || raw == cap) {
        emit();
        if (consumed >= budget) return consumed;
      }
    }
  }
  if (raw > 0) emit();  // a last line still being written goes as it stands
  return consumed;
}

// A rotation copies the live file as it is at that moment, which may be more
// than this pass read: lines written in between went into the newest backup
// only, and the emptied live file no longer has them.  They are sent from
// the backup, from the offset the live file was read to.
template <typename StampFn>
void SendRotatedRest(const char *live, uint64_t offset, StampFn stamp) {
  char name[kNameBuffer];
  if (!BackupName(name, live, 0) || offset > static_cast<uint64_t>(INT64_MAX)) return;
  UniqueFd fd(open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) <= offset)
    return;
  if (lseek(fd.get(), static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1))
    SendLines(fd.get(), stamp(), UINT64_MAX);
}

}  // namespace

void LogFileProcess(P_LOGFILE_LIST vkp) {
  if (vkp == nullptr || vkp->log_file == nullptr) return;
  P_LOGFILE_LIST node = vkp;
  const char *path = node->log_file;
  const uint64_t limit = RotationLimit();

  // A file that has gone is said once, not every ten seconds for ever: the
  // agent's own log is never rotated.
  if (!FileExists(path)) {
    if (!node->missing_logged) Log(2, kMsgFileMissing, path);
    node->missing_logged = true;
    return;
  }
  node->missing_logged = false;
  if (IgnoredExtension(path)) return;

  struct stat lst, st;
  if (lstat(path, &lst) != 0) {
    Log(2, kMsgFileOpenFailed, path);
    return;
  }
  // A configured path may be a link.  It is followed when the agent's own
  // user made it, or when whoever made it also owns the file it leads to;
  // a link that a user of the log's directory planted towards someone
  // else's file would have the agent send that file away and empty it.
  const bool via_link = S_ISLNK(lst.st_mode) && !node->no_follow;
  if (via_link) {
    if (stat(path, &st) != 0) {
      Log(2, kMsgFileOpenFailed, path);
      return;
    }
  } else {
    st = lst;
  }
  // Opening a pipe or a device would stall the tailer, and a link found by
  // the scan could lead anywhere on the host.
  if (!S_ISREG(st.st_mode)) {
    if (!node->nonregular_logged) Log(2, kMsgFileNotRegular, path);
    node->nonregular_logged = true;
    return;
  }
  if (via_link && lst.st_uid != geteuid() && lst.st_uid != st.st_uid) {
    if (!node->unsafe_logged) Log(2, kMsgLinkRefused, path);
    node->unsafe_logged = true;
    return;
  }
  node->unsafe_logged = false;
  NoteIdentity(node, st);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  // One stamp for everything this file sends in this pass.
  time_t stamp = 0;
  bool stamped = false;
  auto Stamp = [&] {
    if (!stamped) stamp = veld_time(nullptr);
    stamped = true;
    return stamp;
  };

  // A file that shows nothing new is not opened at all.
  if (size != node->filesize) {
    UniqueFd fd(
        open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (via_link ? 0 : O_NOFOLLOW)));
    struct stat fst;
    if (!fd.ok() || fstat(fd.get(), &fst) != 0 || !S_ISREG(fst.st_mode)) {
      Log(2, kMsgFileOpenFailed, path);
    } else if (!SameIdentity(fst, st)) {
      // The path changed hands since it was checked: look again next pass.
      return;
    } else {
      NoteIdentity(node, fst);  // the file may have shrunk since stat
      if (node->filesize > static_cast<uint64_t>(INT64_MAX) ||
          lseek(fd.get(), static_cast<off_t>(node->filesize), SEEK_SET) == static_cast<off_t>(-1)) {
        Log(2, kMsgFileSeekFailed, path);
      } else {
        // What the file held when it was opened; the rest waits for the next pass.
        const uint64_t at_open = static_cast<uint64_t>(fst.st_size);
        node->filesize +=
            SendLines(fd.get(), Stamp(), at_open > node->filesize ? at_open - node->filesize : 0);
      }
    }
  }

  if (size > limit) {
    // Tried again every pass, in case it has become possible, but said once.
    if (!node->unemptiable_logged) Log(3, kMsgRotating, size, path, limit);
    int rotated = RotateLog(path, !via_link, &st);
    if (rotated == kRotated) {
      SendRotatedRest(path, node->filesize, Stamp);
      node->filesize = 0;
    }
    if (rotated == kCannotEmpty && !node->unemptiable_logged) Log(2, kMsgCannotEmpty, path);
    node->unemptiable_logged = rotated == kCannotEmpty;
  }
}

void LogFilePass(const char *watchdog_file) {
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
    LogFileProcess(n);
  if (LogFileWriteWatchdogFile(watchdog_file) != 1)
    Log(2, kMsgPositionsWriteFailed, watchdog_file ? watchdog_file : "(null)");
}

void *LogFileThread(void *) {
  const char *watchdog_file = CfgHashGet("WatchdogFile");
  LogFileLoadPositions(watchdog_file);
  for (;;) {
    LogFilePass(watchdog_file);
    veld_sleep(kPassPause);
  }
}

// ------------------------------------------------------- directory scanning

namespace {

// The scanner's answer to "is this path tailed already?": every path of
// LogFileList, case-insensitively.  Only the scanner appends once workers run,
// so it catches up by walking just the nodes linked since its last look.
struct TailedIndex {
  P_LOGFILE_LIST head = nullptr;  // the list the index describes
  P_LOGFILE_LIST last = nullptr;  // last node taken in
  std::unordered_set<std::string_view, CaseHash, CaseEq> paths;

  void CatchUp() {
    P_LOGFILE_LIST h = LogFileList.load(std::memory_order_acquire);
    if (h != head) {
      head = h;
      last = nullptr;
      paths.clear();
    }
    P_LOGFILE_LIST n = last ? last->next.load(std::memory_order_acquire) : head;
    for (; n != nullptr; n = n->next.load(std::memory_order_acquire)) {
      if (n->log_file != nullptr) paths.insert(n->log_file);
      last = n;
    }
  }
};

TailedIndex &Tailed() {
  static TailedIndex index;  // scanner thread only
  return index;
}

// Regular files only: links, directories, pipes, sockets and devices in a
// watched directory are never tailed.
bool IsRegularEntry(DIR *dir, const struct dirent *de) {
  if (de->d_type != DT_UNKNOWN) return de->d_type == DT_REG;
  struct stat st;
  return fstatat(dirfd(dir), de->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// The position file keeps "path=offset,timestamp" lines and is read back
// splitting at the first "=": a planted name holding "=" or a line end would
// set another file's saved offset at the next start.  Such names, which no
// log writer uses, are not tailed.
bool SafeScannedName(const char *name) {
  for (const char *c = name; *c != '\0'; ++c) {
    unsigned char u = static_cast<unsigned char>(*c);
    if (u == '=' || u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

void AppendScanned(const char *path) {
  char *copy = strdup(path);
  if (copy == nullptr) return;  // tried again at the next period
  P_LOGFILE_LIST node = LogFileNew(copy);
  if (node == nullptr) {
    std::free(copy);
    return;
  }
  node->no_follow = true;
  P_LOGFILE_LIST head = LogFileList.load(std::memory_order_acquire);
  if (head == nullptr)
    LogFileList.store(node, std::memory_order_release);
  else
    LogFileAdd(head, node);
}

}  // namespace

void LogDirectoryProcess(P_LOGDIR_LIST vkp) {
  if (vkp == nullptr || vkp->log_dir == nullptr) return;
  veld::DirPtr dir(opendir(vkp->log_dir));
  if (!dir) return;
  TailedIndex &tailed = Tailed();
  tailed.CatchUp();

  while (struct dirent *de = readdir(dir.get())) {
    const char *name = de->d_name;
    if (veld_stricmp(name, ".") == 0 || veld_stricmp(name, "..") == 0) continue;
    if (std::strstr(name, "_hlr_") != nullptr) continue;
    if (!SafeScannedName(name)) continue;
    if (!IsRegularEntry(dir.get(), de)) continue;
    char path[kScanPath + 1];
    std::snprintf(path, kScanPath, "%s/%s", vkp->log_dir, name);
    if (tailed.paths.find(std::string_view(path)) != tailed.paths.end()) continue;
    Log(3, kMsgFileDiscovered, path);
    AppendScanned(path);
    tailed.CatchUp();
  }
}

void LogDirectoryScanPass() {
  for (P_LOGDIR_LIST d = LogDirectoryList.load(std::memory_order_acquire); d != nullptr;
       d = d->next.load(std::memory_order_acquire))
    LogDirectoryProcess(d);
}

void *LogDirectoryThread(void *) {
  P_LOGDIR_LIST head = LogDirectoryList.load(std::memory_order_acquire);
  if (head != nullptr) {
    for (P_LOGDIR_LIST d = head; d != nullptr; d = d->next.load(std::memory_order_acquire))
      Log(3, kMsgDirectoryFound, d->log_dir);
  } else {
    while (LogDirectoryList.load(std::memory_order_acquire) == nullptr) veld_sleep(kScanPause);
  }
  for (;;) {
    LogDirectoryScanPass();
    veld_sleep(kScanPause);
  }
}
