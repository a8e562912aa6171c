// veld-logfile-path: the rule for what the agent may touch, and reaching a
// tailed file or a watched directory under it.
//
// The agent runs as root and tails files in directories that other users can
// write.  A user who controls the way to a file (owns a directory on it, may
// add or remove names in one, laid a symlink on it) can put at the end of
// that way any file they can move there: a root directory renamed onto a
// watched path, a link to a file they cannot open.  So a file is touched
// only when root alone controls the way to it, or when the file belongs to
// the one user who does and no directory of root's that they may not pass
// stands between the point where their control begins and the file.  One
// that stands above it (a user's directory inside a container's volume,
// under root's 0700 /var/lib/docker) led them nowhere: what lies below it
// was put there from inside, by whoever could reach it.  Paths are walked one
// component at a time from "/", from descriptors that were checked, never by
// name after a check, so every directory's status is counted; openat2 is not
// used, since it hides the directories it passes (and is denied by some
// container runtimes' filters).
//
// A directory that a system group may write, as Ubuntu's /var/log
// (root:syslog 0775), counts as root's.  Its members are services the
// administrator set up to write logs there (logrotate is told as much with
// "su root syslog"); they write the very lines the agent forwards, and no
// login user is given a group below kFirstUserGid but "users".  What such a
// member could still try is bounded: symlinks it lays are its own and count against the
// files they lead to, a second name it plants of another file is refused
// (OthersCanAddNames treats every group but root's as others), and a file it
// renames in must come from a directory it may already write.  A group of
// login users, or everybody, writing a directory without the sticky bit is
// more than one user: nothing in it is touched.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "veld-logfile-identity.h"
#include "veld-logfile-path.h"
#include "veld-owners.h"

using veld::UniqueFd;

