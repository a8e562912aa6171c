// veld-logfile-rotate: rotation of a tailed file that has grown past the
// limit.  Numbered "._hlr_" backups beside the live file move one number up,
// the live file's content becomes backup 0, and the live file is emptied in
// place (same inode, owner and mode), so a program that keeps it open goes on
// writing into the same file.
//
// Nothing is emptied before its content is safely in its backup: every copy
// is synced first, and the rotation stops at the first copy that failed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

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
constexpr char kMsgBackupNameTooLong[] =
    "Backup names of log file %s would be too long, not rotating it.";

// A name for the new backup while it is being written: beside the live
// file, holding "_hlr_" so the directory scan never takes it for a log.
bool TempName(char *out, size_t cap, const char *name) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  uint64_t r = static_cast<uint64_t>(getpid()) * 0x9e3779b97f4a7c15ull ^
               static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  char tag[9];
  for (int i = 0; i < 8; ++i, r = r * 6364136223846793005ull + 1442695040888963407ull)
    tag[i] = kAlphabet[(r >> 33) % (sizeof kAlphabet - 1)];
  tag[8] = '\0';
  int n = std::snprintf(out, cap, "%s._hlr_tmp%s", name, tag);
  return n > 0 && static_cast<size_t>(n) < cap;
}

// A new file in `dir`, made by us and by nobody else: O_EXCL refuses any name
// that exists, links included.
bool CreateNew(int dir, const char *name, char *tmp, size_t cap, UniqueFd *out) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    if (!TempName(tmp, cap, name)) return false;
    UniqueFd fd(openat(dir, tmp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.ok()) {
      *out = std::move(fd);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// The first backup number whose name shows nothing at all (a link counts as
// something, dangling or not), or kBackupSearch.
int FreeBackupNumber(int dir, const char *name) {
  char backup[logfile::kNameBuffer];
  for (int k = 0; k < logfile::kBackupSearch; ++k) {
    struct stat st;
    logfile::BackupName(backup, name, k);
    if (fstatat(dir, backup, &st, AT_SYMLINK_NOFOLLOW) != 0) return k;
  }
  return logfile::kBackupSearch;
}

// Moves backups 0..n-1 one number up, from the top, by rename: whatever
// stands under a name moves with it, untouched.
bool ShiftBackups(int dir, const char *name, const char *live_path) {
  char src[logfile::kNameBuffer], dst[logfile::kNameBuffer];
  for (int k = FreeBackupNumber(dir, name); k > 0; --k) {
    logfile::BackupName(src, name, k - 1);
    logfile::BackupName(dst, name, k);
    if (renameat(dir, src, dir, dst) != 0) {
      Log(2, kMsgRotateFailed, live_path);
      LogErrno(2, "renameat", kMsgRotateStep, live_path);
      return false;
    }
  }
  return true;
}

}  // namespace

bool logfile::RotateLog(int dir, const char *name, int live_rd, int live_wr,
                        const struct stat &live, UniqueFd *backup0) {
  char tmp[kNameBuffer], backup[kNameBuffer];
  BackupName(backup, name, 0);
  UniqueFd out;
  if (!CreateNew(dir, name, tmp, sizeof tmp, &out)) {
    Log(1, kMsgCopyOpenBackup, backup);
    LogErrno(1, "openat", kMsgRotateStep, name);
    return false;
  }
  const char *call = "";
  if (CopyBackup(live_rd, out.get(), live, true, &call) != CopyResult::kDone) {
    Log(1, kMsgCopyWrite, backup);
    LogErrno(1, call, kMsgRotateStep, name);
    unlinkat(dir, tmp, 0);
    return false;
  }
  if (!ShiftBackups(dir, name, name)) {
    unlinkat(dir, tmp, 0);
    return false;
  }
  if (renameat(dir, tmp, dir, backup) != 0) {
    LogErrno(2, "renameat", kMsgRotateStep, name);
    unlinkat(dir, tmp, 0);
    return false;
  }
  umask(022);
  if (ftruncate(live_wr, 0) != 0) {
    Log(2, kMsgRotateFailed, name);
    LogErrno(2, "ftruncate", kMsgRotateStep, name);
    return false;
  }
  *backup0 = std::move(out);
  return true;
}

bool logfile::BackupNamesFit(const char *live_path) {
  char longest[kNameBuffer];
  if (BackupName(longest, live_path, kBackupSearch)) return true;
  Log(2, kMsgBackupNameTooLong, live_path);
  return false;
}

int rotate_log(const char *cur_fname) {
  if (cur_fname == nullptr) return 0;
  std::string_view dirpath;
  const char *name;
  logfile::SplitPath(cur_fname, &dirpath, &name);
  if (*name == '\0' || !logfile::BackupNamesFit(cur_fname)) return 0;
  UniqueFd dir(open(std::string(dirpath).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  UniqueFd rd(open(cur_fname, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  UniqueFd wr(open(cur_fname, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st, wst;
  if (!dir.ok() || !rd.ok() || !wr.ok() || fstat(rd.get(), &st) != 0 ||
      fstat(wr.get(), &wst) != 0 || !S_ISREG(st.st_mode) || !logfile::SameIdentity(st, wst))
    return 0;
  UniqueFd backup0;
  return logfile::RotateLog(dir.get(), name, rd.get(), wr.get(), st, &backup0) ? 1 : 0;
}
