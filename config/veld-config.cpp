// veld-config: the settings store, the configuration file, the diagnostic
// log and the small file and text helpers shared across the agent.
//
// The configuration is read once by the main thread before any worker exists;
// afterwards the store is only read, so it needs no lock.  The diagnostic log
// is written from every thread: each entry is formatted whole in memory and
// leaves in one write(2) on an O_APPEND descriptor, which keeps entries from
// different threads from interleaving however long they are.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "veld-agent.h"
#include "veld-config-unix.h"
#include "veld-hash.h"
#include "veld-logfile.h"
#include "veld-owners.h"

namespace {

// The one line size of the configuration file: 4095 characters and a NUL.
constexpr int kCfgLineMax = 4096;

// Canonical names of the plain settings; the file may use any case.
constexpr const char *kPlainKeys[] = {
    "RemoteHost", "RemotePort", "RemoteService", "LogRotationSize",
    "PerformanceMonitorPollingTimeout", "WatchdogFile", "EventWatchdogFile",
};

constexpr const char kDefaultLogFile[] = "/var/log/veldagentd.log";
constexpr const char kCfgReadError[] = "Error reading our configuration file: %s\n";
constexpr const char kLogOpenError[] = "Failed to open log file: %s\n";

using CharBuf = veld::MallocPtr<char>;
using veld::FilePtr;
using veld::UniqueFd;

unsigned int RealSleep(unsigned int seconds) { return sleep(seconds); }
time_t RealTime(time_t *t) { return time(t); }

bool IsCSpace(unsigned char c) {
  // "C" locale isspace, without consulting the process locale.
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsLeadingBlank(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\v';
}

int LowerC(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// Removes every trailing `q`, then, when anything is left, every leading `q`.
void StripChar(char *s, char q) {
  size_t n = std::strlen(s);
  while (n > 0 && s[n - 1] == q) s[--n] = '\0';
  if (n == 0) return;
  size_t lead = 0;
  while (s[lead] == q) ++lead;
  if (lead > 0) std::memmove(s, s + lead, n - lead + 1);
}

void AppendNode(char *value) {
  P_LOGFILE_LIST node = LogFileNew(value);
  if (node == nullptr) {
    std::free(value);
    return;
  }
  P_LOGFILE_LIST head = LogFileList.load(std::memory_order_acquire);
  if (head == nullptr)
    LogFileList.store(node, std::memory_order_release);
  else
    LogFileAdd(head, node);
}

void AppendDirectory(char *value) {
  P_LOGDIR_LIST node = LogDirectoryNew(value);
  if (node == nullptr) {
    std::free(value);
    return;
  }
  P_LOGDIR_LIST head = LogDirectoryList.load(std::memory_order_acquire);
  if (head == nullptr)
    LogDirectoryList.store(node, std::memory_order_release);
  else
    LogDirectoryAdd(head, node);
}

}  // namespace

VeldSleepFn veld_sleep = RealSleep;
VeldClockFn veld_time = RealTime;
char szKernelRoot[1025] = "";

int VeldKernelPath(char *out, size_t outlen, const char *path) {
  int n = std::snprintf(out, outlen, "%s%s", szKernelRoot, path);
  return (n >= 0 && static_cast<size_t>(n) < outlen) ? 1 : 0;
}

// ---------------------------------------------------------------- settings

int ExpandEnvironment() {
  std::snprintf(pLogFile, sizeof pLogFile, "%s", kDefaultLogFile);
  CfgHashAdd("WatchdogFile", "/etc/veldagentd.watchdog");
  CfgHashAdd("RemoteHost", "127.0.0.1");
  CfgHashAdd("RemotePort", "514");
  CfgHashAdd("RemoteService", "tcp");
  CfgHashAdd("LogRotationSize", "1");
  CfgHashAdd("PerformanceMonitorPollingTimeout", "300");
  return 1;
}

int CfgHashAdd(const char *key, const char *value) {
  if (key == nullptr || value == nullptr || GlobalConfigHash == nullptr) return 0;
  // The store was created without value copies: it takes over this heap copy.
  char *copy = strdup(value);
  if (copy == nullptr) return 0;
  hashtable_addkeyvalue(GlobalConfigHash, key, copy);
  return 1;
}

char *CfgHashGet(const char *key) {
  if (key == nullptr || GlobalConfigHash == nullptr) return nullptr;
  return const_cast<char *>(hashtable_keyvalue(GlobalConfigHash, key));
}

int CfgProcessConfiguration(const char *cfg_file) {
  FilePtr f(cfg_file ? std::fopen(cfg_file, "r") : nullptr);
  if (!f) {
    Log(1, kCfgReadError, cfg_file ? cfg_file : "(null)");
    return 0;
  }
  char line[kCfgLineMax + 1];
  while (std::fgets(line, kCfgLineMax, f.get()) != nullptr) CfgProcessLine(line);
  return 1;
}

int CfgProcessLine(const char *myline) {
  if (myline == nullptr) return 1;
  if (myline[0] == '#' || (myline[0] != '\0' && myline[1] == '#')) return 1;

  const char *eq = std::strchr(myline, '=');
  if (eq == nullptr) return 1;

  std::string name(myline, eq - myline);
  std::string raw(eq + 1);
  if (!raw.empty() && raw.back() == '\n') raw.pop_back();
  if (raw.empty()) return 1;

  trim(name.data());
  name.resize(std::strlen(name.c_str()));
  if (name.empty()) return 1;

  CharBuf value(strdup(raw.c_str()));
  if (!value) return 1;
  trim(value.get());

  if (veld_stricmp(name.c_str(), "LogFile") == 0) {
    AppendNode(value.release());
  } else if (veld_stricmp(name.c_str(), "LogDirectory") == 0) {
    AppendDirectory(value.release());
  } else {
    for (const char *key : kPlainKeys) {
      if (veld_stricmp(name.c_str(), key) == 0) {
        CfgHashAdd(key, value.get());
        break;
      }
    }
  }
  return 1;
}

void trim(char *s) {
  if (s == nullptr) return;
  size_t n = std::strlen(s);
  while (n > 0 && IsCSpace(static_cast<unsigned char>(s[n - 1]))) s[--n] = '\0';
  if (n > 0) {
    size_t lead = 0;
    while (IsLeadingBlank(s[lead])) ++lead;
    if (lead > 0) std::memmove(s, s + lead, n - lead + 1);
  }
  StripChar(s, '"');
  StripChar(s, '\'');
}

int veld_stricmp(const char *s1, const char *s2) {
  const auto *a = reinterpret_cast<const unsigned char *>(s1);
  const auto *b = reinterpret_cast<const unsigned char *>(s2);
  for (;; ++a, ++b) {
    int ca = LowerC(*a), cb = LowerC(*b);
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
}

// ---------------------------------------------------------- diagnostic log

int Log(int priority, const char *msg, ...) {
  time_t now = veld_time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) std::memset(&local, 0, sizeof local);

  umask(022);
  UniqueFd fd(open(pLogFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0) {
    std::fprintf(stderr, kLogOpenError, pLogFile);
    return 0;
  }

  char date[128];
  size_t dlen = std::strftime(date, 110, "%Y-%m-%d %H:%M:%S: ", &local);
  date[dlen] = '\0';

  // Format into a stack buffer; only an entry that does not fit takes the
  // heap, so the common case allocates nothing.
  char stackbuf[2048];
  int head = std::snprintf(stackbuf, sizeof stackbuf, "%s %s [%d]: ", date,
                           pServiceName, priority);
  if (head < 0) return 0;

  va_list ap, ap2;
  va_start(ap, msg);
  va_copy(ap2, ap);
  int body = std::vsnprintf(stackbuf + head, sizeof stackbuf - head, msg, ap);
  va_end(ap);
  if (body < 0) {
    va_end(ap2);
    return 0;
  }

  size_t total = static_cast<size_t>(head) + static_cast<size_t>(body) + 1;
  std::unique_ptr<char[]> heap;
  char *entry = stackbuf;
  if (total + 1 > sizeof stackbuf) {
    heap = std::make_unique<char[]>(total + 1);
    entry = heap.get();
    std::memcpy(entry, stackbuf, head);
    std::vsnprintf(entry + head, total + 1 - head, msg, ap2);
  }
  va_end(ap2);
  entry[total - 1] = '\n';

  // One write keeps the entry whole against other threads; retry only the
  // cases where nothing left, so a partial write is never duplicated.
  ssize_t w;
  do {
    w = write(fd.get(), entry, total);
  } while (w < 0 && errno == EINTR);
  return 1;
}

// ---------------------------------------------------- file and text helpers

int FileExists(const char *name) {
  if (name == nullptr) return 0;
  return access(name, F_OK) == 0 ? 1 : 0;
}

int read_line(const char *filename, char *line, unsigned int len, const char *key) {
  if (filename == nullptr || line == nullptr || len == 0) return 0;
  UniqueFd fd(open(filename, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return 0;

  // The whole file is streamed through a fixed buffer, so lines far down a
  // long /proc/stat are found without allocating.  `line` is written only
  // once a line has matched: a miss leaves it as it was.
  const size_t keylen = key ? std::strlen(key) : 0;
  const size_t keep = keylen < len - 1 ? keylen : len - 1;  // prefix bytes to copy
  char prefix_small[256];
  std::string prefix_big;  // only for keys longer than any caller uses
  char *prefix = prefix_small;
  if (keep > sizeof prefix_small) {
    prefix_big.resize(keep);
    prefix = prefix_big.data();
  }

  bool in_line = false, alive = false, copying = false;
  size_t col = 0, out = 0;
  auto finish = [&] {
    std::memset(line + out, 0, len - out);
    return 1;
  };
  auto start_copy = [&] {
    copying = true;
    out = keep;
    std::memcpy(line, prefix, keep);
  };

  char buf[4096];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buf[i];
      if (c == '\0') return copying ? finish() : 0;  // text ends at a NUL
      if (c == '\n' || c == '\r') {
        if (copying) return finish();
        in_line = false;
        continue;
      }
      if (!in_line) {
        in_line = true;
        alive = true;
        col = 0;
        if (keylen == 0) start_copy();
      }
      if (copying) {
        if (out < len - 1) line[out++] = c;
      } else if (alive) {
        if (LowerC(static_cast<unsigned char>(c)) != LowerC(static_cast<unsigned char>(key[col]))) {
          alive = false;
          continue;
        }
        if (col < keep) prefix[col] = c;
        if (++col == keylen) start_copy();
      }
    }
  }
  return copying ? finish() : 0;
}

int veld_strincmp(const char *string, const char *pattern, size_t len) {
  const auto *a = reinterpret_cast<const unsigned char *>(string);
  const auto *b = reinterpret_cast<const unsigned char *>(pattern);
  for (size_t i = 0; i < len; ++i) {
    int ca = LowerC(a[i]), cb = LowerC(b[i]);
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  return 0;
}

int UrlEncode(const unsigned char *s, unsigned char *t) {
  if (t == nullptr) return 0;
  static const char hex[] = "0123456789ABCDEF";
  for (; s != nullptr && *s != '\0'; ++s) {
    unsigned char c = *s;
    bool escape = (c <= 0x2B) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x5E) ||
                  c == 0x60 || (c >= 0x7B && c <= 0xA0);
    if (escape) {
      *t++ = '%';
      *t++ = static_cast<unsigned char>(hex[c >> 4]);
      *t++ = static_cast<unsigned char>(hex[c & 0x0F]);
    } else {
      *t++ = c;
    }
  }
  *t = '\0';
  return 1;
}
