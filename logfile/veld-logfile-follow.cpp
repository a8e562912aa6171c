// veld-logfile-follow: what the tailer does when a file has moved.  The
// path may lead to another file than the one last read (a rotation renamed
// the old one away, and maybe created whole files in between), or the file
// may have been emptied or rewritten under the offset (a copy-and-truncate,
// or our own rotation before a crash).  The unsent rest of the old file, and
// every file that lived at the path in between, are queued and sent before
// the file the path leads to now (veld-logfile-siblings.cpp finds them).

#include <fcntl.h>
#include <sys/stat.h>

#include "veld-config-unix.h"
#include "veld-logfile-internal.h"
#include "veld-logfile.h"

namespace logfile {

namespace {

constexpr char kMsgRestLost[] =
    "The unsent end of log file %s was moved away and could not be found again";

}  // namespace

// Puts a file the path has moved away from in line to be sent, and claims
// it, so a node that finds it again by its new name does not send it too.
void Queue(P_LOGFILE_LIST node, FileState *fs, Earlier e) {
  NoteReader(e.id, e.birth, node, e.offset, e.fp);
  fs->earlier.push_back(std::move(e));
}

namespace {

// The files born at the path after `first` (queued already), up to now.
void QueueBetween(P_LOGFILE_LIST node, FileState *fs, const Target &t, FileId first,
                  const statx_timestamp &born) {
  std::vector<Earlier> found;
  FindBetween(t.dir, t.name, born, {first, IdOf(t.st)}, &found);
  for (Earlier &e : found) Queue(node, fs, std::move(e));
}

// Queues the old file `fd` (identity `id`) from the node's offset, and every
// file born at the path after it.
void QueueMoved(P_LOGFILE_LIST node, FileState *fs, const Target &t, veld::UniqueFd fd, FileId id) {
  Earlier e;
  e.birth = BirthOf(fd.get());
  e.fd = std::move(fd);
  e.id = id;
  e.offset = node->filesize;
  e.fp = fs->fp;
  const statx_timestamp born = e.birth;
  Queue(node, fs, std::move(e));
  QueueBetween(node, fs, t, id, born);
}

// The descriptor of the target's file: the one held, when it is that file,
// or one opened into *opened (-1 when it cannot be).
int TargetFd(const FileState *fs, const Target &t, veld::UniqueFd *opened) {
  // A held descriptor is always that of the file `id`.
  if (fs->fd.ok() && fs->identity_known && fs->id == IdOf(t.st)) return fs->fd.get();
  *opened = OpenTarget(t, O_RDONLY);
  return opened->get();
}

// The file at the path was emptied or rewritten under the offset: its unsent
// end went into a copy (made by a copy-and-truncate, or by our rotation
// before a crash), and the copies made after it hold whole files.
}  // namespace

void LostHead(P_LOGFILE_LIST node, FileState *fs, const Target &t) {
  // Nothing read yet, but the file's first bytes were seen: it was emptied
  // before it could be read, and its copy is looked for all the same.
  if (node->filesize > 0 || fs->head.len > 0) {
    veld::UniqueFd copy = FindCopy(t.dir, t.name, node->filesize, fs->fp, fs->head);
    struct stat st;
    if (copy.ok() && fstat(copy.get(), &st) == 0) {
      QueueMoved(node, fs, t, std::move(copy), IdOf(st));
    } else if (!fs->lost_logged) {
      Log(2, kMsgRestLost, node->log_file);
      fs->lost_logged = true;
    }
  }
  node->filesize = 0;
  fs->fp = Fingerprint{};
  // The first bytes of what the path holds now, taken at once: should it be
  // emptied again before it is read, its copy can still be told.
  fs->head = Fingerprint{};
  veld::UniqueFd opened;
  const int fd = TargetFd(fs, t, &opened);
  if (fd >= 0 && !fs->head.Take(fd, std::min<uint64_t>(static_cast<uint64_t>(t.st.st_size),
                                                       Fingerprint::kBytes)))
    fs->head = Fingerprint{};
}

namespace {

// Takes the file the path leads to now as the node's file: it is read from
// its start, or, when another node read it until its own path moved away
// from it (a file renamed within a watched directory and found again by the
// scan), from where that node left it.
void Adopt(P_LOGFILE_LIST node, FileState *fs, const Target &t, bool keep_offset) {
  fs->id = IdOf(t.st);
  fs->identity_known = true;
  fs->birth = BirthAt(t.dir, t.name);
  uint64_t offset;
  Fingerprint fp;
  veld::UniqueFd fd;
  // Opened only to check a file another node read: an idle file is not.
  if (!IsReader(fs->id, fs->birth, node)) fd = OpenTarget(t, O_RDONLY);
  if (fd.ok() && TakeOver(fs->id, fs->birth, fd.get(), node, &offset, &fp)) {
    node->filesize = offset;
    fs->fp = fp;
    fs->head = Fingerprint{};  // taken again at the next read
  } else if (!keep_offset) {
    node->filesize = 0;
    fs->fp = Fingerprint{};
    fs->head = Fingerprint{};
  } else {
    fs->head = Fingerprint{};  // taken again at the next read
  }
  NoteReader(fs->id, fs->birth, node, node->filesize, fs->fp);
  if (fd.ok()) Hold(fs, std::move(fd));
}

}  // namespace

// The path leads to another file than the one last read (or is seen for the
// first time since a start).  The old file's unread rest, and every file that
// lived at the path in between, go first.
void Arrive(P_LOGFILE_LIST node, FileState *fs, const Target &t) {
  const FileId now = IdOf(t.st);
  const bool saved = fs->from_positions;
  fs->from_positions = false;
  if (!fs->identity_known || (saved && fs->id == now)) {
    // First sight: an offset saved without an identity is trusted, as is
    // one saved for this very file (its fingerprint is checked next).
    Adopt(node, fs, t, true);
    return;
  }
  veld::UniqueFd old = Unhold(fs);
  if (!old.ok()) old = FindByIdentity(t.dir, fs->id, node->filesize, fs->fp);
  if (old.ok()) {
    QueueMoved(node, fs, t, std::move(old), fs->id);
  } else {
    LostHead(node, fs, t);  // looks for a copy by its bytes instead
  }
  Adopt(node, fs, t, false);
}

// Checks, before reading on, that the file still holds what the offset
// was measured in: not shorter, and the same bytes just before it.
void CheckContinuity(P_LOGFILE_LIST node, FileState *fs, const Target &t) {
  const uint64_t size = static_cast<uint64_t>(t.st.st_size), offset = node->filesize;
  if (size == offset || (offset == 0 && fs->head.len == 0)) return;
  bool rewritten = size < offset;
  if (!rewritten && (fs->fp.len > 0 || fs->head.len > 0)) {
    veld::UniqueFd opened;
    const int fd = TargetFd(fs, t, &opened);
    rewritten = fd >= 0 && (!fs->fp.Matches(fd, offset) || !fs->head.Matches(fd, fs->head.len));
  }
  if (rewritten) LostHead(node, fs, t);
}

// Sends the unsent rest of the files the path has moved away from, oldest
// first.  One is let go once a pass finds it sent and no longer growing (a
// writer may go on writing into a renamed file until it reopens its log).
// False when the link failed.
bool DrainEarlier(P_LOGFILE_LIST node, FileState *fs, PassStamp *stamp) {
  for (size_t i = 0; i < fs->earlier.size();) {
    Earlier &e = fs->earlier[i];
    struct stat st;
    if (!IsReader(e.id, e.birth, node) || fstat(e.fd.get(), &st) != 0) {
      fs->earlier.erase(fs->earlier.begin() + static_cast<long>(i));
      continue;
    }
    const off_t seen = e.seen_size;
    e.seen_size = st.st_size;
    if (static_cast<uint64_t>(st.st_size) > e.offset) {
      Read r = SendFrom(e.fd.get(), &e.offset, static_cast<uint64_t>(st.st_size), &e.fp, stamp);
      NoteReader(e.id, e.birth, node, e.offset, e.fp);
      if (r == Read::kLinkDown) return false;
    }
    if (st.st_size == seen && e.offset >= static_cast<uint64_t>(st.st_size))
      fs->earlier.erase(fs->earlier.begin() + static_cast<long>(i));
    else
      ++i;
  }
  return true;
}

}  // namespace logfile
