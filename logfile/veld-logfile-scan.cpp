// veld-logfile-scan: the directory scanner.  It lists every watched
// directory every 15 seconds, and at once when the tailer is told of a new
// name there, and appends each regular file it has not seen to the
// tailed-file list, where the tailer picks it up (or gives it the node of a
// gone file the tailer retired).  Not recursive.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "veld-config-unix.h"
#include "veld-logfile-path.h"
#include "veld-logfile-rotate.h"
#include "veld-logfile.h"
#include "veld-owners.h"

using namespace logfile;

namespace {

constexpr size_t kScanPath = 260;    // a scanned path, NUL included; a longer one is not tailed
constexpr unsigned kScanPause = 15;  // seconds between scans

constexpr char kMsgDirRefused[] =
    "Watched directory %s is reached through directories or links that a user who does not own "
    "it controls, not listing it.";
constexpr char kMsgPathTooLong[] =
    "Not tailing %s/%s: its path is longer than the 259 bytes a scanned path may have.";
constexpr char kMsgNameRefused[] =
    "Not tailing %s: the position file could not keep its name apart from others.";
constexpr char kMsgDirectoryFound[] = "Identified existing directory location for monitoring: %s";
constexpr char kMsgFileDiscovered[] = "Discovered new file within directory scan: %s";

// The scanner's answer to "is this path tailed already?": every path of
// LogFileList, byte for byte.  File names differ by case on Linux: a
// name that another only resembles must not hide it.  Only the scanner
// appends once workers run, so it catches up by walking just the nodes
// linked since its last look.
struct TailedIndex {
  P_LOGFILE_LIST head = nullptr;  // the list the index describes
  P_LOGFILE_LIST last = nullptr;  // last node taken in
  std::unordered_set<std::string_view> paths;
  // Nodes of gone files the tailer retired, kept for the next files found.
  std::vector<P_LOGFILE_LIST> spare;

