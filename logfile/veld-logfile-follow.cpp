// veld-logfile-follow: what the tailer does when the file behind a path
// changes.  Every way it can change, how it is seen, and what is done:
//
//   the file ...                 seen as                       done
//   grew                         same identity, same bytes     read on from the offset
//                                before the offset
//   was renamed away and a new   another identity at the path  the old one is read to its end
//   one made (rotation)                                        (held descriptor, or found by its
//                                                              identity among its siblings), then
//                                                              every file born at the path in
//                                                              between, then the new one from 0
//   was replaced (renamed over,  another identity              as above; the old one only while
//   or deleted and made anew)                                  held or still there
//   had its inode number reused  same inode, other birth or    another file: as replaced
//                                owner
//   was truncated                same identity, shorter than   its unsent end is looked for in a
//                                the offset                    copy; then read from 0
//   was copied, then truncated   same identity, other bytes    the copy (same bytes before the
//   (and maybe grew back past    before the offset or at the   offset and at the start) is read
//   the offset)                  start                         from the offset, copies made after
//                                                              it whole, the live file from 0
//   was deleted while held       path gone, or no name left    read to its end from the held
//                                                              descriptor, then let go
//   was compressed after we      its name gone (the .gz is     as deleted while held; the .gz is
//   took it over                 another file, never read)     never read
//
// An identity is device, inode, birth and owner; a fingerprint of nothing
// vouches for nothing.  Look runs whether or not the link is up, so every
// generation is found and held while the collector is away; whatever can
// not be found again is said once.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <new>

#include "veld-config-unix.h"
#include "veld-logfile-follow.h"
#include "veld-logfile-readers.h"

