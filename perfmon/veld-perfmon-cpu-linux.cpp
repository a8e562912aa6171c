// veld-perfmon-cpu-linux: the CPU sampler.  /proc/stat holds, per processor,
// cumulative tick counters since boot; a pass reads the file once, keeps the
// line of every known processor, and for each one turns the differences to
// its previous reading into shares of the elapsed ticks.
//
// A share is only meaningful against a real previous reading, so a processor
// sends nothing in the pass that first sees it (after start, or after its
// line was missing), in a pass where a counter went backwards (the kernel's
// counters started again), or when no tick elapsed; such a pass only stores
// the new reading.  Processors are matched by their exact label, and one
// that is offline does not hide the processors after it.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "veld-config-unix.h"
#include "veld-perfmon.h"

namespace {

constexpr const char *kOpenFailed = "Could not open %s: %s\n";
constexpr const char *kNoProcessor = "No processor found.";

constexpr const char *kFmtTotal = "sys_cpu_id:%s; sys_cpu_load_total:%.2f\n";
constexpr const char *kFmtSystem = "sys_cpu_id:%s; sys_cpu_load_system:%.2f\n";
constexpr const char *kFmtUser = "sys_cpu_id:%s; sys_cpu_load_user:%.2f\n";
constexpr const char *kFmtIdle = "sys_cpu_id:%s; sys_cpu_load_idle:%.2f\n";

// A /proc/cpuinfo line is looked at only up to this many bytes, as a read
// bounded to 255 bytes, NUL included, would hold it.
constexpr size_t kCpuInfoLineMax = 254;

enum { kUsr, kNice, kSys, kIdle, kCounters };
enum : unsigned char { kNoLine, kUsable, kUnusable };

// The processor index of a per-processor line, or -1.  The label must be
// "cpu" and the index in canonical decimal, ending at a blank: "cpu1" never
// takes the line of cpu10 or of "cpu01".
long ProcessorIndex(std::string_view line, std::string_view *rest) {
  if (!perfmon::HasPrefixNoCase(line, "cpu")) return -1;
  size_t p = 3;
  long n = 0;
  while (p < line.size() && line[p] >= '0' && line[p] <= '9') {
    n = n * 10 + (line[p] - '0');
    if (n >= PERFMON_CPU_MAX) return -1;
    ++p;
  }
  if (p == 3) return -1;                   // the all-processor line
  if (line[3] == '0' && p > 4) return -1;  // leading zero
  if (p < line.size() && line[p] != ' ' && line[p] != '\t') return -1;
  *rest = line.substr(p);
  return n;
}

// The four counters of a processor line: user, nice, system and idle plus
// I/O wait.  A line without the I/O-wait column counts it as zero; one
// without the first four is unusable.
bool ParseTicks(std::string_view rest, unsigned long *out) {
  unsigned long long v[5] = {0, 0, 0, 0, 0};
  int got = 0;
  for (; got < 5; ++got) {
    size_t used = 0;
    if (!perfmon::ParseU64(rest, &v[got], &used)) break;
    rest = rest.substr(used);
  }
  if (got < 4) return false;
  out[kUsr] = v[0];
  out[kNice] = v[1];
  out[kSys] = v[2];
  out[kIdle] = v[3] + v[4];
  return true;
}

// A share: both operands in single precision, the quotient widened and
// scaled in double.  The precision is part of the record format.
double Share(unsigned long num, unsigned long total) {
  float q = static_cast<float>(num) / static_cast<float>(total);
  return static_cast<double>(q) * 100.0;
}

// One past the highest processor index of /proc/stat, 0 when none.
int HighestListedProcessor() {
  char buf[perfmon::kStreamBuf];
  PerfMonLineReader r(buf, sizeof buf, perfmon::kLineMax);
  if (!r.Open(perfmon::kStatPath)) return 0;
  long top = -1;
  std::string_view line, rest;
  while (r.Next(&line)) {
    long n = ProcessorIndex(line, &rest);
    if (n > top) top = n;
  }
  return static_cast<int>(top + 1);
}

template <typename T>
std::unique_ptr<T[]> ZeroArray(size_t n) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[n]());
}

}  // namespace

int PerfMonGetCPUCount() {
  long n = sysconf(_SC_NPROCESSORS_CONF);
  if (n > 0) return n < PERFMON_CPU_MAX ? static_cast<int>(n) : PERFMON_CPU_MAX;

  char path[VELD_PATH_MAX];
  char buf[perfmon::kStreamBuf];
  PerfMonLineReader r(buf, sizeof buf, kCpuInfoLineMax);
  if (!VeldKernelPath(path, sizeof path, perfmon::kCpuInfoPath) || !r.Open(perfmon::kCpuInfoPath)) {
    Log(1, kOpenFailed, path, strerror(errno));
    return -1;
  }
  int count = 0;
  std::string_view line;
  while (r.Next(&line))
    if (line.substr(0, 9) == "processor" && count < PERFMON_CPU_MAX) ++count;
  if (count == 0) {
    Log(1, "%s", kNoProcessor);
    return -2;
  }
  return count;
}

