// veld-logfile-tail: the tailer.  It walks the tailed-file list over and
// over; for each file it reads what has been appended since the stored
// offset, sends every line as one record, advances the offset, and rotates a
// file that has grown past the limit.  After each pass it saves the offsets
// in the position file and sleeps.
//
// A file is looked up in its directory, which is reached afresh once per
// pass by a checked walk (veld-logfile-path.cpp) and then held open, so an
// idle file costs one status call and nothing is ever re-resolved by name
// after it was checked.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "veld-config-unix.h"
#include "veld-logfile-internal.h"
#include "veld-logfile.h"
#include "veld-owners.h"

using namespace logfile;

// Extensions of compressed and binary files, which are never read.
const char *const IgnoreList[] = {"gz", "bz2", "exe", "sys", nullptr};

namespace {

uint64_t RotationLimit() {
  const char *v = CfgHashGet(kCfgLogRotationSize);
  if (v == nullptr) return kDefaultRotationLimit;
  return ParseAutoBase(v) << 20;
}

bool IgnoredExtension(const char *path) {
  const char *dot = std::strrchr(path, '.');
  if (dot == nullptr) return false;
  for (const char *const *e = IgnoreList; *e != nullptr; ++e)
    if (veld_stricmp(dot + 1, *e) == 0) return true;
  return false;
}

// One stamp for everything a file sends in a pass, taken when first needed.
class PassStamp {
 public:
  time_t Get() {
    if (!taken_) stamp_ = veld_time(nullptr);
    taken_ = true;
    return stamp_;
  }

 private:
  time_t stamp_ = 0;
  bool taken_ = false;
};

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
    auto it = map_.find(path);
    if (it == map_.end()) it = map_.emplace(std::string(path), DirEntry{}).first;
    DirEntry &e = it->second;
    if (e.generation != generation) {
      e.generation = generation;
      e.reach = ReachDirectory(it->first.c_str(), O_PATH, &e.dir);
      e.error = errno;
    }
    return e;
  }

 private:
  std::unordered_map<std::string, DirEntry, StringHash, std::equal_to<>> map_;
};

DirCache &Dirs() {
  static DirCache cache;  // tailer thread only
  return cache;
}

uint64_t g_generation = 1;  // tailer only: bumped for every pass
bool g_in_pass = false;     // tailer only: inside LogFilePass

// "a/b/c.log" -> "a/b" and "c.log"; "/c.log" -> "/"; "c.log" -> ".".
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

// ---- one file ----

// What the path of a node leads to, once it was found fit to read.
struct Target {
  int dir = -1;                // the directory holding the file
  const char *name = nullptr;  // the file's name in it
  struct stat st {};
  int backup_dir = -1;  // where its backups go: the path's own directory
  const char *backup_name = nullptr;
  Resolution via;  // holds `dir` and `name` when the path's last part is a link
};

FileState *StateOf(P_LOGFILE_LIST node) {
  if (node->state == nullptr) node->state = new (std::nothrow) FileState{};
  return node->state;
}

// Says a refusal once, until the condition ends.
void SayOnce(bool *said, const char *msg, const char *path) {
  if (!*said) Log(2, msg, path);
  *said = true;
}

// A configured path whose last part is a link: followed only where nobody
// but root and the owner of the file it leads to could have laid the links.
bool FollowLink(P_LOGFILE_LIST node, FileState *fs, Target *t) {
  const char *path = node->log_file;
  Reach r = Resolve(path, &t->via);
  if (r == Reach::kMissing) {
    SayOnce(&fs->missing_logged, kMsgFileMissing, path);
    return false;
  }
  fs->missing_logged = false;
  if (r != Reach::kOk) {
    Log(2, kMsgFileOpenFailed, path);
    return false;
  }
  t->st = t->via.st;
  if (!S_ISREG(t->st.st_mode)) {
    SayOnce(&fs->nonregular_logged, kMsgFileNotRegular, path);
    return false;
  }
  if (!t->via.trust.Allows(t->st.st_uid)) {
    SayOnce(&fs->unsafe_logged, kMsgLinkRefused, path);
    return false;
  }
  t->dir = t->via.dir.get();
  t->name = t->via.name;
  return true;
}

