// veld-logfile-position: the position file, one
// "path=offset,timestamp,device,inode,fingerprint" line per tailed file,
// which lets a restart resume where the tailer left off, and know whether
// the file at the path is still the one the offset was measured in.
//
// It is replaced whole and atomically (a synced sibling renamed over it), so
// a crash or a full disk never costs the saved offsets, and it is left alone
// when nothing in it would change, so an idle agent does not flush the disk
// every ten seconds.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "veld-config-unix.h"
#include "veld-logfile-follow.h"
#include "veld-logfile-identity.h"
#include "veld-logfile-rotate.h"
#include "veld-logfile.h"
#include "veld-owners.h"

using namespace logfile;

namespace {

constexpr size_t kPositionLine = 2048;  // a line longer than this is read in pieces

constexpr char kMsgPositionsRead[] = "Processed our watchdog file %s, successfully.";
constexpr char kMsgPositionsReadFailed[] = "Failed to read our watchdog file %s, ignoring.";

}  // namespace

namespace {

// The fields a line carries after the timestamp: the device and inode of
// the file the offset was measured in, and the bytes before the offset in
// hexadecimal.  A reader of "path=offset,timestamp" lines parses the
// timestamp up to the first comma and never sees them.
void WriteIdentity(std::string *out, const FileId &id, const Fingerprint &fp) {
  char number[64];
  std::snprintf(number, sizeof number, ",%" PRIu64 ",%" PRIu64 ",", static_cast<uint64_t>(id.dev),
                static_cast<uint64_t>(id.ino));
  *out += number;
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < fp.len; ++i) {
    *out += kHex[fp.bytes[i] >> 4];
    *out += kHex[fp.bytes[i] & 15];
  }
}

bool Digits(std::string_view s, uint64_t *v) {
  if (s.empty() || s.size() > 20) return false;
  uint64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9' || n > (UINT64_MAX - 9) / 10) return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  *v = n;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// `rest` is "timestamp[,dev,ino,fingerprint]"; a line that carries the
// identity gives it to the node, to be checked when the file is first seen.
void ReadIdentity(P_LOGFILE_LIST node, std::string_view rest) {
  std::string_view f[4];
  size_t n = 0;
  for (size_t at = 0; n < 4; ++n) {
    size_t comma = rest.find(',', at);
    f[n] = rest.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at);
    if (comma == std::string_view::npos) {
      ++n;
      break;
    }
    at = comma + 1;
  }
  uint64_t dev, ino;
  if (n < 4 || !Digits(f[1], &dev) || !Digits(f[2], &ino) ||
      f[3].size() > 2 * Fingerprint::kBytes || f[3].size() % 2 != 0)
    return;
  Fingerprint fp;
  for (size_t i = 0; i < f[3].size(); i += 2) {
    int hi = HexDigit(f[3][i]), lo = HexDigit(f[3][i + 1]);
    if (hi < 0 || lo < 0) return;
    fp.bytes[fp.len++] = static_cast<unsigned char>(hi * 16 + lo);
  }
  if (node->state == nullptr) node->state = new (std::nothrow) FileState{};
  if (node->state == nullptr) return;
  node->state->identity_known = true;
  node->state->from_positions = true;
  node->state->id = FileId{static_cast<dev_t>(dev), static_cast<ino_t>(ino)};
  node->state->fp = fp;
}

}  // namespace

int LogFileReadWatchdogFile(const char *watchdog_file) {
  if (watchdog_file == nullptr) return 0;
  veld::FilePtr f(std::fopen(watchdog_file, "re"));
  if (!f) return 1;

  // First node of each path, case-insensitively: a line goes to the first
  // node that a walk from the head would find, at the cost of one lookup.
  std::unordered_map<std::string_view, P_LOGFILE_LIST, veld::NoCaseHash, veld::NoCaseEq> first;
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
    if (n->log_file != nullptr) first.emplace(n->log_file, n);

  char line[kPositionLine];
  while (std::fgets(line, sizeof line, f.get()) != nullptr) {
    char *eq = std::strchr(line, '=');
    if (eq == nullptr) continue;
    char *comma = std::strchr(eq + 1, ',');
    if (comma == nullptr) continue;
    *eq = '\0';
    *comma = '\0';
    char *path = line, *offset = eq + 1, *stamp = comma + 1;
    trim(path);
    trim(offset);
    trim(stamp);
    auto it = first.find(std::string_view(path));
    if (it == first.end()) continue;
    it->second->filesize = std::strtoull(offset, nullptr, 0);
    it->second->timestamp = std::strtoull(stamp, nullptr, 0);
    ReadIdentity(it->second, stamp);
  }
  return 1;
}

