// veld-logfile-path: the one rule for what the agent may touch, and reaching
// a tailed file or a watched directory from its configured path under it
// (veld-logfile-path.cpp), and the one way a path is split.
//
// The rule: the agent never reads, forwards, copies, empties or re-owns
// content that the users who control the way to it could not read or change
// themselves.  Those users are the owner of every directory on the way and
// of every symlink followed, anybody who may add or remove names in one of
// those directories, and, in a sticky directory others can write, the owner
// of the name.  When root alone controls the way, any file may be touched;
// otherwise only a file of the one user who does, reachable by them from
// where their control begins.  Way collects
// the users as a walk goes; MayTouch and Way::Allows decide.
#ifndef VELD_LOGFILE_PATH_H
#define VELD_LOGFILE_PATH_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string_view>

#include "veld-owners.h"

namespace logfile {

// Groups below this number are the system's own (adduser and useradd give
// login users theirs from 1000 up), but for "users", which holds login
// users.  A directory a system group may write, as Ubuntu's /var/log
// (root:syslog 0775), counts as root's: see veld-logfile-path.cpp.
inline constexpr gid_t kFirstUserGid = 1000;
inline constexpr gid_t kUsersGid = 100;

// Who besides root controls the way walked so far.
struct Way {
  enum Kind : unsigned char { kRoot, kOneUser, kMany };
  Kind kind = kRoot;
  uid_t user = 0;  // the one user, for kOneUser
  // A directory of root's that others may not search, on the way below
  // where the one user's control begins.
  bool sealed = false;
  void Add(uid_t uid);  // one more user who controls the way; root adds nothing
  // A directory walked into, with status `dir`.
  void Enter(const struct stat &dir);
  // The name of `entry` in the directory `dir` (a sticky one lets the name's
  // owner remove it).
  void Name(const struct stat &dir, const struct stat &entry);
  // A symlink `link` found in `dir` and followed.
  void Follow(const struct stat &dir, const struct stat &link);
  // Whether what the way leads to may be touched when it belongs to `owner`.
  bool Allows(uid_t owner) const;
};

// The rule for a file: whether the agent may read, copy or empty the file
// with status `file`, found in the directory with status `dir` that was
// reached by `way` (`dir` entered already).  A regular file only, and never a
// second name that others could have planted.  Everything the tailer reaches
// goes through here: a tailed path, and a sibling found beside it (a rotated
// copy, a file born between two looks).
bool MayTouch(const Way &way, const struct stat &dir, const struct stat &file);

// Whether a user other than root and `owner` can add names to a directory
// with status `dir` (and so plant a second name of another file there).
bool OthersCanAddNames(const struct stat &dir, uid_t owner);

enum class Reach { kOk, kMissing, kRefused, kFailed };  // errno tells why

inline constexpr size_t kWalkBuffer = 4096;

// Where a path led: the directory holding its last component (held open,
// O_PATH), that component's name and status (a symlink there is followed
// too), and the way to that directory.
struct Resolution {
  veld::UniqueFd dir;
  struct stat dir_st;
  char name[256];
  struct stat st;
  Way way;  // to `dir`, which it entered
};
// Follows `path` one component at a time from "/" (a relative path from the
// working directory's path), every directory and symlink counted in `way`.
Reach Resolve(const char *path, Resolution *out);

// A directory reached from its path, open with the given flags (O_PATH to
// look things up in it, O_RDONLY to list it).
struct ReachedDir {
  veld::UniqueFd fd;
  struct stat st;
  Way way;  // to the directory, which it entered: what its files must satisfy
};
// kRefused when the way to the directory does not allow its owner.
Reach ReachDirectory(const char *path, int flags, ReachedDir *out);

// "a/b/c.log" -> "a/b" and "c.log"; "/c.log" -> "/"; "c.log" -> ".".
void SplitPath(const char *path, std::string_view *dir, const char **name);

}  // namespace logfile

#endif
