// veld-diaglog: the diagnostic log.  Each entry is formatted whole in memory
// and leaves in one write(2) on an O_APPEND descriptor opened for that entry
// alone, which keeps entries from different threads from interleaving however
// long they are, and lets the file be removed or rotated at any time: the
// next entry simply creates it again.

#include "veld-diaglog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "veld-owners.h"
#include "veld-seams.h"

const char *pServiceName = "VELDAgent";  // constant; written into every entry
char pLogFile[VELD_PATH_MAX];            // set once at start (tests: before any worker)

namespace {

constexpr const char kLogOpenError[] = "Failed to open log file: %s\n";
constexpr size_t kDateLimit = 110;    // the date is formatted within this many bytes
constexpr size_t kStackEntry = 2048;  // entries up to this size allocate nothing

// Formats "<date>:  <service> [<priority>]: " + the message + `tail` + a line
// end, and appends it to the log in one write.  1 when the file opened.
int WriteEntry(int priority, const char *tail, const char *msg, va_list ap) {
  time_t now = veld_time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) std::memset(&local, 0, sizeof local);

  umask(022);
  veld::UniqueFd fd(open(pLogFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.ok()) {
    std::fprintf(stderr, kLogOpenError, pLogFile);
    return 0;
  }
  char date[128];
  size_t dlen = std::strftime(date, kDateLimit, "%Y-%m-%d %H:%M:%S: ", &local);
  date[dlen] = '\0';

  char stackbuf[kStackEntry];
  int head = std::snprintf(stackbuf, sizeof stackbuf, "%s %s [%d]: ", date, pServiceName, priority);
  if (head < 0) return 0;
  va_list again;
  va_copy(again, ap);
  int body = std::vsnprintf(stackbuf + head, sizeof stackbuf - head, msg, ap);
  if (body < 0) {
    va_end(again);
    return 0;
  }
  const size_t tlen = std::strlen(tail);
  const size_t total = static_cast<size_t>(head) + static_cast<size_t>(body) + tlen + 1;
  std::unique_ptr<char[]> heap;
  char *entry = stackbuf;
  if (total + 1 > sizeof stackbuf) {
    heap = std::make_unique<char[]>(total + 1);
    entry = heap.get();
    std::memcpy(entry, stackbuf, static_cast<size_t>(head));
    std::vsnprintf(entry + head, total + 1 - static_cast<size_t>(head), msg, again);
  }
  va_end(again);
  std::memcpy(entry + head + body, tail, tlen);
  entry[total - 1] = '\n';

  // One write keeps the entry whole against other threads; retry only the
  // cases where nothing left, so a partial write is never duplicated.
  ssize_t w;
  do {
    w = write(fd.get(), entry, total);
  } while (w < 0 && errno == EINTR);
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