namespace logfile {

namespace {

constexpr char kMsgRestLost[] =
    "The unsent end of log file %s was moved away and could not be found again";
constexpr char kMsgBetweenSkipped[] =
    "%zu files that lived at log file %s between two looks were not sent (%zu at most are taken)";
// The descriptor of the target: the one held for the current file, or one
// opened into *opened (-1 when it cannot be).
int TargetFd(const FileState *fs, const Target &t, veld::UniqueFd *opened) {
  if (fs->cur.fd.ok()) return fs->cur.fd.get();
  *opened = OpenTarget(t, O_RDONLY);
  return opened->get();
}

void Queue(P_LOGFILE_LIST node, FileState *fs, Generation g) {
  NoteReader(g.id, node, g.offset, g.fp);
  fs->earlier.push_back(std::move(g));
}

// Queues the files born at the path after `after` and, when the path has
// moved on, not after the file it leads to now (`moved`).
void QueueBetween(P_LOGFILE_LIST node, FileState *fs, const Target &t, const FileId &after,
                  bool moved) {
  std::vector<Generation> found;
  size_t skipped = 0;
  FindBetween(node, t, after, moved ? &t.id : nullptr, &found, &skipped);
  for (Generation &g : found) Queue(node, fs, std::move(g));
  if (skipped > 0) Log(2, kMsgBetweenSkipped, skipped, node->log_file, kMaxBetween);
}

// Whether a file still had something unsent when last seen (a file never
// seen whole may have).
bool Unsent(const Generation &g, uint64_t offset) { return offset < g.size || g.size == 0; }

// The unsent end of the file `g` (its offset `offset`) is in a copy that
// holds the same bytes before the offset and at the start: a copy-and-
// truncate's, or our own rotation's.  Queued with what was born after it.
bool QueueCopy(P_LOGFILE_LIST node, FileState *fs, const Target &t, const Generation &g,
               uint64_t offset) {
  Generation copy;
  veld::UniqueFd fd = FindCopy(t, offset, g.fp, g.head, &copy.id);
  if (!fd.ok()) return false;
  copy.fd.Take(std::move(fd));
  copy.offset = offset;
  copy.fp = g.fp;
  const FileId after = copy.id;
  Queue(node, fs, std::move(copy));
  QueueBetween(node, fs, t, after, false);
  return true;
}

// Takes the file the path leads to now as the node's file, held open.  It
// is read from its start, or from the offset kept (`keep`: the offset and
// fingerprints already belong to it), or, when another node read it until
// its own path moved away from it (a file renamed within a watched
// directory and found again by the scan), from where that node left it.
void Adopt(P_LOGFILE_LIST node, FileState *fs, const Target &t, bool keep) {
  veld::UniqueFd fd = OpenTarget(t, O_RDONLY);
  Generation cur;
  cur.id = t.id;
  if (keep) {
    cur.fp = fs->cur.fp;
    cur.head = fs->cur.head;
  } else {
    node->filesize = 0;
  }
  fs->cur = std::move(cur);
  fs->known = true;
  uint64_t offset;
  Fingerprint fp;
  if (fd.ok() && TakeOver(t.id, fd.get(), node, &offset, &fp)) {
    node->filesize = offset;
    fs->cur.fp = fp;
    fs->cur.head = Fingerprint{};
  }
  NoteReader(fs->cur.id, node, node->filesize, fs->cur.fp);
  if (fd.ok()) fs->cur.fd.Take(std::move(fd));
}

// The path leads to another file than the one the offset was measured in:
// the old one's unsent end goes first, found by its held descriptor or its
// identity (or, failing both, by its bytes in a copy), then whatever lived at
// the path in between.
void MovedOn(P_LOGFILE_LIST node, FileState *fs, const Target &t) {
  Generation old = std::move(fs->cur);
  old.offset = node->filesize;
  const FileId after = old.id;
  bool there = old.fd.ok();
  if (!there) {
    // One the budget would not let us hold is found again when its turn comes.
    veld::UniqueFd fd = FindByIdentity(t.dir, old);
    there = fd.ok();
    old.fd.Take(std::move(fd));
  }
  if (there) {
    Queue(node, fs, std::move(old));
    QueueBetween(node, fs, t, after, true);
  } else if (!Unsent(old, old.offset) || !QueueCopy(node, fs, t, old, old.offset)) {
    if (Unsent(old, old.offset)) SayLost(node);
    QueueBetween(node, fs, t, after, true);
  }
  Adopt(node, fs, t, false);
}

// After a start: the files saved as unsent are found again by identity, and
// the saved current file is checked against what the path holds.
void Resume(P_LOGFILE_LIST node, FileState *fs, const Target &t) {
  fs->from_positions = false;
  for (auto it = fs->earlier.begin(); it != fs->earlier.end();) {
    veld::UniqueFd fd = FindByIdentity(t.dir, *it);
    if (fd.ok()) {
      it->fd.Take(std::move(fd));
      NoteReader(it->id, node, it->offset, it->fp);
      ++it;
    } else {
      if (Unsent(*it, it->offset)) SayLost(node);
      it = fs->earlier.erase(it);
    }
  }
  if (fs->cur.id == t.id)
    Adopt(node, fs, t, true);
  else
    MovedOn(node, fs, t);
}

// The file at the path must still hold what the offset was measured in:
// not shorter, the same bytes just before it and the same first bytes.  An
// idle file costs nothing here.
void CheckContinuity(P_LOGFILE_LIST node, FileState *fs, const Target &t) {
  const uint64_t size = static_cast<uint64_t>(t.st.st_size), offset = node->filesize;
  if (size == offset || (offset == 0 && fs->cur.head.empty())) return;
  bool rewritten = size < offset;
  if (!rewritten && (!fs->cur.fp.empty() || !fs->cur.head.empty())) {
    veld::UniqueFd opened;
    const int fd = TargetFd(fs, t, &opened);
    rewritten = fd >= 0 && !StillHolds(fd, offset, fs->cur);
  }
  if (rewritten) LostHead(node, fs, t);
}

// The path is gone, or may not be read: a held file is read on, since a
// writer may go on writing into it until it reopens its log; once it has
// no name left and is read to its end, it is let go.
void LookHeld(P_LOGFILE_LIST node, FileState *fs) {
  if (!CurrentIsOurs(node, fs)) return;
  struct stat st;
  if (!fs->cur.fd.ok() || !StatFd(fs->cur.fd.get(), &st, nullptr)) return;
  fs->cur.size = static_cast<uint64_t>(st.st_size);
  fs->cur.deleted = st.st_nlink == 0;
  if (fs->cur.deleted && node->filesize >= fs->cur.size) fs->cur.fd.reset();
}

// Files moved away: their sizes as they stand (one not held is found by its
// identity), and those sent whole and no longer growing let go (a writer may
// go on writing into a renamed file for a while).  A file another node has
// taken is theirs.
void LookEarlier(P_LOGFILE_LIST node, FileState *fs) {
  for (auto it = fs->earlier.begin(); it != fs->earlier.end();) {
    struct stat st;
    veld::UniqueFd opened;  // one the budget would not let us hold
    const int fd = it->fd.ok() ? it->fd.get() : EarlierFd(node, *it, &opened);
    const bool held = fd >= 0 && StatFd(fd, &st, nullptr);
    const uint64_t size = held ? static_cast<uint64_t>(st.st_size) : it->size;
    if (!IsReader(it->id, node) || (it->offset >= size && size == it->size)) {
      it = fs->earlier.erase(it);
      continue;
    }
    it->size = size;
    if (held) it->deleted = st.st_nlink == 0;
    ++it;
  }
}

}  // namespace

FileState *StateOf(P_LOGFILE_LIST node) {
  if (node->state == nullptr && (node->state = new (std::nothrow) FileState{}) != nullptr)
    NotePath(node);  // a node the scanner gave a new path is not new to the list
  return node->state;
}

void LostHead(P_LOGFILE_LIST node, FileState *fs, const Target &t) {
  const uint64_t offset = node->filesize;
  if ((offset > 0 || !fs->cur.head.empty()) && !QueueCopy(node, fs, t, fs->cur, offset)) {
    SayLost(node);
    // The copies made since the last look still hold whole lines unread.
    FileId since;
    since.has_birth = fs->looked_at.tv_sec != 0;
    since.birth = fs->looked_at;
    QueueBetween(node, fs, t, since, false);
  }
  node->filesize = 0;
  fs->cur.size = static_cast<uint64_t>(t.st.st_size);
  fs->cur.fp = Fingerprint{};
  // The first bytes of what the path holds now, taken at once: should it be
  // emptied again before it is read, its copy can still be told.
  veld::UniqueFd opened;
  const int fd = TargetFd(fs, t, &opened);
  if (fd < 0 || !fs->cur.head.Take(fd, std::min<uint64_t>(static_cast<uint64_t>(t.st.st_size),
                                                          Fingerprint::kBytes)))
    fs->cur.head = Fingerprint{};
}

bool Look(P_LOGFILE_LIST node, FileState *fs, Target *t) {
  const bool found = FindTarget(node, fs, t);
  fs->found = found;
  if (found) {
    if (fs->from_positions)
      Resume(node, fs, *t);
    else if (!fs->known)
      Adopt(node, fs, *t, true);  // first sight: an offset saved without an identity is trusted
    else if (!(fs->cur.id == t->id))
      MovedOn(node, fs, *t);
    CheckContinuity(node, fs, *t);
    fs->cur.size = static_cast<uint64_t>(t->st.st_size);
    fs->cur.deleted = false;
    fs->cur.id = t->id;
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);  // the clock file births are taken from
    fs->looked_at = statx_timestamp{now.tv_sec, static_cast<uint32_t>(now.tv_nsec), 0};
  } else {
    LookHeld(node, fs);
  }
  LookEarlier(node, fs);
  return found;
}

