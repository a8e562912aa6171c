// veld-logfile-watch: inotify on the directories of the tailed files and on
// the watched directories.  One watch a directory carries the events of
// every file in it (appends, rotations, creations, renames, removals); an
// event names a file, and every node tailing that name in that directory is
// to be looked at.  A watch is added through /proc/self/fd of the directory
// the look reached and checked, so it is on that very directory, whatever
// has become of its path since.  What a directory holds is rebuilt only
// when the tailed files changed, so an idle pass allocates nothing here.

#include "veld-logfile-watch.h"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "veld-config-unix.h"
#include "veld-logfile-follow.h"
#include "veld-logfile-look.h"
#include "veld-logfile-path.h"

namespace logfile {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMask = IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                           IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                           IN_EXCL_UNLINK;
constexpr auto kScanEvery = std::chrono::seconds(1);  // event-driven scans of one directory

constexpr char kMsgNoWatch[] =
    "Changes in %s are not notified, its files are looked at every 10 seconds";

struct WatchedDir {
  int wd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  // The nodes of each name.  Names are copies: the scanner may give a
  // retired node a new path at any time.
  std::unordered_map<std::string, std::vector<P_LOGFILE_LIST>> names;
  P_LOGDIR_LIST scanned = nullptr;  // when it is a watched directory
  Clock::time_point scanned_at{};   // the last scan an event asked for
  bool used = false;
};

// Tailer only.
struct Watches {
  int fd = -1;
  std::unordered_map<std::string, WatchedDir> dirs;  // by path, as the nodes spell it
  std::unordered_map<int, WatchedDir *> by_wd;
  uint64_t signature = 0;  // of the list the names were taken from
  bool said_full = false;  // running out of watches is said once
  char buf[65536] __attribute__((aligned(__alignof__(struct inotify_event))));
};
Watches g_watches;

// Changes whenever a node is added, retired or given a new path.
uint64_t ListSignature() {
  uint64_t sig = 1469598103934665603ull;
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire)) {
    const uint64_t v =
        n->retired.load(std::memory_order_acquire) ? 0 : reinterpret_cast<uintptr_t>(n->log_file);
    sig = (sig ^ v) * 1099511628211ull;
  }
  return sig;
}

// Watches the directory `path` reached by the look; a directory that cannot
// be watched stays at -1 and is polled.
void Ensure(const std::string &path, WatchedDir &d) {
  struct stat st;
  const int fd = CheckedDirectory(path, &st);
  if (fd < 0) return;
  if (d.wd >= 0 && d.dev == st.st_dev && d.ino == st.st_ino) return;
  if (d.wd >= 0) {
    inotify_rm_watch(g_watches.fd, d.wd);
    g_watches.by_wd.erase(d.wd);
  }
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  d.wd = inotify_add_watch(g_watches.fd, proc, kMask);
  if (d.wd < 0) {
    if (!g_watches.said_full) LogErrno(2, "inotify_add_watch", kMsgNoWatch, path.c_str());
    g_watches.said_full = true;
    return;
  }
  d.dev = st.st_dev;
  d.ino = st.st_ino;
  g_watches.by_wd[d.wd] = &d;
}

void TakeNames() {
  for (auto &[path, d] : g_watches.dirs) {
    d.names.clear();
    d.scanned = nullptr;
    d.used = false;
  }
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire)) {
    if (n->retired.load(std::memory_order_acquire) || n->log_file == nullptr) continue;
    std::string_view dir;
    const char *name;
    SplitPath(n->log_file, &dir, &name);
    WatchedDir &d = g_watches.dirs[std::string(dir)];
    d.names[std::string(name)].push_back(n);
    d.used = true;
  }
  for (P_LOGDIR_LIST l = LogDirectoryList.load(std::memory_order_acquire); l != nullptr;
       l = l->next.load(std::memory_order_acquire)) {
    WatchedDir &d = g_watches.dirs[l->log_dir];
    d.scanned = l;
    d.used = true;
  }
  for (auto it = g_watches.dirs.begin(); it != g_watches.dirs.end();) {
    if (it->second.used) {
      ++it;
      continue;
    }
    if (it->second.wd >= 0) {
      inotify_rm_watch(g_watches.fd, it->second.wd);
      g_watches.by_wd.erase(it->second.wd);
    }
    it = g_watches.dirs.erase(it);
  }
}

