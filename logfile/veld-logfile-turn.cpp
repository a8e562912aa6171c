// veld-logfile-turn: the tailer's turns.  Files with unsent lines wait in
// one queue, in the order they were found; each turn sends one burst of the
// oldest file of one node (the files its path moved away from go before the
// one it leads to now), and the node goes to the back of the queue.  Over a
// paced link a node that sent a burst waits, in a second queue ordered by
// time, until its rate allows the next one, while the others are served.

#include <fcntl.h>

#include <algorithm>
#include <deque>
#include <queue>
#include <vector>

#include "veld-assert.h"
#include "veld-config-unix.h"
#include "veld-logfile-link.h"
#include "veld-logfile-readers.h"
#include "veld-logfile-record.h"
#include "veld-logfile-tail.h"

namespace logfile {

namespace {

constexpr unsigned kDefaultRate = kBurstRecords;  // records a second of one file over UDP
constexpr unsigned kMaxRate = 1000000;
constexpr auto kVerifiedFor = std::chrono::milliseconds(50);  // how long a look's check stands

struct Waiting {
  Clock::time_point when;
  P_LOGFILE_LIST node;
  bool operator>(const Waiting &o) const { return when > o.when; }
};

// Tailer only.
struct Turns {
  std::deque<P_LOGFILE_LIST> ready;  // may be served now, in turn
  std::priority_queue<Waiting, std::vector<Waiting>, std::greater<>>
      paced;  // waiting for their rate
  bool link_failed = false;
};
Turns g_turns;

RecordReader &Reader() {
  static RecordReader reader;  // tailer only; its buffers stay off the stack
  return reader;
}

// Records a second of one file over a link that cannot push back; 0 where
// the link paces itself.
unsigned Rate() {
  if (!LinkIsDatagram()) return 0;
  return static_cast<unsigned>(CfgCount(kCfgUDPRecordRate, kDefaultRate, kMaxRate));
}

// One burst of `fd` from *offset up to `limit`; *offset and *fp follow, and
// *head, when given, gets the file's first bytes if the burst read them.
ReadOutcome Burst(FileState *fs, int fd, uint64_t *offset, uint64_t limit, Fingerprint *fp,
                  Fingerprint *head, size_t *records) {
  if (!fs->stamped) {
    fs->stamp = veld_time(nullptr);  // one stamp for what a file sends between two looks
    fs->stamped = true;
  }
  RecordReader &r = Reader();
  r.Start(fd, *offset, limit, fs->stamp);
  const uint64_t from = *offset;
  const ReadOutcome o = r.Run();
  // Invariant: a burst only moves an offset forward, and past nothing but
  // records the link took.
  VELD_ASSERT(r.consumed() >= from && r.sent() <= kBurstRecords);
  *offset = r.consumed();
  *fp = r.TakeFingerprint();
  if (head != nullptr && !r.head().empty()) *head = r.head();
  *records = r.sent();
  if (o == ReadOutcome::kLinkDown) g_turns.link_failed = true;
  return o;
}

// The current file's descriptor: the held one, or one opened afresh from
// a look at the path, which must still lead to the same file.
int CurrentFd(P_LOGFILE_LIST node, FileState *fs, veld::UniqueFd *opened) {
  if (fs->cur.fd.ok()) return fs->cur.fd.get();
  Target t;
  if (FindTarget(node, fs, &t) && t.id == fs->cur.id) *opened = OpenTarget(t, O_RDONLY);
  return opened->get();
}

// One turn of a node: one burst of its oldest file with unsent lines.
ReadOutcome Turn(P_LOGFILE_LIST node, FileState *fs, size_t *records) {
  *records = 0;
  for (auto it = fs->earlier.begin(); it != fs->earlier.end();) {
    if (it->offset >= it->size) {
      ++it;  // sent; let go at a look once it no longer grows
      continue;
    }
    veld::UniqueFd opened;
    const int fd = IsReader(it->id, node) ? EarlierFd(node, *it, &opened) : -1;
    if (fd < 0) {
      // Another node took it over, or it can no longer be found.
      if (IsReader(it->id, node)) SayLost(node);
      it = fs->earlier.erase(it);
      continue;
    }
    const ReadOutcome o = Burst(fs, fd, &it->offset, it->size, &it->fp, nullptr, records);
    NoteReader(it->id, node, it->offset, it->fp);
    return o == ReadOutcome::kTruncated ? ReadOutcome::kEnd : o;
  }
  if (node->filesize >= fs->cur.size || !CurrentIsOurs(node, fs)) return ReadOutcome::kEnd;
  veld::UniqueFd opened;
  const int fd = CurrentFd(node, fs, &opened);
  if (fd < 0) return ReadOutcome::kEnd;
  Generation &cur = fs->cur;
  // A look that found the same bytes before this offset a moment ago
  // stands; a turn later than that, as in a long drain, checks again.
  const bool verified =
      fs->verified == node->filesize && Clock::now() - fs->verified_at < kVerifiedFor;
  fs->verified = UINT64_MAX;
  if (!verified && !StillHolds(fd, node->filesize, cur)) {
    // Emptied and written anew since it was looked at (between two turns):
    // the look finds where what it held went.
    Target t;
    Look(node, fs, &t);
    if (fs->cur.fd.get() == fd && !StillHolds(fd, node->filesize, cur)) {
      // No longer at the path, so nothing there can say where the old bytes
      // went: what it holds now is read from its start.
      SayLost(node);
      node->filesize = 0;
      cur.fp = cur.head = Fingerprint{};
    }
    return ReadOutcome::kEnd;
  }
  // The first bytes of a file read on from an offset (as after a start) are
  // taken before the read; from the start, the read itself gives them.
  if (cur.head.len < Fingerprint::kBytes && node->filesize > 0 &&
      !cur.head.Take(fd, std::min<uint64_t>(node->filesize, Fingerprint::kBytes)))
    cur.head = Fingerprint{};
  Fingerprint *head = cur.head.len < Fingerprint::kBytes ? &cur.head : nullptr;
  const ReadOutcome o = Burst(fs, fd, &node->filesize, cur.size, &cur.fp, head, records);
  if (o == ReadOutcome::kTruncated) {
    // The file holds less than when it was looked at: looked at again, it
    // tells whether what was read is still there or was emptied under us.
    Target t;
    Look(node, fs, &t);
  }
  NoteCurrent(node, fs);
  return o;
}

// Moves the nodes whose rate allows a turn again into the ready queue.
void Wake(Clock::time_point now) {
  while (!g_turns.paced.empty() && g_turns.paced.top().when <= now) {
    g_turns.ready.push_back(g_turns.paced.top().node);
    g_turns.paced.pop();
  }
}

// One turn of the node at the front of the ready queue.
void ServeFront(unsigned rate) {
  P_LOGFILE_LIST node = g_turns.ready.front();
  g_turns.ready.pop_front();
  FileState *fs = node->state;
  fs->queued = false;
  const Clock::time_point began = Clock::now();
  size_t records = 0;
  const ReadOutcome o = Turn(node, fs, &records);
  if (o == ReadOutcome::kLinkDown) {
    fs->queued = true;  // first in line once the link is back
    g_turns.ready.push_front(node);
    return;
  }
  if (!HasBacklog(node, *fs)) {
    Drained(node, fs);
  } else if (records == 0 && o == ReadOutcome::kEnd) {
    // Nothing could be sent (the file changed under us): the next look
    // decides, rather than a turn that makes no progress coming round again.
  } else if (rate > 0 && records > 0) {
    fs->queued = true;
    const auto wait = std::chrono::microseconds(1000000ull * records / rate);
    g_turns.paced.push(Waiting{began + wait, node});
  } else {
    Enqueue(node, fs);
  }
  AfterTurn();
}

}  // namespace

void Enqueue(P_LOGFILE_LIST node, FileState *fs) {
  if (fs->queued) return;
  fs->queued = true;
  g_turns.ready.push_back(node);
}

void Unqueue(P_LOGFILE_LIST node) {
  auto &r = g_turns.ready;
  r.erase(std::remove(r.begin(), r.end(), node), r.end());
  std::vector<Waiting> keep;
  for (; !g_turns.paced.empty(); g_turns.paced.pop())
    if (g_turns.paced.top().node != node) keep.push_back(g_turns.paced.top());
  for (const Waiting &w : keep) g_turns.paced.push(w);
  if (node->state != nullptr) node->state->queued = false;
}

int PacedWaitMs() {
  if (g_turns.paced.empty()) return -1;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(g_turns.paced.top().when - Clock::now())
          .count();
  return static_cast<int>(std::clamp<long long>(left + 1, 0, 1000));
}

bool Serve(time_t stop, bool may_sleep, void (*between)()) {
  const unsigned rate = Rate();
  Clock::time_point last_between = Clock::now();
  while (!g_turns.link_failed) {
    const Clock::time_point now = Clock::now();
    if (between != nullptr && now - last_between >= kBetweenTurns) {
      between();
      last_between = now;
    }
    Wake(now);
    if (g_turns.ready.empty()) {
      if (g_turns.paced.empty()) return true;
      if (!may_sleep || veld_time(nullptr) >= stop) return false;
      // Every queued file waits for its rate: a second covers the wait of
      // any that sent a whole burst.
      veld_sleep(1);
      Wake(now + std::chrono::seconds(1));
      continue;
    }
    if (veld_time(nullptr) >= stop) return false;
    ServeFront(rate);
  }
  return false;
}

void ServeOnly(P_LOGFILE_LIST node, FileState *fs) {
  const unsigned rate = Rate();
  while (!g_turns.link_failed) {
    if (!HasBacklog(node, *fs)) {
      Drained(node, fs);  // a rotation queues the backup's unsent end
      if (!HasBacklog(node, *fs)) return;
    }
    size_t records = 0;
    if (Turn(node, fs, &records) == ReadOutcome::kLinkDown) return;
    AfterTurn();
    // One file alone: a full burst, and it waits for its rate.
    if (rate > 0 && records >= kBurstRecords && HasBacklog(node, *fs)) veld_sleep(1);
  }
}

bool LinkFailed() { return g_turns.link_failed; }
void ResetLinkFailed() { g_turns.link_failed = false; }

}  // namespace logfile