// A second name of a file, found in a directory where users other than
// root and the file's owner can add names, may be a hard link planted
// towards a file they could not otherwise touch.
bool PlantedName(FileState *fs, const char *path, const struct stat &dir, const struct stat &st) {
  if (st.st_nlink <= 1 || !OthersCanAddNames(dir, st.st_uid)) return false;
  SayOnce(&fs->unsafe_logged, kMsgHardLinkRefused, path);
  return true;
}

// Finds the file behind the node's path and decides whether it may be read:
// it must exist, not have an ignored extension, be a regular file reached
// without a link another user could have laid, and not be a second name
// planted in a directory that others can write.  One status call when the
// path holds no link.
bool FindTarget(P_LOGFILE_LIST node, FileState *fs, Target *t) {
  const char *path = node->log_file;
  std::string_view dirpath;
  const char *name;
  SplitPath(path, &dirpath, &name);
  const DirEntry &d = Dirs().Get(dirpath, g_generation);
  int lookup = d.error;
  if (d.reach == Reach::kOk)
    lookup = fstatat(d.dir.fd.get(), name, &t->st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
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
    Log(2, kMsgFileOpenFailed, path);
    return false;
  }
  if (IgnoredExtension(path)) return false;
  t->backup_dir = d.dir.fd.get();
  t->backup_name = name;
  if (S_ISLNK(t->st.st_mode) && !node->no_follow) {
    if (!FollowLink(node, fs, t)) return false;
    if (PlantedName(fs, path, t->via.dir_st, t->st)) return false;
  } else {
    // Opening a pipe or a device would stall the tailer, and a link found
    // by the scan could lead anywhere on the host.
    if (!S_ISREG(t->st.st_mode)) {
      SayOnce(&fs->nonregular_logged, kMsgFileNotRegular, path);
      return false;
    }
    if (!d.dir.trust.Allows(t->st.st_uid)) {
      SayOnce(&fs->unsafe_logged, kMsgPathRefused, path);
      return false;
    }
    if (PlantedName(fs, path, d.dir.st, t->st)) return false;
    t->dir = d.dir.fd.get();
    t->name = name;
  }
  fs->unsafe_logged = false;
  return true;
}

