// veld-logfile-tail: the tailer.  It walks the tailed-file list over and
// over; for each file it reads what has been appended since the stored
// offset, sends every line as one record, advances the offset, and rotates a
// file that has grown past the limit.  After each pass it saves the offsets
// in the position file and sleeps.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "veld-config-unix.h"
#include "veld-logfile-internal.h"
#include "veld-logfile.h"
#include "veld-owners.h"

using namespace logfile;

// Extensions of compressed and binary files, which are never read.
const char *const IgnoreList[] = {"gz", "bz2", "exe", "sys", nullptr};

namespace {

uint64_t RotationLimit() {
  const char *v = CfgHashGet(kCfgLogRotationSize);
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

// What the path of a node leads to, once it was found fit to read.
struct Target {
  struct stat st;  // the file itself
  bool via_link;   // reached through a configured link
};

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

// Finds the file behind the node's path and decides whether it may be read:
// it must exist, not have an ignored extension, be a regular file, and a
// configured link is followed only when the agent's own user made it or
// whoever made it also owns the file it leads to (a link planted by a user
// of the log's directory towards someone else's file would have the agent
// send that file away and empty it).  Refusals are said once.
bool FindTarget(P_LOGFILE_LIST node, const char *path, Target *t) {
  // A file that has gone is said once, not every ten seconds for ever: the
  // agent's own log is never rotated.
  if (!FileExists(path)) {
    if (!node->missing_logged) Log(2, kMsgFileMissing, path);
    node->missing_logged = true;
    return false;
  }
  node->missing_logged = false;
  if (IgnoredExtension(path)) return false;

  struct stat lst;
  if (lstat(path, &lst) != 0) {
    Log(2, kMsgFileOpenFailed, path);
    return false;
  }
  t->via_link = S_ISLNK(lst.st_mode) && !node->no_follow;
  t->st = lst;
  if (t->via_link && stat(path, &t->st) != 0) {
    Log(2, kMsgFileOpenFailed, path);
    return false;
  }
  // Opening a pipe or a device would stall the tailer, and a link found by
  // the scan could lead anywhere on the host.
  if (!S_ISREG(t->st.st_mode)) {
    if (!node->nonregular_logged) Log(2, kMsgFileNotRegular, path);
    node->nonregular_logged = true;
    return false;
  }
  if (t->via_link && lst.st_uid != geteuid() && lst.st_uid != t->st.st_uid) {
    if (!node->unsafe_logged) Log(2, kMsgLinkRefused, path);
    node->unsafe_logged = true;
    return false;
  }
  node->unsafe_logged = false;
  return true;
}

// Reads what the file gained since the node's offset and sends it.  Only
// what the file held when it was opened is read; the rest waits for the
// next pass.  A path that has changed hands since FindTarget is left for the
// next pass to look at again: false then.
bool ReadNewLines(P_LOGFILE_LIST node, const char *path, const Target &t, PassStamp *stamp) {
  veld::UniqueFd fd(
      open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (t.via_link ? 0 : O_NOFOLLOW)));
  struct stat fst;
  if (!fd.ok() || fstat(fd.get(), &fst) != 0 || !S_ISREG(fst.st_mode)) {
    Log(2, kMsgFileOpenFailed, path);
    return true;
  }
  if (!SameIdentity(fst, t.st)) return false;
  NoteIdentity(node, fst);  // the file may have shrunk since it was looked at
  if (node->filesize > static_cast<uint64_t>(INT64_MAX) ||
      lseek(fd.get(), static_cast<off_t>(node->filesize), SEEK_SET) == static_cast<off_t>(-1)) {
    Log(2, kMsgFileSeekFailed, path);
    return true;
  }
  const uint64_t at_open = static_cast<uint64_t>(fst.st_size);
  node->filesize +=
      SendRecords(fd.get(), stamp->Get(), at_open > node->filesize ? at_open - node->filesize : 0);
  return true;
}

// A rotation copies the live file as it is at that moment, which may be more
// than this pass read: lines written in between went into the newest backup
// only, and the emptied live file no longer has them.  They are sent from
// the backup, from the offset the live file was read to.
void SendRotatedRest(const char *live, uint64_t offset, PassStamp *stamp) {
  char name[kNameBuffer];
  if (!BackupName(name, live, 0) || offset > static_cast<uint64_t>(INT64_MAX)) return;
  veld::UniqueFd fd(open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) <= offset)
    return;
  if (lseek(fd.get(), static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1))
    SendRecords(fd.get(), stamp->Get(), UINT64_MAX);
}

// Rotates a file whose size, as looked at before reading, is over the
// limit.  Tried again every pass, in case it has become possible, but a file
// that cannot be emptied is said once.
void RotateIfOver(P_LOGFILE_LIST node, const char *path, const Target &t, PassStamp *stamp) {
  const uint64_t size = static_cast<uint64_t>(t.st.st_size);
  const uint64_t limit = RotationLimit();
  if (size <= limit) return;
  if (!node->unemptiable_logged) Log(3, kMsgRotating, size, path, limit);
  int error = 0;
  RotateResult rotated = RotateLog(path, !t.via_link, &t.st, &error);
  if (rotated == RotateResult::kRotated) {
    SendRotatedRest(path, node->filesize, stamp);
    node->filesize = 0;
  }
  if (rotated == RotateResult::kCannotEmpty && !node->unemptiable_logged) {
    errno = error;
    LogErrno(2, "open", kMsgCannotEmpty, path);
  }
  node->unemptiable_logged = rotated == RotateResult::kCannotEmpty;
}

}  // namespace

void LogFileProcess(P_LOGFILE_LIST vkp) {
  if (vkp == nullptr || vkp->log_file == nullptr) return;
  const char *path = vkp->log_file;
  Target t;
  if (!FindTarget(vkp, path, &t)) return;
  NoteIdentity(vkp, t.st);
  PassStamp stamp;
  // A file that shows nothing new is not opened at all.
  if (static_cast<uint64_t>(t.st.st_size) != vkp->filesize && !ReadNewLines(vkp, path, t, &stamp))
    return;
  RotateIfOver(vkp, path, t, &stamp);
}

void LogFilePass(const char *watchdog_file) {
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
    LogFileProcess(n);
  if (LogFileWriteWatchdogFile(watchdog_file) != 1)
    Log(2, kMsgPositionsWriteFailed, watchdog_file ? watchdog_file : "(null)");
}

void *LogFileThread(void *) {
  const char *watchdog_file = CfgHashGet(kCfgWatchdogFile);
  LogFileLoadPositions(watchdog_file);
  for (;;) {
    LogFilePass(watchdog_file);
    veld_sleep(kPassPause);
  }
}