namespace {

// What the last successful write put where.  The file on disk must still be
// the one we wrote (same inode, size and change time) for a pass that
// changed nothing to skip the write: a position file that was deleted,
// replaced or edited is written again.
struct WrittenPositions {
  std::mutex lock;
  std::string path;
  std::string content;
  std::string scratch;  // the next content; kept to reuse its storage
  struct stat st {};
  bool valid = false;
};

WrittenPositions &LastWritten() {
  static WrittenPositions w;
  return w;
}

bool SameFile(const struct stat &a, const struct stat &b) {
  return SameIdentity(a, b) && a.st_size == b.st_size && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

void BuildContent(std::string *content) {
  content->clear();
  char number[48];
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire)) {
    // Where the file's unsent lines start: in a file the path has moved away
    // from, or in the file it leads to now.
    uint64_t offset = n->filesize;
    const FileState *fs = n->state;
    const FileId *id = nullptr;
    const Fingerprint *fp = nullptr;
    if (fs != nullptr && fs->identity_known) {
      id = &fs->id;
      fp = &fs->fp;
      for (const Earlier &e : fs->earlier) {
        if (e.seen_size >= 0 && e.offset >= static_cast<uint64_t>(e.seen_size)) continue;
        offset = e.offset;
        id = &e.id;
        fp = &e.fp;
        break;
      }
    }
    *content += n->log_file != nullptr ? n->log_file : "";
    std::snprintf(number, sizeof number, "=%" PRIu64 ",%" PRIu64, offset, n->timestamp);
    *content += number;
    if (id != nullptr) WriteIdentity(content, *id, *fp);
    *content += '\n';
  }
}

// Writes `content` to a fresh sibling of `path`, syncs it and renames it over
// `path`; *written receives the new file's status.  "_hlr_" in the sibling's
// name keeps the directory scan off it.
bool ReplaceFile(const char *path, const std::string &content, struct stat *written) {
  std::string tmp = std::string(path) + "._hlr_tmpXXXXXX";
  veld::UniqueFd fd(mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd.ok()) return false;
  bool ok = fchmod(fd.get(), 0644) == 0 &&
            full_write(fd.get(), content.data(), content.size()) == content.size() &&
            fsync(fd.get()) == 0 && fstat(fd.get(), written) == 0;
  if (fd.close() != 0) ok = false;
  if (ok && std::rename(tmp.c_str(), path) != 0) ok = false;
  if (!ok) {
    unlink(tmp.c_str());
    return false;
  }
  // Make the rename itself durable; the file is in place either way.
  std::string dir(path);
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
  veld::UniqueFd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dfd.ok()) fsync(dfd.get());
  return true;
}

}  // namespace

int LogFileWriteWatchdogFile(const char *watchdog_file) {
  if (watchdog_file == nullptr) return 0;
  umask(022);

  WrittenPositions &last = LastWritten();
  std::lock_guard<std::mutex> guard(last.lock);
  std::string &content = last.scratch;
  BuildContent(&content);
  struct stat now {};
  if (last.valid && last.path == watchdog_file && last.content == content &&
      stat(watchdog_file, &now) == 0 && SameFile(now, last.st))
    return 1;
  last.valid = false;

  struct stat written {};
  if (!ReplaceFile(watchdog_file, content, &written)) return 0;
  // A rename changes the inode's change time; take it as it now stands.
  if (stat(watchdog_file, &now) == 0 && SameIdentity(now, written)) {
    last.path = watchdog_file;
    last.content.swap(content);
    last.st = now;
    last.valid = true;
  }
  return 1;
}

int LogFileLoadPositions(const char *watchdog_file) {
  int rc = LogFileReadWatchdogFile(watchdog_file);
  if (rc == 1)
    Log(3, kMsgPositionsRead, watchdog_file);
  else
    Log(1, kMsgPositionsReadFailed, watchdog_file ? watchdog_file : "(null)");
  return rc;
}
