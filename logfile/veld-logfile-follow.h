// veld-logfile-follow: following a tailed file across rotation.  The tailer
// keeps a FileState for each node: the file its path led to when last
// looked at, and the files the path has moved away from whose lines are not
// all sent yet.  Look decides, for every way the file behind a path can
// change, what is to be read (the case table is in veld-logfile-follow.cpp);
// the directory searches it relies on are in veld-logfile-follow-find.cpp.
// The tailer then sends what Look left queued, oldest file first.
#ifndef VELD_LOGFILE_FOLLOW_H
#define VELD_LOGFILE_FOLLOW_H

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <vector>

#include "veld-logfile-identity.h"
#include "veld-logfile-look.h"
#include "veld-logfile.h"
#include "veld-owners.h"

namespace logfile {

// A descriptor held between passes (veld-logfile-hold.cpp).  Every one
// counts against one budget, the descriptor limit less a reserve
// (ResetHoldBudget takes it afresh).
class HeldFd {
 public:
  HeldFd() = default;
  ~HeldFd() { reset(); }
  HeldFd(HeldFd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  HeldFd &operator=(HeldFd &&o) noexcept;
  HeldFd(const HeldFd &) = delete;
  HeldFd &operator=(const HeldFd &) = delete;
  // Holds `fd` when the budget allows (closing what was held before);
  // false, `fd` closed, otherwise.
  bool Take(veld::UniqueFd fd);
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset();
  static size_t held();

 private:
  int fd_ = -1;
};
void ResetHoldBudget();

// One file of a node's: the one its path leads to, or one the path moved
// away from.  The current file's offset is the node's filesize.
struct Generation {
  FileId id;
  HeldFd fd;             // held while the budget allows; found again by identity otherwise
  uint64_t offset = 0;   // where its unsent part starts (files moved away)
  uint64_t size = 0;     // what it held when last looked at
  Fingerprint fp;        // the bytes before the offset
  Fingerprint head;      // its first bytes, once read
  bool deleted = false;  // its last name is gone: only the held descriptor reaches it
};

struct FileState {
  bool known = false;           // cur.id is the file the offset was measured in
  bool from_positions = false;  // cur and earlier as saved, not yet checked
  Generation cur;
  std::deque<Generation> earlier;  // files the path moved away from, oldest first
  // The turn: whether the node waits in the tailer's queue, when it may
  // send again over a paced link, and the stamp its records carry.
  bool queued = false;
  std::chrono::steady_clock::time_point next_turn{};
  time_t stamp = 0;
  bool stamped = false;
  bool found = false;       // the last look found a file at the path
  time_t behind_since = 0;  // since when it has had lines unsent; 0 while it has none
  // When the path was last seen leading to the current file, on the clock
  // file births are kept on: a copy made after it holds lines not yet read.
  statx_timestamp looked_at{};
  // What was last put in the readers' index for this node, so that an idle
  // file costs no lookup there.
  bool noted = false;
  FileId noted_id;
  uint64_t noted_offset = 0;
  // Each refusal or failure is said once, until the condition ends.
  bool missing_logged = false;
  bool nonregular_logged = false;
  bool unsafe_logged = false;
  bool unemptiable_logged = false;
};

// The node's state, made at its first visit; null when memory is short.
FileState *StateOf(P_LOGFILE_LIST node);

// Looks at what the node's path leads to now and brings the state up to
// date: moved files queued, the offset reset where the file was rewritten.
// Runs whether or not the link is up, so no rotation goes unfollowed.  The
// target, when the path led to a readable file, is left in *t.
bool Look(P_LOGFILE_LIST node, FileState *fs, Target *t);
// Whether the node still reads its current file; when another node has
// taken it on (a rename within a watched directory), the node lets it go
// and false is returned.
bool CurrentIsOurs(P_LOGFILE_LIST node, FileState *fs);
// Says that the node's unsent end was moved away and is lost.
void SayLost(P_LOGFILE_LIST node);
// Whether `fd` still holds what the offset of `g` was measured in: the
// same bytes before `offset` and at its start, where they are known.
bool StillHolds(int fd, uint64_t offset, const Generation &g);
// Whether the node has lines not sent yet.
bool HasBacklog(P_LOGFILE_LIST node, const FileState &fs);
// The unsent bytes of the node, over all its files.
uint64_t Backlog(P_LOGFILE_LIST node, const FileState &fs);
// The current file shrank or changed under a read: look for where its unsent
// end went, and read what the path holds now from its start.
void LostHead(P_LOGFILE_LIST node, FileState *fs, const Target &t);
// Our own rotation copied the current file into `backup` and emptied it:
// the backup is queued from the offset (lines written between our read and
// the copy are there alone) and the current file is read from 0.
void QueueOwnBackup(P_LOGFILE_LIST node, FileState *fs, veld::UniqueFd backup);
// Notes in the readers' index how far the node has read its current file;
// an unchanged note costs nothing.
void NoteCurrent(P_LOGFILE_LIST node, FileState *fs);
// A descriptor of a file moved away: the held one, or one found again by
// identity in the node's directory into *opened; -1 when it cannot be.
int EarlierFd(P_LOGFILE_LIST node, const Generation &g, veld::UniqueFd *opened);

// Files deleted while held keep their space pinned until they are sent.
// At most LogHoldFiles of them, pinning at most LogHoldSize MiB, are kept;
// past that the oldest is let go, its unsent lines counted and said
// (veld-logfile-hold.cpp).  Live files are never let go.  Run after a look
// at every node; *files and *bytes receive what stays held.
void EnforceHoldCap(uint64_t *files, uint64_t *bytes);

// The directory searches (veld-logfile-follow-find.cpp).  `name` is the
// live file's name in `dir` and `owner` its owner: only regular files of
// that owner, named as rotation tools name a moved file, are considered.
//
// The entry of `dir` that is the file `g.id`, confirmed by the bytes before
// g.offset (or by its birth alone when there are none), opened for reading.
veld::UniqueFd FindByIdentity(int dir, const Generation &g);
// The copy a copy-and-truncate, or our own rotation, left of the file: a
// sibling holding at least `offset` bytes, `fp` before `offset` and `head`
// at its start (at least one of the two not empty).  The youngest, when
// several qualify; its identity in *id.  Siblings of the file `t` are
// looked for in t.dir, under the path rule (MayTouch) and owned as it is.
veld::UniqueFd FindCopy(const Target &t, uint64_t offset, const Fingerprint &fp,
                        const Fingerprint &head, FileId *id);
// Files that lived at the path after `after` was born and not after
// `before` (when given), both excluded, oldest first, at most kMaxBetween;
// none tailed by another node nor read whole already.  Births are kept to
// the clock's tick: one born in the same tick counts as in between.
// *skipped counts those found beyond the bound.
inline constexpr size_t kMaxBetween = 16;
void FindBetween(P_LOGFILE_LIST node, const Target &t, const FileId &after, const FileId *before,
                 std::vector<Generation> *out, size_t *skipped);

}  // namespace logfile

#endif
