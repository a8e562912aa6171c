// veld-logfile-look: finding what a tailed path leads to, once per pass.
// A file is looked up in its directory, which is reached afresh once per
// pass by a checked walk (veld-logfile-path.cpp) and then held open, so an
// idle file costs one status call and nothing is ever re-resolved by name
// after it was checked.  What it finds is read only when the rule of
// veld-logfile-path.h (MayTouch) allows it.  The first time a directory is
// reached, the temporaries of a rotation that a crash interrupted are
// removed from it, before anything there is read.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "veld-config-unix.h"
#include "veld-logfile-follow.h"
#include "veld-logfile-identity.h"
#include "veld-logfile-look.h"
#include "veld-logfile-rotate.h"
#include "veld-logfile.h"

using namespace logfile;

// Extensions of compressed and binary files, which are never read.
const char *const IgnoreList[] = {"gz", "bz2", "exe", "sys", nullptr};

namespace {

constexpr char kMsgFileMissing[] = "Unable to open log file for processing: %s";
constexpr char kMsgFileOpenFailed[] = "Failed to open log file %s for processing.";
constexpr char kMsgFileNotRegular[] = "Log file %s is not a regular file, skipping it.";
constexpr char kMsgSymlinkRefused[] =
    "Log file %s is a link to a file that its maker could not read or change, not following it.";
constexpr char kMsgPathRefused[] =
    "Log file %s is reached through directories or links that a user who could not read or "
    "change it controls, not touching it.";
constexpr char kMsgHardLinkRefused[] =
    "Log file %s has another name in a directory that other users can write, not touching it.";

// ---- directories, reached once per pass ----

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct DirEntry {
  ReachedDir dir;
  Reach reach = Reach::kFailed;
  int error = 0;
  uint64_t generation = 0;  // the pass it was reached in
};

class DirCache {
 public:
  // The directory `path`, reached afresh in this generation.
  const DirEntry &Get(std::string_view path, uint64_t generation) {
    // Files of one directory mostly follow each other in the list.
    if (last_ != nullptr && last_->second.generation == generation && last_->first == path)
      return last_->second;
    auto it = map_.find(path);
    const bool first = it == map_.end();
    if (first) it = map_.emplace(std::string(path), DirEntry{}).first;
    DirEntry &e = it->second;
    if (e.generation != generation) {
      e.generation = generation;
      e.reach = ReachDirectory(it->first.c_str(), O_PATH, &e.dir);
      e.error = errno;
      // No rotation of this process can be under way in a directory it
      // has not reached before.
      if (first && e.reach == Reach::kOk) SweepTemporaries(e.dir.fd.get(), it->first.c_str());
    }
    last_ = &*it;  // elements of the map stay where they are
    return e;
  }

 private:
  using Map = std::unordered_map<std::string, DirEntry, StringHash, std::equal_to<>>;
  Map map_;
  Map::value_type *last_ = nullptr;
};

DirCache &Dirs() {
  static DirCache cache;  // tailer thread only
  return cache;
}

uint64_t g_generation = 1;  // tailer only: bumped for every pass

// ---- one file ----

// Says a refusal once, until the condition ends.
void SayOnce(bool *said, const char *msg, const char *path) {
  if (!*said) Log(2, msg, path);
  *said = true;
}

// A configured path whose last part is a symlink, followed to the file it
// leads to.
bool FollowSymlink(P_LOGFILE_LIST node, FileState *fs, Target *t) {
  const char *path = node->log_file;
  Reach r = Resolve(path, &t->via);
  if (r == Reach::kMissing) {
    SayOnce(&fs->missing_logged, kMsgFileMissing, path);
    return false;
  }
  fs->missing_logged = false;
  if (r != Reach::kOk) {
    SayOpenFailed(node);
    return false;
  }
  t->st = t->via.st;
  t->dir = t->via.dir.get();
  t->name = t->via.name;
  t->way = t->via.way;
  t->dir_st = t->via.dir_st;
  if (!StatAt(t->dir, t->name, &t->st, &t->id)) {
    SayOpenFailed(node);
    return false;
  }
  return true;
}

// Whether the rule lets the target be read; said once when it does not.
bool Allowed(FileState *fs, const char *path, const Target &t, bool via_symlink) {
  if (MayTouch(t.way, t.dir_st, t.st)) return true;
  const char *msg = kMsgPathRefused;
  if (t.st.st_nlink > 1 && OthersCanAddNames(t.dir_st, t.st.st_uid))
    msg = kMsgHardLinkRefused;
  else if (via_symlink)
    msg = kMsgSymlinkRefused;
  SayOnce(&fs->unsafe_logged, msg, path);
  return false;
}

}  // namespace