  void CatchUp() {
    P_LOGFILE_LIST h = LogFileList.load(std::memory_order_acquire);
    if (h != head) {
      head = h;
      last = nullptr;
      paths.clear();
      spare.clear();
    }
    P_LOGFILE_LIST n = last ? last->next.load(std::memory_order_acquire) : head;
    for (; n != nullptr; n = n->next.load(std::memory_order_acquire)) {
      if (n->log_file != nullptr && !n->retired.load(std::memory_order_acquire))
        paths.insert(n->log_file);
      last = n;
    }
  }
};

TailedIndex &Tailed() {
  static TailedIndex index;  // scanner thread only
  return index;
}

// Regular files only: links, directories, pipes, sockets and devices in a
// watched directory are never tailed.
bool IsRegularEntry(DIR *dir, const struct dirent *de) {
  if (de->d_type != DT_UNKNOWN) return de->d_type == DT_REG;
  struct stat st;
  return fstatat(dirfd(dir), de->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// The position file keeps "path=offset,timestamp" lines and reads them back
// splitting at the first "=" and trimming blanks and quotes from each end: a
// planted name holding "=" or a line end, or one that differs from another
// only by blanks or quotes at its ends, would set another file's saved
// offset at the next start.  Such names, which no log writer uses, are not
// tailed.
bool PositionFileCanKeep(const char *name) {
  for (const char *c = name; *c != '\0'; ++c) {
    unsigned char u = static_cast<unsigned char>(*c);
    if (u == '=' || u < 0x20 || u == 0x7f) return false;
  }
  auto trimmed = [](char c) { return c == ' ' || c == '"' || c == '\''; };
  size_t n = std::strlen(name);
  return n > 0 && !trimmed(name[0]) && !trimmed(name[n - 1]);
}

// Backups and rotation temporaries, "." and "..".
bool SkippedName(const char *name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
         std::strstr(name, kBackupMark) != nullptr;
}

// The agent's own files: the position file (its temporaries carry "_hlr_")
// and the diagnostic log.  Sending them would forward the agent's own
// writing as log lines, and rotating the log would empty it.
struct OwnFiles {
  struct stat positions {
  }, log{};
  bool have_positions = false, have_log = false;

  void Refresh() {
    const char *p = CfgHashGet(kCfgWatchdogFile);
    have_positions = p != nullptr && stat(p, &positions) == 0;
    have_log = stat(pLogFile, &log) == 0;
  }
  bool Holds(dev_t dev, ino_t ino) const {
    return (have_positions && positions.st_dev == dev && positions.st_ino == ino) ||
           (have_log && log.st_dev == dev && log.st_ino == ino);
  }
};

// What the scanner has said it will not do, so each refusal is said once.
// Bounded: past the bound a planted flood of names is refused in silence.
struct Refusals {
  static constexpr size_t kMax = 4096;
  std::unordered_set<std::string> said;
  bool First(const char *what) {
    if (said.size() >= kMax) return false;
    return said.insert(what).second;
  }
};

Refusals &Refused() {
  static Refusals r;  // scanner thread only
  return r;
}

// Opens a watched directory for listing, reached under the rule of
// veld-logfile-path.h (a user owning its parent could otherwise rename a
// directory of root's onto its path, or lay a link to one there).
veld::DirPtr OpenWatched(P_LOGDIR_LIST d, struct stat *st) {
  ReachedDir reached;
  Reach r = ReachDirectory(d->log_dir, O_RDONLY, &reached);
  if (r == Reach::kRefused) {
    if (Refused().First(d->log_dir)) Log(2, kMsgDirRefused, d->log_dir);
    return nullptr;
  }
  if (r != Reach::kOk) return nullptr;
  *st = reached.st;
  veld::DirPtr dir(fdopendir(reached.fd.get()));
  if (dir) reached.fd.release();
  return dir;
}

// Takes the nodes the tailer has retired: their paths are tailed no more,
// and a name that comes back is found anew.  False when there were none.
bool TakeRetired(TailedIndex &tailed) {
  bool any = false;
  while (P_LOGFILE_LIST node = LogFileTakeRetired()) {
    if (node->log_file != nullptr) tailed.paths.erase(node->log_file);
    tailed.spare.push_back(node);
    any = true;
  }
  return any;
}

// The node of a file found new: a retired one given its path, or a new one
// linked behind the tail.
void AppendScanned(const char *path, TailedIndex &tailed) {
  veld::MallocPtr<char> copy(strdup(path));
  if (!copy) return;  // tried again at the next period
  if (!tailed.spare.empty()) {
    P_LOGFILE_LIST node = tailed.spare.back();
    tailed.spare.pop_back();
    std::free(node->log_file);
    node->log_file = copy.release();
    node->filesize = node->timestamp = 0;
    node->no_follow = true;
    tailed.paths.insert(node->log_file);
    node->retired.store(false, std::memory_order_release);
    return;
  }
  P_LOGFILE_LIST node = LogFileNew(copy.get());
  if (node == nullptr) return;
  copy.release();
  node->no_follow = true;
  LogFileListAppend(node);
  tailed.CatchUp();
}

}  // namespace

namespace {

// What a scan of one directory met, in the order the system listed it: a
// directory left as it was lists its entries in the same order, so the next
// scan knows each entry it meets in place, without building its path or
// looking it up.  Scanner thread only.
struct Met {
  ino_t ino;
  uint64_t name;  // a hash of the name's bytes
  bool operator==(const Met &o) const { return ino == o.ino && name == o.name; }
};
struct Listing {
  dev_t dev = 0;
  ino_t ino = 0;
  std::vector<Met> last, now;  // two buffers, swapped, so a scan allocates nothing
};

std::unordered_map<P_LOGDIR_LIST, Listing> &Listings() {
  static std::unordered_map<P_LOGDIR_LIST, Listing> listings;
  return listings;
}

Listing &ListingOf(P_LOGDIR_LIST d, const struct stat &st) {
  Listing &l = Listings()[d];
  if (l.dev != st.st_dev || l.ino != st.st_ino) {  // another directory now
    l.last.clear();
    l.dev = st.st_dev;
    l.ino = st.st_ino;
  }
  l.now.clear();
  return l;
}

uint64_t NameHash(const char *name) {
  uint64_t h = 1469598103934665603ull;  // 64-bit FNV-1a
  for (const unsigned char *c = reinterpret_cast<const unsigned char *>(name); *c; ++c)
    h = (h ^ *c) * 1099511628211ull;
  return h;
}

// An entry not met in place last time: tailed already, refused, or new.
// False when the verdict may change by the next scan (an inode number that
// was the agent's own file a moment ago may be another file's now), so the
// entry is looked at again then.
bool Consider(P_LOGDIR_LIST d, DIR *dir, const struct dirent *de, const struct stat &dst,
              const OwnFiles &own, TailedIndex &tailed) {
  const char *name = de->d_name;
  if (SkippedName(name)) return true;
  if (!IsRegularEntry(dir, de)) return de->d_type != DT_UNKNOWN;
  if (own.Holds(dst.st_dev, de->d_ino)) return false;
  char path[kScanPath + 1];
  const int len = std::snprintf(path, kScanPath, "%s/%s", d->log_dir, name);
  // A cut path would name another file, or one that a cut position-file
  // line lands on.
  if (len < 0 || static_cast<size_t>(len) >= kScanPath) {
    std::string whole = std::string(d->log_dir) + "/" + name;
    if (Refused().First(whole.c_str())) Log(2, kMsgPathTooLong, d->log_dir, name);
    return true;
  }
  if (tailed.paths.find(std::string_view(path)) != tailed.paths.end()) return true;
  if (!PositionFileCanKeep(name)) {
    if (Refused().First(path)) Log(2, kMsgNameRefused, path);
    return true;
  }
  Log(3, kMsgFileDiscovered, path);
  AppendScanned(path, tailed);
  return true;
}

}  // namespace

void LogDirectoryProcess(P_LOGDIR_LIST vkp) {
  if (vkp == nullptr || vkp->log_dir == nullptr) return;
  // The scanner's thread scans every period, the tailer when an event shows
  // a new name: one at a time, as the list has one appender at a time.
  static std::mutex scanning;
  std::lock_guard<std::mutex> lock(scanning);
  struct stat dst;
  veld::DirPtr dir = OpenWatched(vkp, &dst);
  if (!dir) return;
  OwnFiles own;
  own.Refresh();
  TailedIndex &tailed = Tailed();
  tailed.CatchUp();
  // A name whose file is gone may come back, even with the same inode
  // number: every entry is looked at again once the tailer has let one go.
  if (TakeRetired(tailed))
    for (auto &l : Listings()) l.second.last.clear();
  Listing &l = ListingOf(vkp, dst);
  size_t at = 0;  // where the last listing is expected to go on
  while (struct dirent *de = readdir(dir.get())) {
    const Met met{de->d_ino, NameHash(de->d_name)};
    // Met in place, or just past one entry that has gone: handled already.
    if (at < l.last.size() && l.last[at] == met) {
      ++at;
    } else if (at + 1 < l.last.size() && l.last[at + 1] == met) {
      at += 2;
    } else if (!Consider(vkp, dir.get(), de, dst, own, tailed)) {
      l.now.push_back(Met{0, 0});  // keeps its place, matches nothing
      continue;
    }
    l.now.push_back(met);
  }
  l.last.swap(l.now);
}

void LogDirectoryScanPass() {
  for (P_LOGDIR_LIST d = LogDirectoryList.load(std::memory_order_acquire); d != nullptr;
       d = d->next.load(std::memory_order_acquire))
    LogDirectoryProcess(d);
}

void *LogDirectoryThread(void *) {
  P_LOGDIR_LIST head = LogDirectoryList.load(std::memory_order_acquire);
  if (head != nullptr) {
    for (P_LOGDIR_LIST d = head; d != nullptr; d = d->next.load(std::memory_order_acquire))
      Log(3, kMsgDirectoryFound, d->log_dir);
  } else {
    while (LogDirectoryList.load(std::memory_order_acquire) == nullptr) veld_sleep(kScanPause);
  }
  for (;;) {
    LogDirectoryScanPass();
    veld_sleep(kScanPause);
  }
}