bool CurrentIsOurs(P_LOGFILE_LIST node, FileState *fs) {
  if (!fs->known || IsReader(fs->cur.id, node)) return true;
  // Renamed within a watched directory and taken on by the node of its new
  // name: this path starts afresh with whatever file comes next.
  fs->cur = Generation{};
  fs->known = false;
  node->filesize = 0;
  return false;
}

void SayLost(P_LOGFILE_LIST node) { Log(2, kMsgRestLost, node->log_file); }

bool StillHolds(int fd, uint64_t offset, const Generation &g) {
  return (g.fp.empty() || g.fp.Matches(fd, offset)) &&
         (g.head.empty() || g.head.Matches(fd, g.head.len));
}

bool HasBacklog(P_LOGFILE_LIST node, const FileState &fs) {
  if (node->filesize < fs.cur.size) return true;
  return std::any_of(fs.earlier.begin(), fs.earlier.end(),
                     [](const Generation &g) { return g.offset < g.size; });
}

uint64_t Backlog(P_LOGFILE_LIST node, const FileState &fs) {
  uint64_t sum = fs.cur.size > node->filesize ? fs.cur.size - node->filesize : 0;
  for (const Generation &g : fs.earlier)
    if (g.size > g.offset) sum += g.size - g.offset;
  return sum;
}

void QueueOwnBackup(P_LOGFILE_LIST node, FileState *fs, veld::UniqueFd backup) {
  Generation g;
  struct stat st;
  if (StatFd(backup.get(), &st, &g.id)) {
    g.size = static_cast<uint64_t>(st.st_size);
    g.offset = node->filesize;
    g.fp = fs->cur.fp;
    g.head = fs->cur.head;
    g.fd.Take(std::move(backup));
    Queue(node, fs, std::move(g));
  }
  node->filesize = 0;
  fs->cur.fp = Fingerprint{};
  fs->cur.head = Fingerprint{};
}

void NoteCurrent(P_LOGFILE_LIST node, FileState *fs) {
  if (!fs->known || (fs->noted && fs->noted_id == fs->cur.id && fs->noted_offset == node->filesize))
    return;
  NoteReader(fs->cur.id, node, node->filesize, fs->cur.fp);
  fs->noted = true;
  fs->noted_id = fs->cur.id;
  fs->noted_offset = node->filesize;
}

}  // namespace logfile
