// veld-logfile-hold: descriptors the tailer holds between passes.  Every held
// descriptor counts against one budget, the descriptor limit less a reserve,
// so the agent never runs itself out of descriptors however many files it
// follows.  Files whose last name is gone (rotated and then compressed or
// removed while the collector was away) pin their space for as long as they
// are held; these are capped by LogHoldFiles and LogHoldSize, and past the
// cap the oldest is let go, its loss counted and said once.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <vector>

#include "veld-assert.h"
#include "veld-config-unix.h"
#include "veld-logfile-follow.h"
#include "veld-logfile-identity.h"
#include "veld-logfile-stats.h"

namespace logfile {

namespace {

constexpr rlim_t kSpareFds = 64;  // descriptors never used for holding files open
constexpr uint64_t kDefaultHoldFiles = 256;
constexpr uint64_t kDefaultHoldMiB = 256;
constexpr uint64_t kMaxHoldFiles = 1 << 20;
constexpr uint64_t kMaxHoldMiB = UINT64_MAX >> 20;

constexpr char kMsgReleased[] =
    "Let go of a deleted file of log file %s held for the collector (at most %" PRIu64
    " files and %" PRIu64 " MiB are held): %" PRIu64 " unsent bytes in %" PRIu64 " lines are lost";

// Descriptors held between passes, and how many may be; tailer only.
size_t g_held = 0;
size_t g_may_hold = 0;

// A held file with no name left.
struct Pinned {
  P_LOGFILE_LIST node;
  Generation *g;  // the node's current file or one of its earlier ones
};

// Counts the lines of `fd` in [from, to): the line ends, and a last line
// without one.
uint64_t LinesIn(int fd, uint64_t from, uint64_t to) {
  char buf[65536];
  uint64_t lines = 0;
  char last = '\n';
  while (from < to) {
    const ssize_t n = PRead(fd, buf, std::min<uint64_t>(sizeof buf, to - from), from);
    if (n <= 0) break;
    lines += static_cast<uint64_t>(std::count(buf, buf + n, '\n'));
    last = buf[n - 1];
    from += static_cast<uint64_t>(n);
  }
  return lines + (last != '\n' ? 1 : 0);
}

// Lets the pinned file go: nothing more is read from it.
void Release(const Pinned &p, uint64_t max_files, uint64_t max_mib) {
  Generation &g = *p.g;
  uint64_t &offset = p.g == &p.node->state->cur ? p.node->filesize : g.offset;
  const uint64_t unsent = g.size > offset ? g.size - offset : 0;
  const uint64_t lines = unsent > 0 ? LinesIn(g.fd.get(), offset, g.size) : 0;
  Log(2, kMsgReleased, p.node->log_file, max_files, max_mib, unsent, lines);
  CountDropped(lines);
  offset = g.size;
  g.fd.reset();
}

}  // namespace

HeldFd &HeldFd::operator=(HeldFd &&o) noexcept {
  if (this != &o) {
    reset();
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

bool HeldFd::Take(veld::UniqueFd fd) {
  if (!fd.ok()) return false;
  if (g_may_hold == 0) ResetHoldBudget();
  if (!ok() && g_held >= g_may_hold) return false;
  if (!ok()) ++g_held;
  if (ok()) ::close(fd_);
  fd_ = fd.release();
  return true;
}

void HeldFd::reset() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  VELD_ASSERT(g_held > 0);  // every held descriptor was counted when taken
  --g_held;
}

size_t HeldFd::held() { return g_held; }

void ResetHoldBudget() {
  struct rlimit rl;
  g_may_hold = getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur <= kSpareFds
                   ? 0
                   : static_cast<size_t>(rl.rlim_cur - kSpareFds);
}

void EnforceHoldCap(uint64_t *files, uint64_t *bytes) {
  const uint64_t max_files = CfgCount(kCfgLogHoldFiles, kDefaultHoldFiles, kMaxHoldFiles);
  const uint64_t max_mib = CfgCount(kCfgLogHoldSize, kDefaultHoldMiB, kMaxHoldMiB);
  std::vector<Pinned> pinned;
  *bytes = 0;
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire)) {
    FileState *fs = n->state;
    if (fs == nullptr) continue;
    if (fs->cur.deleted && fs->cur.fd.ok()) pinned.push_back(Pinned{n, &fs->cur});
    for (Generation &g : fs->earlier)
      if (g.deleted && g.fd.ok()) pinned.push_back(Pinned{n, &g});
  }
  for (const Pinned &p : pinned) *bytes += p.g->size;
  // The oldest go first: by birth, and within one tick by inode number.
  std::sort(pinned.begin(), pinned.end(), [](const Pinned &a, const Pinned &b) {
    return a.g->id.BornBefore(b.g->id) ||
           (!b.g->id.BornBefore(a.g->id) && a.g->id.ino < b.g->id.ino);
  });
  size_t kept = pinned.size();
  for (const Pinned &p : pinned) {
    if (kept <= max_files && *bytes <= (max_mib << 20)) break;
    *bytes -= p.g->size;
    --kept;
    Release(p, max_files, max_mib);
  }
  *files = kept;
}

}  // namespace logfile
