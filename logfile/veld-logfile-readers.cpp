// veld-logfile-readers: the last reader of each file.  Bounded: the oldest
// entries are forgotten first, except those of files that are still what
// their node's path leads to, so an idle pass over more files than the bound
// does not forget and re-learn them all.

#include "veld-logfile-readers.h"

#include <deque>
#include <functional>
#include <unordered_map>

#include "veld-logfile-follow.h"

namespace logfile {

namespace {

constexpr size_t kMaxReaders = 4096;  // files no longer tailed whose last reader is remembered

struct IdHash {
  size_t operator()(const FileId &id) const {
    return std::hash<uint64_t>{}(static_cast<uint64_t>(id.ino) * 1000003u ^
                                 static_cast<uint64_t>(id.dev));
  }
};

struct Reader {
  P_LOGFILE_LIST node;
  statx_timestamp birth;
  uint64_t offset;
  Fingerprint fp;  // an inode number may come back for another file: these bytes tell
};

// The last reader of each file, tailer only; the oldest are forgotten first.
struct Readers {
  std::unordered_map<FileId, Reader, IdHash> map;
  std::deque<FileId> order;
};

Readers &TheReaders() {
  static Readers r;
  return r;
}

}  // namespace

void NoteReader(FileId id, const statx_timestamp &birth, P_LOGFILE_LIST node, uint64_t offset,
                const Fingerprint &fp) {
  Readers &r = TheReaders();
  auto [it, added] = r.map.insert_or_assign(id, Reader{node, birth, offset, fp});
  (void)it;
  if (!added) return;
  r.order.push_back(id);
  if (r.order.size() <= kMaxReaders) return;
  // The oldest entry goes, unless its file is still the one its path leads
  // to: every tailed file stays known however many there are, or an idle
  // pass over more files than the bound would forget and re-learn them all.
  const FileId oldest = r.order.front();
  r.order.pop_front();
  auto o = r.map.find(oldest);
  if (o == r.map.end()) return;
  const FileState *s = o->second.node->state;
  if (s != nullptr && s->identity_known && s->id == oldest)
    r.order.push_back(oldest);
  else
    r.map.erase(o);
}

bool TakeOver(FileId id, const statx_timestamp &birth, int fd, P_LOGFILE_LIST node,
              uint64_t *offset, Fingerprint *fp) {
  Readers &r = TheReaders();
  auto it = r.map.find(id);
  if (it == r.map.end() || it->second.node == node || !SameBirth(it->second.birth, birth))
    return false;
  const FileState *other = it->second.node->state;
  // Two paths that lead to the same file are both read; only a file the
  // other path has moved away from changes hands.
  if (other != nullptr && other->identity_known && other->id == id) return false;
  if (!it->second.fp.Matches(fd, it->second.offset)) return false;
  *offset = it->second.offset;
  *fp = it->second.fp;
  it->second.node = node;
  return true;
}

bool IsReader(FileId id, const statx_timestamp &birth, P_LOGFILE_LIST node) {
  Readers &r = TheReaders();
  auto it = r.map.find(id);
  return it == r.map.end() || it->second.node == node || !SameBirth(it->second.birth, birth);
}

bool ReadWhole(FileId id, const statx_timestamp &birth, off_t size) {
  Readers &r = TheReaders();
  auto it = r.map.find(id);
  return it != r.map.end() && SameBirth(it->second.birth, birth) &&
         it->second.offset >= static_cast<uint64_t>(size);
}

}  // namespace logfile
