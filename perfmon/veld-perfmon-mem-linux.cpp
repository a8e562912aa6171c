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

// The rows in the order they are sent; the sysinfo rows go between the
// third and the fourth.  A key matches a line that begins with it, in any
// case, so "MemFree" finds "MemFree:" and "Cached:" carries its own colon.
struct Row {
  const char *key;
  const char *format;
};
// clang-format off
constexpr Row kRows[] = {
    {"MemFree",   "sys_mem_size_free:%llu\n"},
    {"Cached:",   "vm_mem_size_cached:%llu\n"},
    {"MemTotal",  "sys_mem_size_total:%llu\n"},
    {"SwapFree",  "vm_mem_size_free:%llu\n"},
    {"SwapTotal", "vm_mem_size_total:%llu\n"},
};
// clang-format on
constexpr size_t kRowCount = sizeof kRows / sizeof kRows[0];
constexpr size_t kRowsBeforeSysinfo = 3;
constexpr const char *kFmtBuffers = "vm_mem_size_buffers:%llu\n";
constexpr const char *kFmtShared = "vm_mem_size_shared:%llu\n";

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
  PerfMonSend(stamp, kFmtBuffers, static_cast<unsigned long long>(si.bufferram) * unit);
  PerfMonSend(stamp, kFmtShared, static_cast<unsigned long long>(si.sharedram) * unit);
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

  char buf[perfmon::kStreamBuf];
  PerfMonLineReader r(buf, sizeof buf, perfmon::kLineMax);
  if (r.Open(perfmon::kMemInfoPath)) {
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
    if (found[k]) PerfMonSend(stamp, kRows[k].format, value[k]);
  }
  return 1;
}

void PerfMonMEMFree(P_PERFMON_MEM_INFO ret) { delete ret; }
