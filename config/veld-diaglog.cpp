// veld-diaglog: the diagnostic log.  Each entry is formatted in memory and
// leaves in one writev(2) on an O_APPEND descriptor opened for that entry
// alone, which keeps entries from different threads from interleaving however
// long they are, and lets the file be removed or rotated at any time: the
// next entry simply creates it again.

#include "veld-diaglog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>

#include "veld-owners.h"
#include "veld-seams.h"

const char *pServiceName = "VELDAgent";  // constant; written into every entry
char pLogFile[VELD_PATH_MAX];            // set once at start (tests: before any worker)

namespace {

constexpr const char kLogOpenError[] = "Failed to open log file: %s\n";
constexpr size_t kDateLimit = 110;    // the date is formatted within this many bytes
constexpr size_t kStackEntry = 2048;  // messages up to this size allocate nothing

// Set by start-up before any worker runs; read by every entry.
std::atomic<bool> mirror_to_stderr{false};

// A message formatted from a printf format: on the stack when it fits.
class Message {
 public:
  Message(const char *fmt, va_list ap) {
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(stack_, sizeof stack_, fmt, ap);
    if (n >= 0) {
      len_ = static_cast<size_t>(n);
      text_ = stack_;
      if (len_ >= sizeof stack_) {
        heap_ = std::make_unique<char[]>(len_ + 1);
        std::vsnprintf(heap_.get(), len_ + 1, fmt, again);
        text_ = heap_.get();
      }
    }
    va_end(again);
  }
  bool ok() const { return text_ != nullptr; }
  std::string_view view() const { return {text_, len_}; }

 private:
  char stack_[kStackEntry];
  std::unique_ptr<char[]> heap_;
  const char *text_ = nullptr;
  size_t len_ = 0;
};

// Writes all of `v` to `fd`, going on after a partial write where it
// stopped, so nothing is ever written twice.
void WriteAll(int fd, iovec *v, int n) {
  while (n > 0) {
    ssize_t w = writev(fd, v, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    auto left = static_cast<size_t>(w);
    while (n > 0 && left >= v->iov_len) {
      left -= v->iov_len;
      ++v;
      --n;
    }
    if (n > 0) {
      v->iov_base = static_cast<char *>(v->iov_base) + left;
      v->iov_len -= left;
    }
  }
}

iovec Piece(std::string_view s) { return {const_cast<char *>(s.data()), s.size()}; }

// Formats "<date>:  <service> [<priority>]: " + the message + `tail` +
// " [pid N]" + the message's own line ends + a line end, and appends it to
// the log in one write.  1 when the file opened.
int WriteEntry(int priority, const char *tail, const char *msg, va_list ap) {
  time_t now = veld_time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) std::memset(&local, 0, sizeof local);

  umask(022);
  veld::UniqueFd fd(open(pLogFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.ok()) std::fprintf(stderr, kLogOpenError, pLogFile);
  const bool mirror = mirror_to_stderr.load(std::memory_order_relaxed);
  if (!fd.ok() && !mirror) return 0;

  char date[128];
  size_t dlen = std::strftime(date, kDateLimit, "%Y-%m-%d %H:%M:%S: ", &local);
  date[dlen] = '\0';
  char head[256];
  int hlen = std::snprintf(head, sizeof head, "%s %s [%d]: ", date, pServiceName, priority);
  Message body(msg, ap);
  if (hlen < 0 || !body.ok()) return 0;
  char pid[32];
  int plen = std::snprintf(pid, sizeof pid, " [pid %ld]", static_cast<long>(getpid()));

  std::string_view text = body.view();
  const size_t keep = text.find_last_not_of('\n') + 1;  // npos + 1 == 0
  iovec v[] = {
      Piece({head, std::min(static_cast<size_t>(hlen), sizeof head - 1)}),
      Piece(text.substr(0, keep)),
      Piece(tail),
      Piece({pid, static_cast<size_t>(plen)}),
      Piece(text.substr(keep)),
      Piece("\n"),
  };
  constexpr int kPieces = sizeof v / sizeof v[0];
  if (mirror) {
    iovec copy[kPieces];
    std::memcpy(copy, v, sizeof v);
    WriteAll(STDERR_FILENO, copy, kPieces);
  }
  if (!fd.ok()) return 0;
  WriteAll(fd.get(), v, kPieces);
  return 1;
}

}  // namespace

int Log(int priority, const char *msg, ...) {
  va_list ap;
  va_start(ap, msg);
  int rc = WriteEntry(priority, "", msg, ap);
  va_end(ap);
  return rc;
}

int LogErrno(int priority, const char *call, const char *msg, ...) {
  char reason[128];
  char tail[256];
  std::snprintf(tail, sizeof tail, ": %s: %s", call, strerror_r(errno, reason, sizeof reason));
  va_list ap;
  va_start(ap, msg);
  int rc = WriteEntry(priority, tail, msg, ap);
  va_end(ap);
  return rc;
}

void LogMirrorToStderr(bool on) { mirror_to_stderr.store(on, std::memory_order_relaxed); }

int LogRepeat::Report(int priority, const char *msg, ...) {
  char text[kLogRepeatText];
  va_list ap;
  va_start(ap, msg);
  int n = std::vsnprintf(text, sizeof text, msg, ap);
  va_end(ap);
  if (n < 0) return 0;
  std::string_view bare(text);
  bare = bare.substr(0, bare.find_last_not_of('\n') + 1);

  std::lock_guard<std::mutex> lock(mu_);
  const time_t now = veld_time(nullptr);
  if (active_ && priority == priority_ && bare == last_) {
    ++pending_;
    // A clock that went back counts as a report being due.
    if (now - reported_ >= kLogRepeatReport || now < reported_) FlushLocked();
    return 1;
  }
  FlushLocked();
  std::memcpy(last_, bare.data(), bare.size());
  last_[bare.size()] = '\0';
  priority_ = priority;
  active_ = true;
  reported_ = now;
  return Log(priority, "%s", text);
}

void LogRepeat::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  FlushLocked();
  active_ = false;
}

void LogRepeat::FlushLocked() {
  if (!active_ || pending_ == 0) return;
  Log(priority_, "%s repeated %lu times", last_, pending_);
  pending_ = 0;
  reported_ = veld_time(nullptr);
}