template <typename T>
void Unique(std::vector<T> *v) {
  std::sort(v->begin(), v->end());
  v->erase(std::unique(v->begin(), v->end()), v->end());
}

void Take(const struct inotify_event &e, Changes *out) {
  if (e.mask & IN_Q_OVERFLOW) {
    out->overflow = true;
    return;
  }
  auto w = g_watches.by_wd.find(e.wd);
  if (w == g_watches.by_wd.end()) return;
  WatchedDir &d = *w->second;
  if (e.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
    // The directory itself went: its files are looked at, and it is watched
    // anew at the next pass.
    for (auto &[name, nodes] : d.names)
      out->nodes.insert(out->nodes.end(), nodes.begin(), nodes.end());
    if (e.mask & IN_IGNORED) {
      g_watches.by_wd.erase(w);
      d.wd = -1;
    }
    return;
  }
  if (e.len == 0) return;
  auto n = d.names.find(e.name);
  if (n != d.names.end()) {
    out->nodes.insert(out->nodes.end(), n->second.begin(), n->second.end());
  } else if (d.scanned != nullptr && (e.mask & (IN_CREATE | IN_MOVED_TO)) &&
             Clock::now() - d.scanned_at >= kScanEvery) {
    d.scanned_at = Clock::now();
    out->scans.push_back(d.scanned);
  }
}

// The pause between passes, slept by a thread of its own so that the
// tailer can wait on events meanwhile; the sleep seam still measures it.
class Ticker {
 public:
  Ticker() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd_ >= 0) std::thread([this] { Run(); }).detach();
  }
  int fd() const { return fd_; }
  void Arm(unsigned seconds) {
    uint64_t drained;
    while (read(fd_, &drained, sizeof drained) > 0) {
    }
    std::lock_guard<std::mutex> lock(mu_);
    armed_ = seconds;
    cv_.notify_one();
  }

 private:
  [[noreturn]] void Run() {
    for (;;) {
      unsigned seconds;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return armed_ != 0; });
        seconds = armed_;
        armed_ = 0;
      }
      veld_sleep(seconds);
      const uint64_t one = 1;
      (void)!write(fd_, &one, sizeof one);
    }
  }

  int fd_;
  std::mutex mu_;
  std::condition_variable cv_;
  unsigned armed_ = 0;  // under mu_
};

Ticker &TheTicker() {
  static Ticker *ticker = new Ticker;  // lives as long as the process: its thread does
  return *ticker;
}

}  // namespace

void TickArm(unsigned seconds) { TheTicker().Arm(seconds); }
int TickFd() { return TheTicker().fd(); }

bool WatchStart() {
  const char *v = CfgHashGet(kCfgLogNotify);
  if (v != nullptr && veld_stricmp(v, "no") == 0) return false;
  g_watches.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (g_watches.fd < 0) {
    LogErrno(2, "inotify_init1", "Changes are not notified; files are looked at every 10 seconds");
    return false;
  }
  return true;
}

int WatchFd() { return g_watches.fd; }

void WatchSync() {
  if (g_watches.fd < 0) return;
  const uint64_t sig = ListSignature();
  if (sig != g_watches.signature) {
    g_watches.signature = sig;
    TakeNames();
  }
  for (auto &[path, d] : g_watches.dirs) Ensure(path, d);
}

void WatchRead(Changes *out) {
  for (;;) {
    const ssize_t n = read(g_watches.fd, g_watches.buf, sizeof g_watches.buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto *e = reinterpret_cast<const struct inotify_event *>(g_watches.buf + at);
      Take(*e, out);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
    }
  }
  // A file written a thousand times since the last wake-up is named by a
  // thousand events, and is looked at once.
  Unique(&out->nodes);
  Unique(&out->scans);
}

}  // namespace logfile
