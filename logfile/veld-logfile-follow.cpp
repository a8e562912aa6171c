// veld-logfile-follow: following a tailed file when other tools move it.
// The path may lead to another file than the one last read (a rotation
// renamed the old one away, and maybe created whole files in between), or
// the file may have been emptied or rewritten under the offset (a
// copy-and-truncate, or our own rotation before a crash).  The unsent rest of
// the old file, and every file that lived at the path in between, are queued
// and sent before the file the path leads to now.
//
// The lines not read yet are then in a sibling of the file, found by its
// identity (a rename keeps it), by the bytes just before our offset (a copy
// keeps them), or, for files that lived between two looks, by being born
// after the one we knew.  Only siblings that could hold the file's lines are
// considered: regular files with one name (or in a directory only root and
// the file's owner can write), owned by the file's owner or by root, whose
// names begin with the file's name.

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "veld-config-unix.h"
#include "veld-logfile-follow.h"
#include "veld-logfile-readers.h"
#include "veld-logfile-rotate.h"

namespace logfile {

namespace {

constexpr char kMsgRestLost[] =
    "The unsent end of log file %s was moved away and could not be found again";
constexpr size_t kMaxBetween = 16;  // files found between two looks, at most
constexpr rlim_t kSpareFds = 64;    // descriptors never used for holding files open

// Files held open between passes, and how many may be; tailer only.
struct Holds {
  size_t held = 0;
  size_t may = 0;
};
Holds g_holds;

// Lists `dir` afresh; null when it cannot be listed.
veld::DirPtr List(int dir) {
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  veld::DirPtr d(fdopendir(fd));
  if (!d) close(fd);
  return d;
}

// Opens the entry `name` of `dir` for reading when it is a regular file that
// may hold the lines of a file owned by `owner`; *st receives its status.
veld::UniqueFd OpenSibling(int dir, const struct stat &dir_st, const char *name, uid_t owner,
                           struct stat *st) {
  veld::UniqueFd fd(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.ok() || fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode) ||
      (st->st_uid != owner && st->st_uid != 0) ||
      (st->st_nlink > 1 && OthersCanAddNames(dir_st, owner)))
    return veld::UniqueFd();
  return fd;
}

// Whether `entry` names a sibling of `name`: it begins with it and goes on.
bool Sibling(const char *entry, const char *name) {
  size_t n = std::strlen(name);
  return std::strncmp(entry, name, n) == 0 && entry[n] != '\0';
}

veld::UniqueFd FindByIdentity(int dir, FileId id, uint64_t offset, const Fingerprint &fp) {
  veld::DirPtr d = List(dir);
  if (!d) return veld::UniqueFd();
  while (struct dirent *de = readdir(d.get())) {
    if (de->d_ino != id.ino) continue;
    veld::UniqueFd fd(
        openat(dir, de->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    // The same number may have come back for another file: the bytes before
    // the offset tell.
    if (fd.ok() && fstat(fd.get(), &st) == 0 && IdOf(st) == id && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) >= offset && fp.Matches(fd.get(), offset))
      return fd;
  }
  return veld::UniqueFd();
}

veld::UniqueFd FindCopy(int dir, const char *name, uint64_t offset, const Fingerprint &fp,
                        const Fingerprint &head) {
  struct stat dir_st, live;
  if (fstat(dir, &dir_st) != 0 || fstatat(dir, name, &live, AT_SYMLINK_NOFOLLOW) != 0)
    return veld::UniqueFd();
  veld::DirPtr d = List(dir);
  if (!d) return veld::UniqueFd();
  veld::UniqueFd best;
  statx_timestamp best_birth{};
  while (struct dirent *de = readdir(d.get())) {
    if (!Sibling(de->d_name, name)) continue;
    struct stat st;
    veld::UniqueFd fd = OpenSibling(dir, dir_st, de->d_name, live.st_uid, &st);
    // A copy that holds no more than was read still tells which files came
    // after it.
    if (!fd.ok() || static_cast<uint64_t>(st.st_size) < offset || !fp.Matches(fd.get(), offset) ||
        !head.Matches(fd.get(), head.len))
      continue;
    statx_timestamp birth = BirthOf(fd.get());
    // The youngest copy is the one made last, from the file as we knew it.
    if (!best.ok() || BirthBefore(best_birth, birth)) {
      best = std::move(fd);
      best_birth = birth;
    }
  }
  return best;
}

void FindBetween(int dir, const char *name, const statx_timestamp &after,
                 const std::vector<FileId> &known, std::vector<Earlier> *out) {
  struct stat dir_st, live;
  if (fstat(dir, &dir_st) != 0 || fstatat(dir, name, &live, AT_SYMLINK_NOFOLLOW) != 0) return;
  veld::DirPtr d = List(dir);
  if (!d) return;
  struct Found {
    statx_timestamp birth;
    Earlier e;
  };
  std::vector<Found> found;
  while (struct dirent *de = readdir(d.get())) {
    if (!Sibling(de->d_name, name) || std::strstr(de->d_name, kBackupMark) != nullptr) continue;
    struct stat st;
    veld::UniqueFd fd = OpenSibling(dir, dir_st, de->d_name, live.st_uid, &st);
    if (!fd.ok() || std::find(known.begin(), known.end(), IdOf(st)) != known.end()) continue;
    statx_timestamp birth = BirthOf(fd.get());
    // Birth times are kept to the clock tick: one born in the same tick as
    // the file we knew counts as born after it, unless it was read already.
    if (BirthBefore(birth, after) || ReadWhole(IdOf(st), birth, st.st_size)) continue;
    Found f{birth, Earlier{}};
    f.e.fd = std::move(fd);
    f.e.id = IdOf(st);
    f.e.birth = birth;
    found.push_back(std::move(f));
  }
  std::sort(found.begin(), found.end(),
            [](const Found &a, const Found &b) { return BirthBefore(a.birth, b.birth); });
  if (found.size() > kMaxBetween) found.resize(kMaxBetween);
  for (Found &f : found) out->push_back(std::move(f.e));
}

}  // namespace

void ResetHoldBudget() {
  struct rlimit rl;
  g_holds.may = getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur <= kSpareFds
                    ? 0
                    : static_cast<size_t>(rl.rlim_cur - kSpareFds);
}

void Hold(FileState *fs, veld::UniqueFd fd) {
  if (g_holds.may == 0) ResetHoldBudget();
  if (!fs->fd.ok() && g_holds.held >= g_holds.may) return;
  if (!fs->fd.ok()) ++g_holds.held;
  fs->fd = std::move(fd);
}

veld::UniqueFd Unhold(FileState *fs) {
  if (fs->fd.ok()) --g_holds.held;
  return std::move(fs->fd);
}

void Release(FileState *fs) {
  if (fs->fd.ok()) --g_holds.held;
  fs->fd.close();
}

// Puts a file the path has moved away from in line to be sent, and claims
// it, so a node that finds it again by its new name does not send it too.
void Queue(P_LOGFILE_LIST node, FileState *fs, Earlier e) {
  NoteReader(e.id, e.birth, node, e.offset, e.fp);
  fs->earlier.push_back(std::move(e));
}

namespace {

// The files born at the path after `first` (queued already), up to now.
void QueueBetween(P_LOGFILE_LIST node, FileState *fs, const Target &t, FileId first,
                  const statx_timestamp &born) {
  std::vector<Earlier> found;
  FindBetween(t.dir, t.name, born, {first, IdOf(t.st)}, &found);
  for (Earlier &e : found) Queue(node, fs, std::move(e));
}

// Queues the old file `fd` (identity `id`) from the node's offset, and every
// file born at the path after it.
void QueueMoved(P_LOGFILE_LIST node, FileState *fs, const Target &t, veld::UniqueFd fd, FileId id) {
  Earlier e;
  e.birth = BirthOf(fd.get());
  e.fd = std::move(fd);
  e.id = id;
  e.offset = node->filesize;
  e.fp = fs->fp;
  const statx_timestamp born = e.birth;
  Queue(node, fs, std::move(e));
  QueueBetween(node, fs, t, id, born);
}

// The descriptor of the target's file: the one held, when it is that file,
// or one opened into *opened (-1 when it cannot be).
int TargetFd(const FileState *fs, const Target &t, veld::UniqueFd *opened) {
  // A held descriptor is always that of the file `id`.
  if (fs->fd.ok() && fs->identity_known && fs->id == IdOf(t.st)) return fs->fd.get();
  *opened = OpenTarget(t, O_RDONLY);
  return opened->get();
}

}  // namespace

// The file at the path was emptied or rewritten under the offset: its unsent
// end went into a copy (made by a copy-and-truncate, or by our rotation
// before a crash), and the copies made after it hold whole files.
void LostHead(P_LOGFILE_LIST node, FileState *fs, const Target &t) {
  // Nothing read yet, but the file's first bytes were seen: it was emptied
  // before it could be read, and its copy is looked for all the same.
  if (node->filesize > 0 || fs->head.len > 0) {
    veld::UniqueFd copy = FindCopy(t.dir, t.name, node->filesize, fs->fp, fs->head);
    struct stat st;
    if (copy.ok() && fstat(copy.get(), &st) == 0) {
      QueueMoved(node, fs, t, std::move(copy), IdOf(st));
    } else if (!fs->lost_logged) {
      Log(2, kMsgRestLost, node->log_file);
      fs->lost_logged = true;
    }
  }
  node->filesize = 0;
  fs->fp = Fingerprint{};
  // The first bytes of what the path holds now, taken at once: should it be
  // emptied again before it is read, its copy can still be told.
  fs->head = Fingerprint{};
  veld::UniqueFd opened;
  const int fd = TargetFd(fs, t, &opened);
  if (fd >= 0 && !fs->head.Take(fd, std::min<uint64_t>(static_cast<uint64_t>(t.st.st_size),
                                                       Fingerprint::kBytes)))
    fs->head = Fingerprint{};
}

namespace {

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
    fs->head = Fingerprint{};  // taken again at the next read
  } else if (!keep_offset) {
    node->filesize = 0;
    fs->fp = Fingerprint{};
    fs->head = Fingerprint{};
  } else {
    fs->head = Fingerprint{};  // taken again at the next read
  }
  NoteReader(fs->id, fs->birth, node, node->filesize, fs->fp);
  if (fd.ok()) Hold(fs, std::move(fd));
}

}  // namespace

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
  veld::UniqueFd old = Unhold(fs);
  if (!old.ok()) old = FindByIdentity(t.dir, fs->id, node->filesize, fs->fp);
  if (old.ok()) {
    QueueMoved(node, fs, t, std::move(old), fs->id);
  } else {
    LostHead(node, fs, t);  // looks for a copy by its bytes instead
  }
  Adopt(node, fs, t, false);
}

// Checks, before reading on, that the file still holds what the offset
// was measured in: not shorter, and the same bytes just before it.
void CheckContinuity(P_LOGFILE_LIST node, FileState *fs, const Target &t) {
  const uint64_t size = static_cast<uint64_t>(t.st.st_size), offset = node->filesize;
  if (size == offset || (offset == 0 && fs->head.len == 0)) return;
  bool rewritten = size < offset;
  if (!rewritten && (fs->fp.len > 0 || fs->head.len > 0)) {
    veld::UniqueFd opened;
    const int fd = TargetFd(fs, t, &opened);
    rewritten = fd >= 0 && (!fs->fp.Matches(fd, offset) || !fs->head.Matches(fd, fs->head.len));
  }
  if (rewritten) LostHead(node, fs, t);
}

}  // namespace logfile
