// veld-logfile-path: reaching a tailed file or a watched directory from its
// configured path without being led elsewhere by another user
// (veld-logfile-path.cpp), and the one way a path is split.
#ifndef VELD_LOGFILE_PATH_H
#define VELD_LOGFILE_PATH_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string_view>

#include "veld-owners.h"

namespace logfile {

// Who besides root could have made or replaced the symlinks a resolution
// passed through: nobody, exactly one user, or anybody.
struct SymlinkTrust {
  enum Kind : unsigned char { kNobody, kOneUser, kAnyone };
  Kind kind = kNobody;
  uid_t user = 0;
  void Add(uid_t uid);  // one more user who could have acted; root adds nothing
  // A symlink `link` found in a directory with status `parent`.
  void AddSymlink(const struct stat &link, const struct stat &parent);
  // Whether what the symlinks lead to may be used when it belongs to `owner`.
  bool Allows(uid_t owner) const;
};

// Whether a user other than root and `owner` can add names to a directory
// with status `dir` (and so plant a second name of another file there).
bool OthersCanAddNames(const struct stat &dir, uid_t owner);

enum class Reach { kOk, kMissing, kRefused, kFailed };  // errno tells why

inline constexpr size_t kWalkBuffer = 4096;

// Where a path led: the directory holding its last component (held open,
// O_PATH), that component's name and status (a symlink is not followed past
// the last component only when it is the last thing met), and who could
// have laid the symlinks on the way.
struct Resolution {
  veld::UniqueFd dir;
  struct stat dir_st;
  char name[256];
  struct stat st;
  SymlinkTrust trust;
};
// Follows `path` one component at a time; symlinks are followed wherever
// they stand, and recorded in `trust` for the caller to judge.
Reach Resolve(const char *path, Resolution *out);

// A directory reached from its path, open with the given flags (O_PATH to
// look things up in it, O_RDONLY to list it).
struct ReachedDir {
  veld::UniqueFd fd;
  struct stat st;
  SymlinkTrust trust;  // what its files must satisfy too
};
// kRefused when a symlink on the way could have been laid by a user other
// than root and the directory's owner.
Reach ReachDirectory(const char *path, int flags, ReachedDir *out);

// "a/b/c.log" -> "a/b" and "c.log"; "/c.log" -> "/"; "c.log" -> ".".
void SplitPath(const char *path, std::string_view *dir, const char **name);

}  // namespace logfile

#endif
