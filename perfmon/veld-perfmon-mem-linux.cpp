// veld-perfmon-mem-linux: the memory sampler.  One pass reads /proc/meminfo
// once, keeps the first line of each of the five rows it reports, converts
// each to bytes, and asks sysinfo for the buffer and shared memory, which it
// scales by the record's memory unit so that every record is in bytes.

#include <sys/sysinfo.h>

#include <new>
#include <string_view>

#include "veld-config-unix.h"
#include "veld-perfmon.h"

namespace {

constexpr const char *kMemInfoPath = "/proc/meminfo";

// The rows in the order they are sent; the sysinfo rows go between the
// third and the fourth.  A key matches a line that begins with it, in any
// case, so "MemFree" finds "MemFree:" and "Cached:" carries its own colon.
struct Row {
  const char *key;
  const char *format;
};
constexpr Row kRows[] = {
    {"MemFree", "%u VELDPerfMon: sys_mem_size_free:%llu\n"},
    {"Cached:", "%u VELDPerfMon: vm_mem_size_cached:%llu\n"},
    {"MemTotal", "%u VELDPerfMon: sys_mem_size_total:%llu\n"},
    {"SwapFree", "%u VELDPerfMon: vm_mem_size_free:%llu\n"},
    {"SwapTotal", "%u VELDPerfMon: vm_mem_size_total:%llu\n"},
};
constexpr size_t kRowCount = sizeof kRows / sizeof kRows[0];
constexpr size_t kRowsBeforeSysinfo = 3;
constexpr const char *kFmtBuffers = "%u VELDPerfMon: vm_mem_size_buffers:%llu\n";
constexpr const char *kFmtShared = "%u VELDPerfMon: vm_mem_size_shared:%llu\n";

constexpr size_t kLineMax = 1025;
constexpr size_t kStreamBuf = 4096;

// A row's value in bytes: the second blank-separated field is the number
// (0 when it does not parse), the third the unit.  "mb" in any case means
// mebibytes; the kernel writes "kB" and every other unit is taken as that.
unsigned long long RowBytes(std::string_view line) {
  std::string_view rest = line, name, number, unit;
  unsigned long long v = 0;
  if (!perfmon::NextToken(&rest, " ", &name)) return 0;
  if (perfmon::NextToken(&rest, " ", &number) && !perfmon::ParseU64(number, &v)) v = 0;
  bool mb = perfmon::NextToken(&rest, " ", &unit) && unit.size() == 2 &&
            perfmon::HasPrefixNoCase(unit, "mb");
  return v * (mb ? 1048576ULL : 1024ULL);
}

void SendSysinfo(unsigned int stamp) {
  struct sysinfo si;
  if (sysinfo(&si) != 0) return;
  // Old kernels leave the unit 0, meaning bytes.
  unsigned long long unit = si.mem_unit ? si.mem_unit : 1;
  PerfMonSend(kFmtBuffers, stamp, static_cast<unsigned long long>(si.bufferram) * unit);
  PerfMonSend(kFmtShared, stamp, static_cast<unsigned long long>(si.sharedram) * unit);
}

}  // namespace

P_PERFMON_MEM_INFO PerfMonMEMInit() {
  auto *info = new (std::nothrow) PERFMON_MEM_INFO{};
  if (info == nullptr) return nullptr;
  info->counter_size = 1;
  info->result = 0;
  return info;
}

int PerfMonMEMProcess(P_PERFMON_MEM_INFO) {
  unsigned int stamp = PerfMonStamp();
  unsigned long long value[kRowCount] = {};
  bool found[kRowCount] = {};
  size_t left = kRowCount;

  char buf[kStreamBuf];
  PerfMonLineReader r(buf, sizeof buf, kLineMax);
  if (r.Open(kMemInfoPath)) {
    std::string_view line;
    while (left > 0 && r.Next(&line)) {
      for (size_t k = 0; k < kRowCount; ++k) {
        if (found[k] || !perfmon::HasPrefixNoCase(line, kRows[k].key)) continue;
        value[k] = RowBytes(line);
        found[k] = true;
        --left;
      }
    }
  }

  for (size_t k = 0; k < kRowCount; ++k) {
    if (k == kRowsBeforeSysinfo) SendSysinfo(stamp);
    if (found[k]) PerfMonSend(kRows[k].format, stamp, value[k]);
  }
  return 1;
}

void PerfMonMEMFree(P_PERFMON_MEM_INFO ret) { delete ret; }
