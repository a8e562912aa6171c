// veld-logfile-siblings: finding the lines of a tailed file after other tools
// have moved it.  A rotation renames the file (and may create, between two
// of our looks, whole files that then move on too), or copies it and
// empties it in place; our own rotation copies it into a backup.  The lines
// we had not read yet are then in a sibling of the file, which is found by
// its identity (a rename keeps it), by the bytes just before our offset (a
// copy keeps them), or, for files that lived between two looks, by being
// born after the one we knew.
//
// Only siblings that could hold the file's lines are considered: regular
// files with one name (or in a directory only root and the file's owner can
// write), owned by the file's owner or by root, whose names begin with the
// file's name.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "veld-logfile-internal.h"

namespace logfile {

namespace {

constexpr size_t kMaxBetween = 16;    // files found between two looks, at most
constexpr size_t kMaxReaders = 4096;  // files no longer tailed whose last reader is remembered

bool BirthBefore(const statx_timestamp &a, const statx_timestamp &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

bool SameBirth(const statx_timestamp &a, const statx_timestamp &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

statx_timestamp BirthIn(const struct statx &sx) {
  return (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime;
}

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

struct IdHash {
  size_t operator()(const FileId &id) const {
    return std::hash<uint64_t>{}(static_cast<uint64_t>(id.ino) * 1000003u ^
                                 static_cast<uint64_t>(id.dev));
  }
};

struct Reader {
  P_LOGFILE_LIST node;
  statx_timestamp birth;
  uint64_t offset;
  Fingerprint fp;  // an inode number may come back for another file: these bytes tell
};

// The last reader of each file, tailer only; the oldest are forgotten first.
struct Readers {
  std::unordered_map<FileId, Reader, IdHash> map;
  std::deque<FileId> order;
};

Readers &TheReaders() {
  static Readers r;
  return r;
}

// Whether some node has read the file to its end.
bool ReadWhole(FileId id, const statx_timestamp &birth, off_t size) {
  Readers &r = TheReaders();
  auto it = r.map.find(id);
  return it != r.map.end() && SameBirth(it->second.birth, birth) &&
         it->second.offset >= static_cast<uint64_t>(size);
}

}  // namespace

statx_timestamp BirthOf(int fd) {
  struct statx sx {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME | STATX_CTIME, &sx) != 0) return statx_timestamp{};
  return BirthIn(sx);
}

statx_timestamp BirthAt(int dir, const char *name) {
  struct statx sx {};
  if (statx(dir, name, AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_CTIME, &sx) != 0)
    return statx_timestamp{};
  return BirthIn(sx);
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

void NoteReader(FileId id, const statx_timestamp &birth, P_LOGFILE_LIST node, uint64_t offset,
                const Fingerprint &fp) {
  Readers &r = TheReaders();
  auto [it, added] = r.map.insert_or_assign(id, Reader{node, birth, offset, fp});
  (void)it;
  if (!added) return;
  r.order.push_back(id);
  if (r.order.size() <= kMaxReaders) return;
  // The oldest entry goes, unless its file is still the one its path leads
  // to: every tailed file stays known however many there are, or an idle
  // pass over more files than the bound would forget and re-learn them all.
  const FileId oldest = r.order.front();
  r.order.pop_front();
  auto o = r.map.find(oldest);
  if (o == r.map.end()) return;
  const FileState *s = o->second.node->state;
  if (s != nullptr && s->identity_known && s->id == oldest)
    r.order.push_back(oldest);
  else
    r.map.erase(o);
}

bool TakeOver(FileId id, const statx_timestamp &birth, int fd, P_LOGFILE_LIST node,
              uint64_t *offset, Fingerprint *fp) {
  Readers &r = TheReaders();
  auto it = r.map.find(id);
  if (it == r.map.end() || it->second.node == node || !SameBirth(it->second.birth, birth))
    return false;
  const FileState *other = it->second.node->state;
  // Two paths that lead to the same file are both read; only a file the
  // other path has moved away from changes hands.
  if (other != nullptr && other->identity_known && other->id == id) return false;
  if (!it->second.fp.Matches(fd, it->second.offset)) return false;
  *offset = it->second.offset;
  *fp = it->second.fp;
  it->second.node = node;
  return true;
}

bool IsReader(FileId id, const statx_timestamp &birth, P_LOGFILE_LIST node) {
  Readers &r = TheReaders();
  auto it = r.map.find(id);
  return it == r.map.end() || it->second.node == node || !SameBirth(it->second.birth, birth);
}

}  // namespace logfile