// Opens the target for reading or writing; it must still be the file that
// was checked.
veld::UniqueFd OpenTarget(const Target &t, int mode) {
  veld::UniqueFd fd(openat(t.dir, t.name, mode | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  struct stat st;
  if (fd.ok() && (fstat(fd.get(), &st) != 0 || !SameIdentity(st, t.st))) {
    errno = ESTALE;
    return veld::UniqueFd();
  }
  return fd;
}

// Applies what `st` says about the file behind the node's path to its read
// offset: another file than the one last read starts at 0, and so does a
// file shorter than the offset.  The first sight after a start trusts the
// stored offset.
void NoteIdentity(P_LOGFILE_LIST node, FileState *fs, const struct stat &st) {
  if (fs->identity_known && (fs->dev != st.st_dev || fs->ino != st.st_ino)) node->filesize = 0;
  fs->dev = st.st_dev;
  fs->ino = st.st_ino;
  fs->identity_known = true;
  if (static_cast<uint64_t>(st.st_size) < node->filesize) node->filesize = 0;
}

// Reads what the file gained since the node's offset and sends it.  Only
// what the file held when it was opened is read; the rest waits for the
// next pass.  A path that has changed hands since it was looked at is left
// for the next pass: false then.
bool ReadNewLines(P_LOGFILE_LIST node, FileState *fs, const Target &t, PassStamp *stamp) {
  veld::UniqueFd fd = OpenTarget(t, O_RDONLY);
  if (!fd.ok()) {
    if (errno == ESTALE) return false;
    Log(2, kMsgFileOpenFailed, node->log_file);
    return true;
  }
  struct stat fst;
  if (fstat(fd.get(), &fst) != 0) return false;
  NoteIdentity(node, fs, fst);  // the file may have shrunk since it was looked at
  if (node->filesize > static_cast<uint64_t>(INT64_MAX) ||
      lseek(fd.get(), static_cast<off_t>(node->filesize), SEEK_SET) == static_cast<off_t>(-1)) {
    Log(2, kMsgFileSeekFailed, node->log_file);
    return true;
  }
  const uint64_t at_open = static_cast<uint64_t>(fst.st_size);
  node->filesize +=
      SendRecords(fd.get(), stamp->Get(), at_open > node->filesize ? at_open - node->filesize : 0);
  return true;
}

// A rotation copies the live file as it is at that moment, which may be more
// than this pass read: lines written in between went into the new backup
// only, and the emptied live file no longer has them.  They are sent from
// the backup, from the offset the live file was read to.
void SendRotatedRest(int backup, uint64_t offset, PassStamp *stamp) {
  struct stat st;
  if (offset > static_cast<uint64_t>(INT64_MAX) || fstat(backup, &st) != 0 ||
      static_cast<uint64_t>(st.st_size) <= offset)
    return;
  if (lseek(backup, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1))
    SendRecords(backup, stamp->Get(), UINT64_MAX);
}

// Rotates a file whose size, as looked at before reading, is over the
// limit.  Tried again every pass, in case it has become possible, but a file
// that cannot be emptied is said once.
void RotateIfOver(P_LOGFILE_LIST node, FileState *fs, const Target &t, PassStamp *stamp) {
  const char *path = node->log_file;
  const uint64_t size = static_cast<uint64_t>(t.st.st_size);
  const uint64_t limit = RotationLimit();
  if (size <= limit) return;
  if (!fs->unemptiable_logged) Log(3, kMsgRotating, size, path, limit);
  char longest[kNameBuffer];
  if (!BackupName(longest, path, kBackupSearch)) {  // a name is never cut short
    Log(2, kMsgBackupNameTooLong, path);
    return;
  }
  // The live file is opened for writing before anything moves, so a file
  // that cannot be emptied (append-only, immutable, read-only) gains no new
  // backup at every pass.
  veld::UniqueFd wr = OpenTarget(t, O_WRONLY);
  if (!wr.ok()) {
    if (errno != ESTALE && !fs->unemptiable_logged) LogErrno(2, "open", kMsgCannotEmpty, path);
    fs->unemptiable_logged = errno != ESTALE;
    return;
  }
  fs->unemptiable_logged = false;
  veld::UniqueFd rd = OpenTarget(t, O_RDONLY), backup;
  if (rd.ok() && RotateLog(t.backup_dir, t.backup_name, rd.get(), wr.get(), t.st, &backup) ==
                     RotateResult::kRotated) {
    SendRotatedRest(backup.get(), node->filesize, stamp);
    node->filesize = 0;
  }
}

}  // namespace

void LogFileProcess(P_LOGFILE_LIST vkp) {
  if (vkp == nullptr || vkp->log_file == nullptr) return;
  FileState *fs = StateOf(vkp);
  if (fs == nullptr) return;  // tried again at the next pass
  if (!g_in_pass) ++g_generation;
  Target t;
  if (!FindTarget(vkp, fs, &t)) return;
  NoteIdentity(vkp, fs, t.st);
  PassStamp stamp;
  // A file that shows nothing new is not opened at all.
  if (static_cast<uint64_t>(t.st.st_size) != vkp->filesize && !ReadNewLines(vkp, fs, t, &stamp))
    return;
  RotateIfOver(vkp, fs, t, &stamp);
}

void LogFilePass(const char *watchdog_file) {
  ++g_generation;
  g_in_pass = true;
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
    LogFileProcess(n);
  g_in_pass = false;
  if (LogFileWriteWatchdogFile(watchdog_file) != 1)
    Log(2, kMsgPositionsWriteFailed, watchdog_file ? watchdog_file : "(null)");
}

void *LogFileThread(void *) {
  const char *watchdog_file = CfgHashGet(kCfgWatchdogFile);
  LogFileLoadPositions(watchdog_file);
  for (;;) {
    LogFilePass(watchdog_file);
    veld_sleep(kPassPause);
  }
}
