// veld-logfile-readers: the last reader of each file, and the tailed paths.
// The readers are bounded: the oldest entries are forgotten first, except
// those of files that are still what their node's path leads to, so an idle
// pass over more files than the bound does not forget and re-learn them all.

#include "veld-logfile-readers.h"

#include <deque>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "veld-logfile-follow.h"

namespace logfile {

namespace {

constexpr size_t kMaxReaders = 4096;  // files no longer tailed whose last reader is remembered

struct InodeHash {
  size_t operator()(const FileId &id) const {
    return std::hash<uint64_t>{}(static_cast<uint64_t>(id.ino) * 1000003u ^
                                 static_cast<uint64_t>(id.dev));
  }
};
struct InodeEq {
  bool operator()(const FileId &a, const FileId &b) const { return a.SameInode(b); }
};

struct Reader {
  FileId id;  // the whole identity: the key is the inode only
  P_LOGFILE_LIST node;
  uint64_t offset;
  Fingerprint fp;
};

// The last reader of each file, tailer only; the oldest are forgotten first.
struct Readers {
  std::unordered_map<FileId, Reader, InodeHash, InodeEq> map;
  std::deque<FileId> order;
  std::unordered_set<std::string_view> paths;  // of every node taken in
  P_LOGFILE_LIST head = nullptr;               // the list the paths describe
  P_LOGFILE_LIST last = nullptr;               // the last node taken in
};

Readers &TheReaders() {
  static Readers r;
  return r;
}

// The entry for the very file `id`, or null.
Reader *Find(const FileId &id) {
  Readers &r = TheReaders();
  auto it = r.map.find(id);
  return it != r.map.end() && it->second.id == id ? &it->second : nullptr;
}

// Whether the node's path still leads to the file `id`.
bool IsCurrentOf(const FileId &id, P_LOGFILE_LIST node) {
  const FileState *s = node->state;
  return s != nullptr && s->known && s->found && s->cur.id == id;
}

}  // namespace

void NoteReader(const FileId &id, P_LOGFILE_LIST node, uint64_t offset, const Fingerprint &fp) {
  Readers &r = TheReaders();
  auto [it, added] = r.map.insert_or_assign(id, Reader{id, node, offset, fp});
  (void)it;
  if (!added) return;
  r.order.push_back(id);
  if (r.order.size() <= kMaxReaders) return;
  const FileId oldest = r.order.front();
  r.order.pop_front();
  auto o = r.map.find(oldest);
  if (o == r.map.end()) return;
  if (IsCurrentOf(o->second.id, o->second.node))
    r.order.push_back(oldest);
  else
    r.map.erase(o);
}

bool TakeOver(const FileId &id, int fd, P_LOGFILE_LIST node, uint64_t *offset, Fingerprint *fp) {
  Reader *r = Find(id);
  // Two paths that lead to the same file are both read; only a file the
  // other path has moved away from changes hands.
  if (r == nullptr || r->node == node || IsCurrentOf(id, r->node) ||
      !Confirmed(id, r->fp, fd, r->offset))
    return false;
  *offset = r->offset;
  *fp = r->fp;
  r->node = node;
  return true;
}

bool IsReader(const FileId &id, P_LOGFILE_LIST node) {
  const Reader *r = Find(id);
  return r == nullptr || r->node == node;
}

bool ReadWhole(const FileId &id, off_t size) {
  const Reader *r = Find(id);
  return r != nullptr && r->offset >= static_cast<uint64_t>(size);
}

bool TailedElsewhere(const FileId &id, P_LOGFILE_LIST node) {
  const Reader *r = Find(id);
  return r != nullptr && r->node != node && IsCurrentOf(id, r->node);
}

void ForgetReader(P_LOGFILE_LIST node) {
  Readers &r = TheReaders();
  for (auto it = r.map.begin(); it != r.map.end();)
    it = it->second.node == node ? r.map.erase(it) : std::next(it);
  ForgetPath(node);
}

void ForgetPath(P_LOGFILE_LIST node) {
  if (node->log_file != nullptr) TheReaders().paths.erase(node->log_file);
}

void CatchUpPaths() {
  Readers &r = TheReaders();
  P_LOGFILE_LIST h = LogFileList.load(std::memory_order_acquire);
  if (h != r.head) {
    r.head = h;
    r.last = nullptr;
    r.paths.clear();
  }
  for (P_LOGFILE_LIST n = r.last ? r.last->next.load(std::memory_order_acquire) : h; n != nullptr;
       n = n->next.load(std::memory_order_acquire)) {
    if (n->log_file != nullptr && !n->retired.load(std::memory_order_acquire))
      r.paths.insert(n->log_file);
    r.last = n;
  }
}

void NotePath(P_LOGFILE_LIST node) {
  if (node->log_file != nullptr) TheReaders().paths.insert(node->log_file);
}

bool IsTailedPath(std::string_view path) { return TheReaders().paths.count(path) != 0; }

}  // namespace logfile
