// veld-logfile-follow-find: the directory searches behind following.  The
// lines of a tailed file that were not read yet may be in a sibling of it:
// the old file renamed by a rotation (found by its identity), the copy a
// copy-and-truncate or our own rotation left (found by the bytes before our
// offset and at its start), or whole files that lived at the path between
// two looks (found by being born in between).
//
// Only siblings that could hold the file's lines are considered: regular
// files owned by the live file's owner, with one name (or in a directory
// only root and that owner can write), named as rotation tools name a moved
// file: the live name, then ".", "-" or "_", then digits, in groups that
// ".", "-" or "_" may separate ("app.log.1", "app.log-20261209",
// "app.log-2026-12-09", "app.log.1700000000").  A compressed file never
// qualifies, nor the agent's own files, nor one another node tails.  A copy
// may also be one of our own backups ("app.log._hlr_0").  Entries are
// looked at by status alone; only what is taken is opened.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "veld-logfile-follow.h"
#include "veld-logfile-readers.h"
#include "veld-logfile-rotate.h"

namespace logfile {

namespace {

// Lists `dir` afresh; null when it cannot be listed.
veld::DirPtr List(int dir) {
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  veld::DirPtr d(fdopendir(fd));
  if (!d) close(fd);
  return d;
}

bool Digit(char c) { return c >= '0' && c <= '9'; }
bool Separator(char c) { return c == '.' || c == '-' || c == '_'; }

// "<name><sep><digits>[<sep><digits>...]"
bool RotatedName(const char *entry, const char *name) {
  const size_t n = std::strlen(name);
  if (std::strncmp(entry, name, n) != 0) return false;
  const char *p = entry + n;
  while (Separator(*p) && Digit(p[1])) {
    ++p;
    while (Digit(*p)) ++p;
  }
  return p != entry + n && *p == '\0';
}

// "<name>._hlr_<digits>": our own backup.
bool BackupOf(const char *entry, const char *name) {
  const size_t n = std::strlen(name), m = sizeof "._hlr_" - 1;
  if (std::strncmp(entry, name, n) != 0 || std::strncmp(entry + n, "._hlr_", m) != 0) return false;
  const char *p = entry + n + m;
  if (!Digit(*p)) return false;
  while (Digit(*p)) ++p;
  return *p == '\0';
}

// Whether the sibling with status `st` may hold the lines of the file `t`,
// in the directory with status `dir_st`: the path rule allows it, and it is
// owned as the file is (a user's log is never continued in root's file).
bool Fit(const Target &t, const struct stat &dir_st, const struct stat &st) {
  return st.st_uid == t.st.st_uid && MayTouch(t.way, dir_st, st);
}

// Opens the sibling for reading; it must still be the file `id`.
veld::UniqueFd OpenSibling(int dir, const char *name, const FileId &id) {
  veld::UniqueFd fd(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  FileId now;
  if (!fd.ok() || !StatFd(fd.get(), &st, &now) || !(now == id)) return veld::UniqueFd();
  return fd;
}

// Whether the sibling `entry` of the node's file is a tailed path itself.
bool TailedPath(P_LOGFILE_LIST node, const char *entry) {
  std::string_view dir;
  const char *name;
  SplitPath(node->log_file, &dir, &name);
  std::string path(dir);
  path += '/';
  path += entry;
  return IsTailedPath(path);
}

}  // namespace

veld::UniqueFd FindByIdentity(int dir, const Generation &g) {
  veld::DirPtr d = List(dir);
  if (!d) return veld::UniqueFd();
  while (struct dirent *de = readdir(d.get())) {
    if (de->d_ino != g.id.ino) continue;
    veld::UniqueFd fd = OpenSibling(dir, de->d_name, g.id);
    if (fd.ok() && Confirmed(g.id, g.fp, fd.get(), g.offset)) return fd;
  }
  return veld::UniqueFd();
}

veld::UniqueFd FindCopy(const Target &t, uint64_t offset, const Fingerprint &fp,
                        const Fingerprint &head, FileId *id) {
  const int dir = t.dir;
  const char *name = t.name;
  struct stat dir_st;
  if ((fp.empty() && head.empty()) || fstat(dir, &dir_st) != 0) return veld::UniqueFd();
  veld::DirPtr d = List(dir);
  if (!d) return veld::UniqueFd();
  veld::UniqueFd best;
  while (struct dirent *de = readdir(d.get())) {
    if (!RotatedName(de->d_name, name) && !BackupOf(de->d_name, name)) continue;
    struct stat st;
    FileId found;
    if (!StatAt(dir, de->d_name, &st, &found) || !Fit(t, dir_st, st) ||
        static_cast<uint64_t>(st.st_size) < offset || (best.ok() && !id->BornBefore(found)))
      continue;
    // A copy that holds no more than was read still tells which files came
    // after it; the youngest is the one made last, from the file as we knew it.
    veld::UniqueFd fd = OpenSibling(dir, de->d_name, found);
    if (!fd.ok() || (!fp.empty() && !fp.Matches(fd.get(), offset)) ||
        (!head.empty() && !head.Matches(fd.get(), head.len)))
      continue;
    best = std::move(fd);
    *id = found;
  }
  return best;
}

void FindBetween(P_LOGFILE_LIST node, const Target &t, const FileId &after, const FileId *before,
                 std::vector<Generation> *out, size_t *skipped) {
  const int dir = t.dir;
  const char *name = t.name;
  struct stat dir_st;
  *skipped = 0;
  if (!after.has_birth || fstat(dir, &dir_st) != 0) return;
  veld::DirPtr d = List(dir);
  if (!d) return;
  struct Found {
    FileId id;
    uint64_t size;
    std::string name;
  };
  std::vector<Found> found;
  while (struct dirent *de = readdir(d.get())) {
    if (!RotatedName(de->d_name, name)) continue;
    struct stat st;
    FileId id;
    if (!StatAt(dir, de->d_name, &st, &id) || !Fit(t, dir_st, st) || !id.has_birth || id == after ||
        id.BornBefore(after) || (before != nullptr && (id == *before || before->BornBefore(id))) ||
        ReadWhole(id, st.st_size) || TailedElsewhere(id, node) || TailedPath(node, de->d_name))
      continue;
    found.push_back(Found{id, static_cast<uint64_t>(st.st_size), de->d_name});
  }
  // Oldest first; within one tick, inode numbers are handed out in order.
  std::sort(found.begin(), found.end(), [](const Found &a, const Found &b) {
    return a.id.BornBefore(b.id) || (!b.id.BornBefore(a.id) && a.id.ino < b.id.ino);
  });
  if (found.size() > kMaxBetween) {
    *skipped = found.size() - kMaxBetween;
    found.resize(kMaxBetween);
  }
  for (Found &f : found) {
    Generation g;
    g.id = f.id;
    g.size = f.size;
    veld::UniqueFd fd = OpenSibling(dir, f.name.c_str(), f.id);
    if (!fd.ok()) continue;
    g.fd.Take(std::move(fd));
    out->push_back(std::move(g));
  }
}

int EarlierFd(P_LOGFILE_LIST node, const Generation &g, veld::UniqueFd *opened) {
  if (g.fd.ok()) return g.fd.get();
  const int dir = DirectoryOf(node);
  if (dir >= 0) *opened = FindByIdentity(dir, g);
  return opened->get();
}

}  // namespace logfile
