// veld-logfile-copy: copying a file's data into another at the same offsets,
// holes kept, at the speed of the disk, and making the copy durable: one
// sequence for the rotation's backups and for copy_file, which reaches both
// files under the rule of veld-logfile-path.h.

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

constexpr char kMsgCopyOpenSource[] = "error while opening \"%s\" for reading";
constexpr char kMsgCopyOpenBackup[] = "cannot open backup file \"%s\" for writing";
constexpr char kMsgCopyRead[] = "error reading \"%s\"";
constexpr char kMsgCopyWrite[] = "error writing \"%s\"";
constexpr char kMsgCopyCloseSource[] = "error after reading \"%s\"";

// Blocks of the copy where the kernel cannot copy between the files itself.
constexpr size_t kCopyBlock = 1 << 16;

bool WriteSide(int err) { return err == ENOSPC || err == EDQUOT || err == EFBIG || err == EROFS; }

// [at, stop) of `in` (stop < 0: to its end) to the same offsets of `out`
// through a buffer; *pos receives where it ended.
CopyResult CopyThroughBuffer(int in, int out, off_t at, off_t stop, off_t *pos, const char **call) {
  std::unique_ptr<char[]> block(new (std::nothrow) char[kCopyBlock]);
  *call = block ? "lseek" : "malloc";
  if (!block || lseek(out, at, SEEK_SET) != at) return CopyResult::kWriteFailed;
  while (stop < 0 || at < stop) {
    size_t want = kCopyBlock;
    if (stop >= 0 && static_cast<uint64_t>(stop - at) < want) want = static_cast<size_t>(stop - at);
    ssize_t n = pread(in, block.get(), want, at);
    if (n < 0 && errno == EINTR) continue;
    *call = "pread";
    if (n < 0) return CopyResult::kReadFailed;
    if (n == 0) break;
    *call = "write";
    if (full_write(out, block.get(), static_cast<size_t>(n)) != static_cast<size_t>(n))
      return CopyResult::kWriteFailed;
    at += n;
  }
  *pos = at;
  return CopyResult::kDone;
}

// Copies one run of data of `in`, [data, stop) or to the end when stop < 0,
// to the same offsets of `out`; *pos receives where it ended.  The kernel
// copies between the files itself where it can (and may share the blocks,
// on file systems that can), so the copy costs what the disk does.
CopyResult CopyRun(int in, int out, off_t data, off_t stop, off_t *pos, const char **call) {
  loff_t from = data, to = data;
  while (stop < 0 || from < stop) {
    size_t want = stop < 0 ? (size_t{1} << 30) : static_cast<size_t>(stop - from);
    ssize_t n = copy_file_range(in, &from, out, &to, want, 0);
    if (n > 0) continue;
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)
      return CopyThroughBuffer(in, out, from, stop, pos, call);
    *call = "copy_file_range";
    return WriteSide(errno) ? CopyResult::kWriteFailed : CopyResult::kReadFailed;
  }
  *pos = from;
  return CopyResult::kDone;
}

}  // namespace

// Copies the data of `in` from *pos to its end into the same offsets of
// `out`, and leaves *pos at that end.  Holes are passed over, so they stay
// holes in the copy: a sparse file planted in a watched directory must not
// become terabytes of real blocks owned by the agent.
CopyResult logfile::CopyExtents(int in, int out, off_t *pos, const char **call) {
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
      *call = "lseek";
      if (size < 0) return CopyResult::kReadFailed;
      if (size > *pos) *pos = size;
      return CopyResult::kDone;
    }
    off_t end = data;
    CopyResult r = CopyRun(in, out, data, stop, &end, call);
    if (r != CopyResult::kDone) return r;
    *pos = end;
    if (stop < 0 || end < stop) return CopyResult::kDone;  // reached the end of the file
  }
}

