// veld-perfmon-sysinfo-linux: the system-identity sampler.  Four independent
// records: the boot time from the "btime" line of /proc/stat (a point in
// time, sent under sys_uptime), the host name, and the kernel's type and
// release.  Current kernels have no sysctl system call; the same two strings
// are the files /proc/sys/kernel/ostype and osrelease, and uname gives them
// where /proc is not mounted.  A source that fails only costs its record.

#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string_view>

#include "veld-config-unix.h"
#include "veld-perfmon.h"

namespace {

constexpr const char *kFmtUptime = "sys_uptime:%llu\n";
constexpr const char *kFmtHostname = "sys_hostname:%s\n";
constexpr const char *kFmtUname = "sys_uname:%s\n";
constexpr const char *kFmtVersion = "sys_version:%s\n";

// Host name and kernel strings are read into this many bytes.
constexpr size_t kTextMax = 256;

// The boot time from the first line of /proc/stat that begins with "btime",
// wherever in the file it lies.
bool BootTime(unsigned long long *v) {
  char buf[perfmon::kStreamBuf];
  PerfMonLineReader r(buf, sizeof buf, perfmon::kLineMax);
  if (!r.Open(perfmon::kStatPath)) return false;
  std::string_view line;
  while (r.Next(&line)) {
    if (!perfmon::HasPrefixNoCase(line, "btime")) continue;
    std::string_view rest = line, label;
    perfmon::NextToken(&rest, perfmon::kBlanks, &label);
    return perfmon::ParseU64(rest, v);
  }
  return false;
}

// The first line of a small kernel file into `out`; false when the file
// cannot be read or is empty.
bool KernelString(const char *path, char *out, size_t outlen) {
  char buf[perfmon::kStreamBuf];
  PerfMonLineReader r(buf, sizeof buf, outlen - 1);
  std::string_view line;
  if (!r.Open(path) || !r.Next(&line)) return false;
  std::memcpy(out, line.data(), line.size());
  out[line.size()] = '\0';
  return true;
}

void SendKernelString(unsigned int stamp, const char *format, const char *path, bool release) {
  char text[kTextMax];
  if (!KernelString(path, text, sizeof text)) {
    struct utsname u;
    if (uname(&u) != 0) return;
    const char *s = release ? u.release : u.sysname;
    size_t n = strnlen(s, sizeof text - 1);
    std::memcpy(text, s, n);
    text[n] = '\0';
  }
  PerfMonSend(stamp, format, text);
}

}  // namespace

P_PERFMON_SYS_INFO PerfMonSYSInit() { return new (std::nothrow) PERFMON_SYS_INFO{}; }

int PerfMonSYSProcess(P_PERFMON_SYS_INFO) {
  unsigned int stamp = PerfMonStamp();
  unsigned long long boot = 0;
  if (BootTime(&boot)) PerfMonSend(stamp, kFmtUptime, boot);

  char host[kTextMax];
  if (gethostname(host, sizeof host) == 0) {
    host[sizeof host - 1] = '\0';  // a name that fills the buffer may lack its NUL
    PerfMonSend(stamp, kFmtHostname, host);
  }

  SendKernelString(stamp, kFmtUname, perfmon::kOsTypePath, false);
  SendKernelString(stamp, kFmtVersion, perfmon::kOsReleasePath, true);
  return 1;
}

void PerfMonSYSFree(P_PERFMON_SYS_INFO ret) { delete ret; }