P_PERFMON_CPU_INFO PerfMonCPUInit() {
  // Slots for every configured processor, and for any higher index the
  // kernel lists: an offline processor keeps its slot.
  int count = PerfMonGetCPUCount();
  int listed = HighestListedProcessor();
  if (listed > count) count = listed;
  if (count <= 0) return nullptr;

  std::unique_ptr<PERFMON_CPU_INFO> info(new (std::nothrow) PERFMON_CPU_INFO{});
  if (!info) return nullptr;
  size_t n = static_cast<size_t>(count);
  info->counter_size = count;
  info->Usr = ZeroArray<unsigned long>(n);
  info->Nice = ZeroArray<unsigned long>(n);
  info->System = ZeroArray<unsigned long>(n);
  info->Idle = ZeroArray<unsigned long>(n);
  info->HavePrevious = ZeroArray<bool>(n);
  info->Current = ZeroArray<unsigned long>(n * kCounters);
  info->Seen = ZeroArray<unsigned char>(n);
  info->adapterList = ZeroArray<char *>(n);
  // The names share one block.
  constexpr size_t kNameSlot = 12;  // "%d" of any int
  info->names = ZeroArray<char>(n * kNameSlot);
  if (!info->Usr || !info->Nice || !info->System || !info->Idle || !info->HavePrevious ||
      !info->Current || !info->Seen || !info->adapterList || !info->names)
    return nullptr;
  for (size_t k = 0; k < n; ++k) {
    char *name = info->names.get() + k * kNameSlot;
    std::snprintf(name, kNameSlot, "%d", static_cast<int>(k));
    info->adapterList[k] = name;
  }
  return info.release();
}

int PerfMonCPUProcess(P_PERFMON_CPU_INFO info) {
  if (info == nullptr) return 0;
  unsigned int stamp = PerfMonStamp();
  size_t n = static_cast<size_t>(info->counter_size);
  unsigned long *cur = info->Current.get();
  std::fill(info->Seen.get(), info->Seen.get() + n, kNoLine);

  char buf[perfmon::kStreamBuf];
  PerfMonLineReader r(buf, sizeof buf, perfmon::kLineMax);
  if (r.Open(perfmon::kStatPath)) {
    std::string_view line, rest;
    while (r.Next(&line)) {
      long idx = ProcessorIndex(line, &rest);
      if (idx < 0 || static_cast<size_t>(idx) >= n || info->Seen[idx] != kNoLine) continue;
      // The first line of a label is the processor's, usable or not.
      info->Seen[idx] = ParseTicks(rest, cur + idx * kCounters) ? kUsable : kUnusable;
    }
  }

  int all = 1;
  for (size_t k = 0; k < n; ++k) {
    if (info->Seen[k] != kUsable) {
      // Offline or unreadable: the next reading starts afresh.
      info->HavePrevious[k] = false;
      all = 0;
      continue;
    }
    const unsigned long *now = cur + k * kCounters;
    bool usable = info->HavePrevious[k] && now[kUsr] >= info->Usr[k] &&
                  now[kNice] >= info->Nice[k] && now[kSys] >= info->System[k] &&
                  now[kIdle] >= info->Idle[k];
    unsigned long du = now[kUsr] - info->Usr[k], dn = now[kNice] - info->Nice[k];
    unsigned long ds = now[kSys] - info->System[k], di = now[kIdle] - info->Idle[k];
    info->Usr[k] = now[kUsr];
    info->Nice[k] = now[kNice];
    info->System[k] = now[kSys];
    info->Idle[k] = now[kIdle];
    info->HavePrevious[k] = true;
    if (!usable) continue;
    unsigned long work = du + dn + ds;
    unsigned long total = work + di;
    if (total == 0) continue;
    const char *name = info->adapterList[k];
    PerfMonSend(stamp, kFmtTotal, name, Share(work, total));
    PerfMonSend(stamp, kFmtSystem, name, Share(ds, total));
    PerfMonSend(stamp, kFmtUser, name, Share(du, total));
    PerfMonSend(stamp, kFmtIdle, name, Share(di, total));
  }
  return all;
}

void PerfMonCPUFree(P_PERFMON_CPU_INFO ret) { std::unique_ptr<PERFMON_CPU_INFO> owned(ret); }
