// veld-logfile-format: the record heads of both formats.  The rfc5424 head
// is "<PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID - ": PRI the facility
// times 8 plus 6 (informational), the time in UTC to the second, the node
// name, "veldagentd" and our process id, no structured data.

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "veld-logfile-format.h"
#include "veld-text.h"

namespace logfile {

namespace {

constexpr char kPlainHead[] = "%lu %s: ";
constexpr char kAppName[] = "veldagentd";
constexpr int kSeverityInfo = 6;
constexpr int kFacilityUser = 1;
constexpr size_t kHostMax = 255;  // HOSTNAME is at most 255 printable characters

// In code order: the facility of code i is kFacilities[i].
constexpr const char *kFacilities[] = {
    "kern",   "user",   "mail",     "daemon", "auth",   "syslog",   "lpr",     "news",
    "uucp",   "cron",   "authpriv", "ftp",    "ntp",    "security", "console", "solaris-cron",
    "local0", "local1", "local2",   "local3", "local4", "local5",   "local6",  "local7"};
constexpr int kFacilityCount = sizeof kFacilities / sizeof kFacilities[0];

// Written by FormatConfigure before the workers start, read-only after.
struct FormatState {
  RecordFormat format = RecordFormat::kPlain;
  int pri = kFacilityUser * 8 + kSeverityInfo;
  char host[kHostMax + 1] = "-";
  unsigned long pid = 0;
};
FormatState g_format;

// The node name as a HOSTNAME may carry it: printable ASCII without blanks;
// anything else becomes "_", an empty name the nil value "-".
void TakeHostName(char *out) {
  utsname u{};
  if (uname(&u) != 0 || u.nodename[0] == '\0') {
    std::strcpy(out, "-");
    return;
  }
  size_t i = 0;
  for (; u.nodename[i] != '\0' && i < kHostMax; ++i) {
    unsigned char c = static_cast<unsigned char>(u.nodename[i]);
    out[i] = c > 32 && c < 127 ? static_cast<char>(c) : '_';
  }
  out[i] = '\0';
}

}  // namespace

int FormatFacilityCode(const char *name) {
  if (name == nullptr || name[0] == '\0') return -1;
  for (int i = 0; i < kFacilityCount; ++i)
    if (veld_stricmp(name, kFacilities[i]) == 0) return i;
  // A bare code, 0 to 23, is taken too.
  char *end = nullptr;
  long n = std::strtol(name, &end, 10);
  if (name[0] >= '0' && name[0] <= '9' && *end == '\0' && n >= 0 && n < kFacilityCount)
    return static_cast<int>(n);
  return -1;
}

bool FormatConfigure(const char *format, const char *facility) {
  g_format = FormatState{};
  bool ok = true;
  if (format != nullptr && veld_stricmp(format, "rfc5424") == 0) {
    g_format.format = RecordFormat::kRfc5424;
  } else if (format != nullptr && veld_stricmp(format, "plain") != 0) {
    ok = false;
  }
  int code = facility != nullptr ? FormatFacilityCode(facility) : kFacilityUser;
  if (code < 0) {
    ok = false;
    code = kFacilityUser;
  }
  g_format.pri = code * 8 + kSeverityInfo;
  TakeHostName(g_format.host);
  g_format.pid = static_cast<unsigned long>(getpid());
  return ok;
}

RecordFormat CurrentFormat() { return g_format.format; }

size_t FormatHead(char *out, time_t stamp, const char *msgid) {
  int n;
  if (g_format.format == RecordFormat::kPlain) {
    n = std::snprintf(out, kHeadMax, kPlainHead, static_cast<unsigned long>(stamp), msgid);
  } else {
    tm t{};
    char when[32] = "-";
    if (gmtime_r(&stamp, &t) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &t);
    n = std::snprintf(out, kHeadMax, "<%d>1 %s %s %s %lu %s - ", g_format.pri, when, g_format.host,
                      kAppName, g_format.pid, msgid);
  }
  return n < 0 ? 0 : std::min(static_cast<size_t>(n), kHeadMax - 1);
}

}  // namespace logfile

size_t LogRecordHead(char *out, unsigned long stamp, bool metric) {
  return logfile::FormatHead(out, static_cast<time_t>(stamp),
                             metric ? logfile::kMsgIdMetric : logfile::kMsgIdLog);
}

bool LogRecordKeepsLineEnd() { return logfile::CurrentFormat() == logfile::RecordFormat::kPlain; }
