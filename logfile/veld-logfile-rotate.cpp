// veld-logfile-rotate: rotation of a tailed file that has grown past the
// limit.  Numbered "._hlr_" backups beside the live file move one number up,
// the live file's content becomes backup 0, and the live file is emptied in
// place (same inode, owner and mode), so a program that keeps it open goes on
// writing into the same file.
//
// The backups move first, so that the copy and the emptying follow each
// other at once: a program appending meanwhile loses nothing but what it
// writes between the copy's last read and the emptying.  Nothing is emptied
// before its content is safely in its backup: the copy is synced first, and
// the rotation stops at the first step that failed.  Names beside the live
// file that the agent did not make cannot stop it: whatever stands at a
// backup number moves up with its name, never opened, and a directory there
// is passed over.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "veld-config-unix.h"
#include "veld-logfile-identity.h"
#include "veld-logfile-path.h"
#include "veld-logfile-rotate.h"
#include "veld-logfile.h"
#include "veld-owners.h"

using namespace logfile;
using veld::UniqueFd;

bool logfile::BackupName(char *out, const char *live, int k) {
  int n = std::snprintf(out, kNameBuffer, kBackupFormat, live, k);
  return n >= 0 && static_cast<size_t>(n) < kNameBuffer;
}

namespace {

constexpr char kMsgCopyOpenBackup[] = "cannot open backup file \"%s\" for writing";
constexpr char kMsgCopyWrite[] = "error writing \"%s\"";
constexpr char kMsgRotateFailed[] = "Log file %s was not rotated";
constexpr char kMsgRotateStep[] = "Rotation of log file %s stopped";
constexpr char kMsgNoBackupNumber[] =
    "Rotation of log file %s stopped: a directory stands at every backup number";
constexpr char kMsgBackupNameTooLong[] =
    "Backup names of log file %s would be too long, not rotating it.";
constexpr char kMsgTemporaryRemoved[] = "Removed %s/%s, left by a rotation that did not end";
constexpr char kMsgSweepFailed[] = "Leftovers of rotations in %s were not removed";

// A temporary's name: the mark, then kTempTag letters or digits.
constexpr char kTempMark[] = "._hlr_tmp";
constexpr size_t kTempMarkLen = sizeof kTempMark - 1;
constexpr size_t kTempTag = 8;
constexpr char kTempAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kSaidMax = 256;  // refusals said once, at most; past that, in silence

// Whether the refusal `msg` about `live_path` is said for the first time: a
// condition that lasts is said once, not every pass.
bool FirstTime(const char *msg, const char *live_path) {
  static std::mutex mu;
  static std::unordered_set<std::string> said;  // bounded by kSaidMax
  std::lock_guard<std::mutex> lock(mu);
  return said.size() < kSaidMax && said.insert(std::string(msg) + live_path).second;
}

// A name for the new backup while it is being written: beside the live
// file, of the same length whatever the live file's name, holding "_hlr_"
// so the directory scan never takes it for a log, and not beginning with
// the live file's name, so no search for its copies meets it.
void TempName(char (&out)[kTempMarkLen + kTempTag + 1]) {
  uint64_t r = static_cast<uint64_t>(getpid()) * 0x9e3779b97f4a7c15ull ^
               static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::memcpy(out, kTempMark, kTempMarkLen);
  for (size_t i = 0; i < kTempTag; ++i, r = r * 6364136223846793005ull + 1442695040888963407ull)
    out[kTempMarkLen + i] = kTempAlphabet[(r >> 33) % (sizeof kTempAlphabet - 1)];
  out[kTempMarkLen + kTempTag] = '\0';
}

// A new file in `dir`, made by us and by nobody else: O_EXCL refuses any name
// that exists, links included.
bool CreateNew(int dir, char (&tmp)[kTempMarkLen + kTempTag + 1], UniqueFd *out) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    TempName(tmp);
    UniqueFd fd(openat(dir, tmp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.ok()) {
      *out = std::move(fd);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// The numbers the backups move through, lowest first: from 0 up to the
// first whose name shows nothing (a status that cannot be read counts as
// nothing), or every number up to kBackupSearch, whose content then goes.
// A directory cannot be renamed over, so its number is passed over.
std::vector<int> BackupSlots(int dir, const char *name) {
  std::vector<int> slots;
  char backup[kNameBuffer];
  for (int k = 0; k <= kBackupSearch; ++k) {
    struct stat st;
    BackupName(backup, name, k);
    if (fstatat(dir, backup, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      slots.push_back(k);
      break;
    }
    if (!S_ISDIR(st.st_mode)) slots.push_back(k);
  }
  return slots;
}

// Moves each backup to the next slot, from the top, by rename: whatever
// stands under a name moves with it, untouched.
bool ShiftBackups(int dir, const char *name, const std::vector<int> &slots, const char *live_path) {
  char src[kNameBuffer], dst[kNameBuffer];
  for (size_t i = slots.size() - 1; i > 0; --i) {
    BackupName(src, name, slots[i - 1]);
    BackupName(dst, name, slots[i]);
    if (renameat(dir, src, dir, dst) != 0) {
      Log(2, kMsgRotateFailed, live_path);
      LogErrno(2, "renameat", kMsgRotateStep, live_path);
      return false;
    }
  }
  return true;
}

// Copies the live file into the new file `out`, named `tmp`, and renames it
// to `backup`; the temporary is gone on failure.
bool CopyIntoPlace(int dir, int live_rd, const struct stat &live, int out, const char *tmp,
                   const char *backup, const char *backup_path, const char *live_path) {
  const char *call = "";
  if (CopyBackup(live_rd, out, live, true, &call) != CopyResult::kDone) {
    Log(1, kMsgCopyWrite, backup_path);
    LogErrno(1, call, kMsgRotateStep, live_path);
    unlinkat(dir, tmp, 0);
    return false;
  }
  if (renameat(dir, tmp, dir, backup) != 0) {
    LogErrno(2, "renameat", kMsgRotateStep, live_path);
    unlinkat(dir, tmp, 0);
    return false;
  }
  return true;
}

}  // namespace

bool logfile::RotateLog(int dir, const char *live_path, int live_rd, int live_wr,
                        const struct stat &live, UniqueFd *backup0) {
  std::string_view dirpath;
  const char *name;
  SplitPath(live_path, &dirpath, &name);
  const std::vector<int> slots = BackupSlots(dir, name);
  if (slots.empty()) {
    if (FirstTime(kMsgNoBackupNumber, live_path)) Log(2, kMsgNoBackupNumber, live_path);
    return false;
  }
  char backup[kNameBuffer], backup_path[kNameBuffer], tmp[kTempMarkLen + kTempTag + 1];
  BackupName(backup, name, slots[0]);
  BackupName(backup_path, live_path, slots[0]);
  UniqueFd out;
  if (!CreateNew(dir, tmp, &out)) {
    Log(1, kMsgCopyOpenBackup, backup_path);
    LogErrno(1, "openat", kMsgRotateStep, live_path);
    return false;
  }
  if (!ShiftBackups(dir, name, slots, live_path)) {
    unlinkat(dir, tmp, 0);
    return false;
  }
  if (!CopyIntoPlace(dir, live_rd, live, out.get(), tmp, backup, backup_path, live_path))
    return false;
  umask(022);
  if (ftruncate(live_wr, 0) != 0) {
    Log(2, kMsgRotateFailed, live_path);
    LogErrno(2, "ftruncate", kMsgRotateStep, live_path);
    return false;
  }
  *backup0 = std::move(out);
  return true;
}

bool logfile::BackupNamesFit(const char *live_path) {
  std::string_view dirpath;
  const char *name;
  SplitPath(live_path, &dirpath, &name);
  char longest[kNameBuffer];
  if (BackupName(longest, live_path, kBackupSearch) &&
      std::strlen(longest) - static_cast<size_t>(name - live_path) <= NAME_MAX)
    return true;
  if (FirstTime(kMsgBackupNameTooLong, live_path)) Log(2, kMsgBackupNameTooLong, live_path);
  return false;
}

bool logfile::IsRotationTemporary(const char *name) {
  const size_t n = std::strlen(name);
  if (n < kTempMarkLen + kTempTag) return false;
  const char *tag = name + n - kTempTag;
  for (size_t i = 0; i < kTempTag; ++i)
    if (std::strchr(kTempAlphabet, tag[i]) == nullptr) return false;
  return std::memcmp(tag - kTempMarkLen, kTempMark, kTempMarkLen) == 0;
}

void logfile::SweepTemporaries(int dir, const char *path) {
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  veld::DirPtr d(fd >= 0 ? fdopendir(fd) : nullptr);
  if (!d) {
    if (fd >= 0) close(fd);
    LogErrno(2, "opendir", kMsgSweepFailed, path);
    return;
  }
  while (struct dirent *de = readdir(d.get())) {
    struct stat st;
    if (!IsRotationTemporary(de->d_name) ||
        fstatat(dirfd(d.get()), de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    // unlinkat removes the name itself, whatever stands there by now.
    if (unlinkat(dirfd(d.get()), de->d_name, 0) == 0)
      Log(3, kMsgTemporaryRemoved, path, de->d_name);
  }
}

int rotate_log(const char *cur_fname) {
  if (cur_fname == nullptr) return 0;
  std::string_view dirpath;
  const char *name;
  SplitPath(cur_fname, &dirpath, &name);
  if (*name == '\0' || !BackupNamesFit(cur_fname)) return 0;
  // Reached as the tailer reaches it, under the same rule.
  ReachedDir dir;
  struct stat st, wst;
  if (ReachDirectory(std::string(dirpath).c_str(), O_PATH, &dir) != Reach::kOk ||
      fstatat(dir.fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !MayTouch(dir.way, dir.st, st))
    return 0;
  const int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;
  UniqueFd rd(openat(dir.fd.get(), name, O_RDONLY | flags));
  UniqueFd wr(openat(dir.fd.get(), name, O_WRONLY | flags));
  if (!rd.ok() || !wr.ok() || fstat(rd.get(), &wst) != 0 || !SameIdentity(st, wst) ||
      fstat(wr.get(), &wst) != 0 || !SameIdentity(st, wst))
    return 0;
  UniqueFd backup0;
  return RotateLog(dir.fd.get(), cur_fname, rd.get(), wr.get(), st, &backup0) ? 1 : 0;
}