// Finds the file behind the node's path and decides whether it may be read:
// it must exist, not have an ignored extension, be a regular file, and be
// one the rule allows (veld-logfile-path.h).  One status call when the path's
// last part is no symlink.
bool logfile::FindTarget(P_LOGFILE_LIST node, FileState *fs, Target *t) {
  const char *path = node->log_file;
  std::string_view dirpath;
  const char *name;
  SplitPath(path, &dirpath, &name);
  const DirEntry &d = Dirs().Get(dirpath, g_generation);
  int lookup = d.error;
  if (d.reach == Reach::kOk) lookup = StatAt(d.dir.fd.get(), name, &t->st, &t->id) ? 0 : errno;
  if (*name == '\0' || d.reach == Reach::kMissing ||
      (d.reach == Reach::kOk && (lookup == ENOENT || lookup == ENOTDIR))) {
    SayOnce(&fs->missing_logged, kMsgFileMissing, path);
    return false;
  }
  fs->missing_logged = false;
  if (d.reach == Reach::kRefused) {
    SayOnce(&fs->unsafe_logged, kMsgPathRefused, path);
    return false;
  }
  if (lookup != 0) {
    SayOpenFailed(node);
    return false;
  }
  if (IgnoredExtension(path)) return false;
  t->backup_dir = d.dir.fd.get();
  t->backup_name = path;
  const bool via_symlink = S_ISLNK(t->st.st_mode) && !node->no_follow;
  if (via_symlink) {
    if (!FollowSymlink(node, fs, t)) return false;
  } else {
    t->dir = d.dir.fd.get();
    t->name = name;
    t->way = d.dir.way;
    t->dir_st = d.dir.st;
  }
  // Opening a pipe or a device would stall the tailer, and a symlink found
  // by the scan could lead anywhere on the host.
  if (!S_ISREG(t->st.st_mode)) {
    SayOnce(&fs->nonregular_logged, kMsgFileNotRegular, path);
    return false;
  }
  if (!Allowed(fs, path, *t, via_symlink)) return false;
  fs->unsafe_logged = false;
  return true;
}

// Opens the target for reading or writing; it must still be the file that
// was checked.
veld::UniqueFd logfile::OpenTarget(const Target &t, int mode) {
  veld::UniqueFd fd(openat(t.dir, t.name, mode | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  struct stat st;
  if (fd.ok() && (fstat(fd.get(), &st) != 0 || !SameIdentity(st, t.st))) {
    errno = ESTALE;
    return veld::UniqueFd();
  }
  return fd;
}

void logfile::NewLookGeneration() { ++g_generation; }

int logfile::CheckedDirectory(std::string_view path, struct stat *st) {
  const DirEntry &d = Dirs().Get(path, g_generation);
  if (d.reach != Reach::kOk) return -1;
  *st = d.dir.st;
  return d.dir.fd.get();
}

int logfile::DirectoryOf(P_LOGFILE_LIST node) {
  std::string_view dirpath;
  const char *name;
  SplitPath(node->log_file, &dirpath, &name);
  const DirEntry &d = Dirs().Get(dirpath, g_generation);
  return d.reach == Reach::kOk ? d.dir.fd.get() : -1;
}

void logfile::SayOpenFailed(P_LOGFILE_LIST node) { Log(2, kMsgFileOpenFailed, node->log_file); }

bool logfile::IgnoredExtension(const char *path) {
  const char *dot = std::strrchr(path, '.');
  if (dot == nullptr) return false;
  for (const char *const *e = IgnoreList; *e != nullptr; ++e)
    if (veld_stricmp(dot + 1, *e) == 0) return true;
  return false;
}
