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
#include <cstdio>

#include "veld-config-unix.h"
#include "veld-logfile-internal.h"
#include "veld-logfile.h"
#include "veld-owners.h"

using logfile::RotateResult;
using veld::UniqueFd;

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

bool logfile::BackupName(char *out, const char *live, int k) {
  int n = std::snprintf(out, kNameBuffer, kBackupFormat, live, k);
  return n >= 0 && static_cast<size_t>(n) < kNameBuffer;
}

namespace {

constexpr size_t kCopyBlock = 4096;

enum class CopyResult { kDone, kReadFailed, kWriteFailed };

// Copies one run of data of `in`, [data, stop) or to the end when stop < 0,
// to the same offsets of `out`; *pos receives where it ended.
CopyResult CopyRun(int in, int out, off_t data, off_t stop, off_t *pos) {
  char block[kCopyBlock];
  if (lseek(out, data, SEEK_SET) != data) return CopyResult::kWriteFailed;
  off_t at = data;
  while (stop < 0 || at < stop) {
    size_t want = sizeof block;
    if (stop >= 0 && static_cast<uint64_t>(stop - at) < want) want = static_cast<size_t>(stop - at);
    ssize_t n = pread(in, block, want, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return CopyResult::kReadFailed;
    if (n == 0) break;
    if (full_write(out, block, static_cast<size_t>(n)) != static_cast<size_t>(n))
      return CopyResult::kWriteFailed;
    at += n;
  }
  *pos = at;
  return CopyResult::kDone;
}

// Copies the data of `in` from *pos to its end into the same offsets of
// `out`, and leaves *pos at that end.  Holes are passed over, so they stay
// holes in the copy: a sparse file planted in a watched directory must not
// become terabytes of real blocks owned by the agent.
CopyResult CopyExtents(int in, int out, off_t *pos) {
  for (;;) {
    off_t data = lseek(in, *pos, SEEK_DATA);
    off_t stop = -1;  // end of this run of data; -1: read to the end
    if (data >= 0) {
      stop = lseek(in, data, SEEK_HOLE);
    } else if (errno != ENXIO) {
      data = *pos;  // holes unknown here: copy every byte
    } else {
      // Nothing but a hole from here: it ends where the file ends.
      off_t size = lseek(in, 0, SEEK_END);
      if (size < 0) return CopyResult::kReadFailed;
      if (size > *pos) *pos = size;
      return CopyResult::kDone;
    }
    off_t end = data;
    CopyResult r = CopyRun(in, out, data, stop, &end);
    if (r != CopyResult::kDone) return r;
    *pos = end;
    if (stop < 0 || end < stop) return CopyResult::kDone;  // reached the end of the file
  }
}

// The permission bits a backup of a file with status `st` gets.  A backup
// belongs to the agent: set-id bits of someone else's file would turn a
// planted file into a set-id program of the agent's user.
mode_t BackupMode(const struct stat &st) {
  mode_t mode = st.st_mode & 07777;
  if (st.st_uid != geteuid()) mode &= ~static_cast<mode_t>(S_ISUID);
  if (st.st_gid != getegid()) mode &= ~static_cast<mode_t>(S_ISGID);
  return mode;
}

// Opens the backup D for writing, refusing anything but a regular file with
// one name (a planted link must never carry root's writes elsewhere).
bool OpenBackup(const char *dst, UniqueFd *out) {
  UniqueFd fd(open(dst, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0600));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      ftruncate(fd.get(), 0) != 0)
    return false;
  *out = std::move(fd);
  return true;
}

// Copies S over D and syncs D before the caller may empty S.
// `src_nofollow` refuses a link at S (S is then a backup).  `expect`, when
// given, is the file S must still be: a path that has changed hands since it
// was checked is not copied.
bool CopyFile(const char *src, const char *dst, bool src_nofollow,
              const struct stat *expect = nullptr) {
  UniqueFd in(
      open(src, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (src_nofollow ? O_NOFOLLOW : 0)));
  struct stat st;
  if (!in.ok() || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      (expect != nullptr && !logfile::SameIdentity(st, *expect))) {
    Log(1, logfile::kMsgCopyOpenSource, src);
    return false;
  }
  UniqueFd out;
  if (!OpenBackup(dst, &out)) {
    Log(1, logfile::kMsgCopyOpenBackup, dst);
    return false;
  }
  off_t end = 0;
  CopyResult r = CopyExtents(in.get(), out.get(), &end);
  int read_error = errno;
  fchmod(out.get(), BackupMode(st));  // best effort: the content is what matters
  if (r == CopyResult::kDone && fdatasync(out.get()) != 0) r = CopyResult::kWriteFailed;
  // Lines written while the backup was being synced are taken as well: the
  // caller empties the source right after this returns.
  if (r == CopyResult::kDone) {
    r = CopyExtents(in.get(), out.get(), &end);
    read_error = errno;
  }
  if (r == CopyResult::kDone && ftruncate(out.get(), end) != 0) r = CopyResult::kWriteFailed;
  if (r == CopyResult::kReadFailed) {
    errno = read_error;
    LogErrno(1, "read", logfile::kMsgCopyRead, src);
    return false;
  }
  if (r == CopyResult::kWriteFailed || out.close() != 0) {
    Log(1, logfile::kMsgCopyWrite, dst);
    return false;
  }
  if (in.close() != 0) Log(1, logfile::kMsgCopyCloseSource, src);
  return true;
}

// Empties a backup in place.  Nothing but a regular file with one name is
// truncated, and never through a link.
bool EmptyBackup(const char *path) {
  UniqueFd fd(open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
    return false;
  return ftruncate(fd.get(), 0) == 0;
}

// The first backup number whose name shows nothing, or kBackupSearch.
int FreeBackupNumber(const char *live) {
  char name[logfile::kNameBuffer];
  for (int k = 0; k < logfile::kBackupSearch; ++k) {
    struct stat st;
    logfile::BackupName(name, live, k);
    if (stat(name, &st) != 0) return k;
  }
  return logfile::kBackupSearch;
}

}  // namespace

// The live file is opened for writing before anything moves, so a file that
// cannot be emptied (append-only, immutable, read-only) does not gain a new
// backup at every pass; it is then emptied through that same descriptor, so
// what is emptied is the file that was copied.
RotateResult logfile::RotateLog(const char *live, bool live_nofollow, const struct stat *expect,
                                int *error) {
  *error = 0;
  if (live == nullptr) return RotateResult::kNotRotated;
  char src[kNameBuffer], dst[kNameBuffer];
  // The longest name this rotation may build; a name is never cut short.
  if (!BackupName(dst, live, kBackupSearch)) {
    Log(2, kMsgBackupNameTooLong, live);
    return RotateResult::kNotRotated;
  }
  UniqueFd live_w(
      open(live, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (live_nofollow ? O_NOFOLLOW : 0)));
  struct stat wst;
  if (!live_w.ok() || fstat(live_w.get(), &wst) != 0) {
    *error = errno;
    return RotateResult::kCannotEmpty;
  }
  if (!S_ISREG(wst.st_mode)) {
    *error = EINVAL;
    return RotateResult::kCannotEmpty;
  }
  if (expect != nullptr && !SameIdentity(wst, *expect)) return RotateResult::kNotRotated;

  for (int k = FreeBackupNumber(live); k > 0; --k) {
    BackupName(src, live, k - 1);
    BackupName(dst, live, k);
    // Stop at the first copy that failed: nothing not copied is emptied.
    if (!CopyFile(src, dst, true)) return RotateResult::kNotRotated;
    umask(022);
    EmptyBackup(src);
  }
  BackupName(dst, live, 0);
  if (!CopyFile(live, dst, live_nofollow, &wst)) return RotateResult::kNotRotated;
  umask(022);
  return ftruncate(live_w.get(), 0) == 0 ? RotateResult::kRotated : RotateResult::kNotRotated;
}

int copy_file(const char *src_filename, const char *dest_filename) {
  if (src_filename == nullptr || dest_filename == nullptr) return 0;
  return CopyFile(src_filename, dest_filename, false) ? 1 : 0;
}

int rotate_log(const char *cur_fname) {
  int error;
  return logfile::RotateLog(cur_fname, false, nullptr, &error) == RotateResult::kRotated ? 1 : 0;
}