namespace logfile {

namespace {

constexpr int kMaxLinks = 40;  // the kernel's own limit on links in one resolution

Reach Failure() { return errno == ENOENT || errno == ENOTDIR ? Reach::kMissing : Reach::kFailed; }

// Users other than the owner may add or remove names: the world, or a group
// of login users.
bool SharedWritable(const struct stat &dir) {
  const bool login_group = dir.st_gid >= kFirstUserGid || dir.st_gid == kUsersGid;
  return (dir.st_mode & S_IWOTH) || ((dir.st_mode & S_IWGRP) && login_group);
}

// "/" with its status.
bool OpenRoot(UniqueFd *fd, struct stat *st) {
  *fd = UniqueFd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  return fd->ok() && fstat(fd->get(), st) == 0;
}

// Puts the link's target in front of what is left of the path, in `buf`;
// `rest` is the text after the link's own component.  False when it would
// not fit.
bool Splice(char *buf, size_t cap, const char *target, size_t tlen, const char *rest) {
  size_t rlen = std::strlen(rest);
  size_t sep = rlen > 0 ? 1 : 0;  // a link at the end of the path leaves no trailing slash
  if (tlen + sep + rlen + 1 > cap) return false;
  std::memmove(buf + tlen + sep, rest, rlen + 1);
  std::memcpy(buf, target, tlen);
  if (sep) buf[tlen] = '/';
  return true;
}

// `path` made absolute in `buf`: a relative one is put behind the working
// directory's path, so that the walk counts the directories above it too.
bool Absolute(const char *path, char *buf, size_t cap) {
  size_t plen = std::strlen(path);
  if (path[0] == '/') {
    if (plen >= cap) return false;
    std::memcpy(buf, path, plen + 1);
    return true;
  }
  if (getcwd(buf, cap) == nullptr) return false;
  size_t clen = std::strlen(buf);
  if (clen + 1 + plen + 1 > cap) return false;
  buf[clen] = '/';
  std::memcpy(buf + clen + 1, path, plen + 1);
  return true;
}

}  // namespace

void Way::Add(uid_t uid) {
  if (uid == 0 || kind == kMany) return;
  if (kind == kRoot) {
    kind = kOneUser;
    user = uid;
  } else if (user != uid) {
    kind = kMany;
  }
}

void Way::Enter(const struct stat &dir) {
  Add(dir.st_uid);  // a directory's owner can always make it writable
  if (SharedWritable(dir) && !(dir.st_mode & S_ISVTX)) kind = kMany;
  // Past the point where a user's control begins, they must be able to
  // pass every directory; one of theirs they can open up themselves.  Group
  // search is not counted, as which groups the user is in is not known here.
  const mode_t search = S_IXGRP | S_IXOTH;
  if (kind != kRoot && dir.st_uid == 0 && (dir.st_mode & search) != search) sealed = true;
}

void Way::Name(const struct stat &dir, const struct stat &entry) {
  if ((dir.st_mode & S_ISVTX) && ((dir.st_mode & S_IWOTH) || (dir.st_mode & S_IWGRP)))
    Add(entry.st_uid);
}

void Way::Follow(const struct stat &dir, const struct stat &link) {
  Name(dir, link);
  Add(link.st_uid);
}

bool Way::Allows(uid_t owner) const {
  return kind == kRoot || (kind == kOneUser && user == owner && !sealed);
}

bool OthersCanAddNames(const struct stat &dir, uid_t owner) {
  if (dir.st_uid != 0 && dir.st_uid != owner) return true;
  return (dir.st_mode & S_IWOTH) || ((dir.st_mode & S_IWGRP) && dir.st_gid != 0);
}

bool MayTouch(const Way &way, const struct stat &dir, const struct stat &file) {
  if (!S_ISREG(file.st_mode)) return false;
  Way w = way;
  w.Name(dir, file);
  if (!w.Allows(file.st_uid)) return false;
  // A second name planted towards a file its planter could not open.
  return file.st_nlink <= 1 || !OthersCanAddNames(dir, file.st_uid);
}

namespace {

// The symlink out->name, met with `rest` of the path after it: its target
// goes in front of `rest` in `buf`, and the walk goes on from its start.
Reach FollowStep(Resolution *out, char *buf, size_t cap, const char *rest, int *links) {
  if (++*links > kMaxLinks) {
    errno = ELOOP;
    return Reach::kRefused;
  }
  out->way.Follow(out->dir_st, out->st);
  char target[kWalkBuffer];
  ssize_t n = readlinkat(out->dir.get(), out->name, target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return Failure();
  if (!Splice(buf, cap, target, static_cast<size_t>(n), rest)) {
    errno = ENAMETOOLONG;
    return Reach::kFailed;
  }
  if (target[0] == '/') {
    if (!OpenRoot(&out->dir, &out->dir_st)) return Failure();
    // Whether a file can be reached is a matter of where it is: the
    // directories before the link are no longer on that way.
    out->way.sealed = false;
    out->way.Enter(out->dir_st);
  }
  return Reach::kOk;
}

// Into the directory out->name (status out->st), which must still be the one
// looked at.
Reach DescendStep(Resolution *out) {
  if (!S_ISDIR(out->st.st_mode)) {
    errno = ENOTDIR;
    return Reach::kMissing;
  }
  UniqueFd next(openat(out->dir.get(), out->name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat nst;
  if (!next.ok() || fstat(next.get(), &nst) != 0) return Failure();
  if (!SameIdentity(nst, out->st)) {
    errno = EAGAIN;  // replaced while we looked: try again next time
    return Reach::kFailed;
  }
  out->way.Name(out->dir_st, nst);
  out->way.Enter(nst);
  out->dir = std::move(next);
  out->dir_st = nst;
  return Reach::kOk;
}

}  // namespace

Reach Resolve(const char *path, Resolution *out) {
  out->way = Way{};
  out->name[0] = '\0';
  char buf[kWalkBuffer];
  if (!Absolute(path, buf, sizeof buf)) {
    if (errno != ENOENT) errno = ENAMETOOLONG;
    return Reach::kFailed;
  }
  if (!OpenRoot(&out->dir, &out->dir_st)) return Failure();
  out->way.Enter(out->dir_st);
  char *p = buf;
  int links = 0;
  for (;;) {
    while (*p == '/') ++p;
    char *end = std::strchr(p, '/');
    size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (len == 0) {  // the path named a directory: out->dir
      out->name[0] = '\0';
      out->st = out->dir_st;
      return Reach::kOk;
    }
    if (len >= sizeof out->name) {
      errno = ENAMETOOLONG;
      return Reach::kFailed;
    }
    std::memcpy(out->name, p, len);
    out->name[len] = '\0';
    const char *rest = end ? end + 1 : "";
    if (fstatat(out->dir.get(), out->name, &out->st, AT_SYMLINK_NOFOLLOW) != 0) return Failure();
    Reach step;
    if (S_ISLNK(out->st.st_mode)) {
      step = FollowStep(out, buf, sizeof buf, rest, &links);
      p = buf;
    } else if (end == nullptr) {
      return Reach::kOk;  // the last component
    } else {
      step = DescendStep(out);
      p = const_cast<char *>(rest);
    }
    if (step != Reach::kOk) return step;
  }
}

Reach ReachDirectory(const char *path, int flags, ReachedDir *out) {
  out->way = Way{};
  Resolution r;
  Reach got = Resolve(path, &r);
  if (got != Reach::kOk) return got;
  // "", "." and ".." name what the walk already holds, or its parent.
  const char *name = r.name[0] ? r.name : ".";
  if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 && !S_ISDIR(r.st.st_mode)) {
    errno = ENOTDIR;
    return Reach::kMissing;
  }
  out->fd = UniqueFd(openat(r.dir.get(), name, flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!out->fd.ok() || fstat(out->fd.get(), &out->st) != 0) return Failure();
  // The directory is what the way leads to: it must belong to whoever
  // controls the way, as a file would.
  Way w = r.way;
  w.Name(r.dir_st, out->st);
  if (!w.Allows(out->st.st_uid)) {
    errno = EPERM;
    return Reach::kRefused;
  }
  w.Enter(out->st);
  out->way = w;
  return Reach::kOk;
}

void SplitPath(const char *path, std::string_view *dir, const char **name) {
  const char *slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    *dir = ".";
    *name = path;
  } else {
    *dir = slash == path ? std::string_view("/") : std::string_view(path, slash - path);
    *name = slash + 1;
  }
}

}  // namespace logfile
