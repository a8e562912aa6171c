// veld-logfile-position: the position file, one line per tailed file (its
// format is in veld-logfile-position.h), which lets a restart resume where
// the tailer left off, and know which files still hold unsent lines.
//
// It is replaced whole and atomically (a synced sibling renamed over it), so
// a crash or a full disk never costs the saved offsets, and it is left alone
// when nothing in it would change, so an idle agent does not flush the disk
// every ten seconds.  It is root's alone (0600): it holds digests of log
// bytes.

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
#include "veld-logfile-position.h"
#include "veld-logfile-rotate.h"
#include "veld-logfile.h"
#include "veld-owners.h"

using namespace logfile;

namespace {

// Lines longer than this are no lines of ours: they are skipped whole.
constexpr size_t kPositionLineMax = 1 << 20;

constexpr char kMsgPositionsRead[] = "Processed our watchdog file %s, successfully.";
constexpr char kMsgPositionsReadFailed[] = "Failed to read our watchdog file %s, ignoring.";

// The next line of `f` without its line end into *line; false at the end.
// *whole is false for a line longer than kPositionLineMax.
bool NextLine(FILE *f, std::string *line, bool *whole) {
  line->clear();
  *whole = true;
  int c;
  while ((c = std::getc(f)) != EOF && c != '\n') {
    if (line->size() < kPositionLineMax)
      *line += static_cast<char>(c);
    else
      *whole = false;
  }
  return c != EOF || !line->empty();
}

}  // namespace

int LogFileReadWatchdogFile(const char *watchdog_file) {
  if (watchdog_file == nullptr) return 0;
  veld::FilePtr f(std::fopen(watchdog_file, "re"));
  if (!f) return 1;

  // First node of each path, exactly as spelt: a line goes to the first node
  // that a walk from the head would find, at the cost of one lookup.
  std::unordered_map<std::string_view, P_LOGFILE_LIST> first;
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
    if (n->log_file != nullptr && !n->retired.load(std::memory_order_acquire))
      first.emplace(n->log_file, n);

  std::string line;
  bool whole;
  while (NextLine(f.get(), &line, &whole)) {
    PositionLine pl;
    if (!whole || !SplitPosition(line, &pl)) continue;
    auto it = first.find(pl.path);
    if (it != first.end()) LoadPosition(it->second, pl.fields);
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
  for (P_LOGFILE_LIST n = LogFileList.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
    if (!n->retired.load(std::memory_order_acquire)) FormatPosition(n, content);
}

// Writes `content` to a fresh sibling of `path`, syncs it and renames it over
// `path`; *written receives the new file's status.  "_hlr_" in the sibling's
// name keeps the directory scan off it.
bool ReplaceFile(const char *path, const std::string &content, struct stat *written) {
  std::string tmp = std::string(path) + "._hlr_tmpXXXXXX";
  veld::UniqueFd fd(mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd.ok()) return false;
  bool ok = fchmod(fd.get(), 0600) == 0 &&
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
