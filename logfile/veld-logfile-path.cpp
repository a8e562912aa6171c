// veld-logfile-path: reaching a tailed file or a watched directory from its
// configured path without being led elsewhere by another user.
//
// The agent runs as root and tails files in directories that other users can
// write.  A path is therefore resolved one component at a time from a
// descriptor that was checked, never by name after a check.  A symlink on
// the way is followed only when no user but root and the owner of what it
// leads to could have made it or replaced it: its maker, the owner of the
// directory holding it, and, where that directory is writable by a group or
// by everyone without the sticky bit, anybody at all.  Where the kernel can
// say that a path holds no symlink at all (openat2 with RESOLVE_NO_SYMLINKS),
// one call does the whole walk.

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

int OpenAt2(int dirfd, const char *path, int flags) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_NO_SYMLINKS;
  return static_cast<int>(syscall(SYS_openat2, dirfd, path, &how, sizeof how));
}

Reach Failure() { return errno == ENOENT || errno == ENOTDIR ? Reach::kMissing : Reach::kFailed; }

// The directory a walk starts from: "/" for an absolute path, the working
// directory otherwise.
bool OpenStart(const char *path, UniqueFd *fd, struct stat *st) {
  *fd = UniqueFd(open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
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

}  // namespace

void SymlinkTrust::Add(uid_t uid) {
  if (uid == 0 || kind == kAnyone) return;
  if (kind == kNobody) {
    kind = kOneUser;
    user = uid;
  } else if (user != uid) {
    kind = kAnyone;
  }
}

void SymlinkTrust::AddSymlink(const struct stat &link, const struct stat &parent) {
  Add(link.st_uid);
  Add(parent.st_uid);  // a directory's owner can always make it writable
  bool shared = (parent.st_mode & S_IWOTH) || ((parent.st_mode & S_IWGRP) && parent.st_gid != 0);
  if (shared && !(parent.st_mode & S_ISVTX)) kind = kAnyone;
}

bool SymlinkTrust::Allows(uid_t owner) const {
  return kind == kNobody || (kind == kOneUser && user == owner);
}

bool OthersCanAddNames(const struct stat &dir, uid_t owner) {
  if (dir.st_uid != 0 && dir.st_uid != owner) return true;
  return (dir.st_mode & S_IWOTH) || ((dir.st_mode & S_IWGRP) && dir.st_gid != 0);
}

Reach Resolve(const char *path, Resolution *out) {
  out->trust = SymlinkTrust{};
  out->name[0] = '\0';
  if (!OpenStart(path, &out->dir, &out->dir_st)) return Failure();
  char buf[kWalkBuffer];
  if (std::strlen(path) >= sizeof buf) {
    errno = ENAMETOOLONG;
    return Reach::kFailed;
  }
  std::strcpy(buf, path);
  char *p = buf;
  int links = 0;
  for (;;) {
    while (*p == '/') ++p;
    char *end = std::strchr(p, '/');
    size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (len == 0) return Reach::kOk;  // the path named a directory: out->dir
    if (len >= sizeof out->name) {
      errno = ENAMETOOLONG;
      return Reach::kFailed;
    }
    std::memcpy(out->name, p, len);
    out->name[len] = '\0';
    const char *rest = end ? end + 1 : "";
    if (fstatat(out->dir.get(), out->name, &out->st, AT_SYMLINK_NOFOLLOW) != 0) return Failure();
    if (S_ISLNK(out->st.st_mode)) {
      if (++links > kMaxLinks) {
        errno = ELOOP;
        return Reach::kRefused;
      }
      out->trust.AddSymlink(out->st, out->dir_st);
      char target[kWalkBuffer];
      ssize_t n = readlinkat(out->dir.get(), out->name, target, sizeof target);
      if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return Failure();
      if (!Splice(buf, sizeof buf, target, static_cast<size_t>(n), rest)) {
        errno = ENAMETOOLONG;
        return Reach::kFailed;
      }
      p = buf;
      if (target[0] == '/' && !OpenStart("/", &out->dir, &out->dir_st)) return Failure();
      continue;
    }
    if (*rest == '\0' && end == nullptr) return Reach::kOk;  // the last component
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
    out->dir = std::move(next);
    out->dir_st = nst;
    p = const_cast<char *>(rest);
  }
}

Reach ReachDirectory(const char *path, int flags, ReachedDir *out) {
  out->trust = SymlinkTrust{};
  // Most paths hold no link at all: the kernel walks them in one call.
  out->fd = UniqueFd(OpenAt2(AT_FDCWD, path, flags | O_DIRECTORY));
  if (out->fd.ok()) return fstat(out->fd.get(), &out->st) == 0 ? Reach::kOk : Failure();
  if (errno != ELOOP && errno != ENOSYS && errno != EXDEV) return Failure();

  Resolution r;
  Reach got = Resolve(path, &r);
  if (got != Reach::kOk) return got;
  if (r.name[0] == '\0' || std::strcmp(r.name, ".") == 0 || std::strcmp(r.name, "..") == 0) {
    out->fd =
        UniqueFd(openat(r.dir.get(), r.name[0] ? r.name : ".", flags | O_DIRECTORY | O_CLOEXEC));
  } else {
    if (!S_ISDIR(r.st.st_mode)) {
      errno = ENOTDIR;
      return Reach::kMissing;
    }
    out->fd = UniqueFd(openat(r.dir.get(), r.name, flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  if (!out->fd.ok() || fstat(out->fd.get(), &out->st) != 0) return Failure();
  // What the links led to must belong to the one user who could have laid them.
  if (!r.trust.Allows(out->st.st_uid)) {
    errno = EPERM;
    return Reach::kRefused;
  }
  out->trust = r.trust;
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