// The permission bits a backup of a file with status `st` gets.  A backup
// belongs to the agent: set-id bits of someone else's file would turn a
// planted file into a set-id program of the agent's user.
namespace {

mode_t BackupMode(const struct stat &st) {
  mode_t mode = st.st_mode & 07777;
  if (st.st_uid != geteuid()) mode &= ~static_cast<mode_t>(S_ISUID);
  if (st.st_gid != getegid()) mode &= ~static_cast<mode_t>(S_ISGID);
  return mode;
}

}  // namespace

CopyResult logfile::CopyBackup(int in, int out, const struct stat &st, bool give_owner,
                               const char **call) {
  off_t end = 0;
  CopyResult r = CopyExtents(in, out, &end, call);
  if (r != CopyResult::kDone) return r;
  // Best effort: the content is what matters.
  if (give_owner) (void)!fchown(out, st.st_uid, st.st_gid);
  fchmod(out, BackupMode(st));
  *call = "fdatasync";
  if (fdatasync(out) != 0) return CopyResult::kWriteFailed;
  r = CopyExtents(in, out, &end, call);
  if (r != CopyResult::kDone) return r;
  *call = "ftruncate";
  return ftruncate(out, end) == 0 ? CopyResult::kDone : CopyResult::kWriteFailed;
}

namespace {

// Opens the source S, reached under the rule of veld-logfile-path.h (a
// symlink is followed); *st receives its status.
bool OpenSource(const char *src, UniqueFd *in, struct stat *st) {
  Resolution r;
  if (Resolve(src, &r) != Reach::kOk || !MayTouch(r.way, r.dir_st, r.st)) return false;
  UniqueFd fd(
      openat(r.dir.get(), r.name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  if (!fd.ok() || fstat(fd.get(), st) != 0 || !SameIdentity(*st, r.st)) return false;
  *in = std::move(fd);
  return true;
}

// Opens the backup D for writing.  What S holds may go only where nobody
// but root and S's owner `owner` controls the way, and only into a regular
// file with one name that belongs to one of them: a planted file must never
// receive root's writes, or carry them elsewhere.
bool OpenBackup(const char *dst, uid_t owner, UniqueFd *out) {
  std::string_view dirpath;
  const char *name;
  SplitPath(dst, &dirpath, &name);
  ReachedDir dir;
  if (*name == '\0' || ReachDirectory(std::string(dirpath).c_str(), O_PATH, &dir) != Reach::kOk ||
      !dir.way.Allows(owner))
    return false;
  UniqueFd fd(openat(dir.fd.get(), name,
                     O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0600));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      (st.st_uid != 0 && st.st_uid != owner))
    return false;
  Way way = dir.way;
  way.Name(dir.st, st);  // in a sticky directory, the owner of an existing D
  if (!way.Allows(owner) || ftruncate(fd.get(), 0) != 0) return false;
  *out = std::move(fd);
  return true;
}

// Copies S over D and syncs D before the caller may empty S.
bool CopyFile(const char *src, const char *dst) {
  UniqueFd in;
  struct stat st;
  if (!OpenSource(src, &in, &st)) {
    Log(1, kMsgCopyOpenSource, src);
    return false;
  }
  UniqueFd out;
  if (!OpenBackup(dst, st.st_uid, &out)) {
    Log(1, kMsgCopyOpenBackup, dst);
    return false;
  }
  const char *call = "";
  CopyResult r = CopyBackup(in.get(), out.get(), st, false, &call);
  if (r == CopyResult::kReadFailed) {
    LogErrno(1, call, kMsgCopyRead, src);
    return false;
  }
  if (r == CopyResult::kWriteFailed || out.close() != 0) {
    Log(1, kMsgCopyWrite, dst);
    return false;
  }
  if (in.close() != 0) Log(1, kMsgCopyCloseSource, src);
  return true;
}

}  // namespace

int copy_file(const char *src_filename, const char *dest_filename) {
  if (src_filename == nullptr || dest_filename == nullptr) return 0;
  return CopyFile(src_filename, dest_filename) ? 1 : 0;
}
