// Feeds arbitrary bytes to the performance monitor as the kernel files and
// the mount table it reads.  Each input is one file in a private kernel tree
// (the kernel-root seam points there), and the sampler pass that reads that
// file runs over it; the file is removed again before the next input, so a
// pass sees only its own file and every other read finds nothing.
//
// The first byte picks the file and the pass, the rest is the file:
//
//   byte % 9  file                         what runs
//   0         /proc/stat                   CPU start, then a pass per reading
//   1         /proc/stat                   identity pass (the boot-time line)
//   2         /proc/cpuinfo                processor count, sysconf failing
//   3         /proc/meminfo                memory pass
//   4         /proc/diskstats              device part of the disk pass
//   5         /proc/net/dev                network counting pass, then one that sends
//   6         /proc/sys/kernel/ostype      identity pass
//   7         /proc/sys/kernel/osrelease   identity pass
//   8         /etc/mtab                    disk start, then a whole disk pass
//
// CPU shares need two readings: the text up to kNextReading is the first,
// the text after it the second (the same reading twice when it is missing).
// One target rather than one per file: the files share the line reader and
// the text helpers, so what the fuzzer learns on one file serves the others,
// and one time budget covers them all.
//
// Records go to SendLog, which sends nothing while no link is open: every
// record is formatted in full and dropped at the link.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_scratch.h"
#include "veld-config-unix.h"
#include "veld-perfmon.h"

// Whether sysconf should not know the processor count, as on a system where
// only /proc/cpuinfo can tell; set around one call by RunCpuCount.
static bool g_processor_count_unknown = false;

// The link maps sysconf to these (-Wl,--wrap=sysconf), so that the
// /proc/cpuinfo fallback is reachable at all.
extern "C" long __real_sysconf(int name);
extern "C" long __wrap_sysconf(int name) {
  if (g_processor_count_unknown && name == _SC_NPROCESSORS_CONF) {
    errno = EINVAL;
    return -1;
  }
  return __real_sysconf(name);
}

namespace {

// Separates the two /proc/stat readings of the CPU passes.
constexpr std::string_view kNextReading = "\n--\n";

// Directories of the private tree that the files live in.
constexpr const char *kTreeDirs[] = {"/proc", "/proc/net", "/proc/sys", "/proc/sys/kernel", "/etc"};

std::string g_root;  // the private kernel tree, made at the first input

// Writes `text` as the tree's `path`; false when it cannot.
bool Put(const char *path, std::string_view text) {
  std::string full = g_root + path;
  int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

void RemoveTree() {
  for (size_t k = sizeof kTreeDirs / sizeof kTreeDirs[0]; k > 0; --k)
    rmdir((g_root + kTreeDirs[k - 1]).c_str());
  rmdir(g_root.c_str());
}

bool MakeTree() {
  std::string pattern = fuzz::ScratchPattern("veld-kernel-fuzz");
  if (mkdtemp(pattern.data()) == nullptr) return false;
  g_root = pattern;
  for (const char *d : kTreeDirs)
    if (mkdir((g_root + d).c_str(), 0700) != 0) return false;
  std::snprintf(szKernelRoot, sizeof szKernelRoot, "%s", g_root.c_str());
  std::atexit(RemoveTree);
  return true;
}

void RunCpu(std::string_view text) {
  size_t cut = text.find(kNextReading);
  std::string_view first = text.substr(0, cut);
  std::string_view second =
      cut == std::string_view::npos ? first : text.substr(cut + kNextReading.size());
  if (!Put(perfmon::kStatPath, first)) return;
  P_PERFMON_CPU_INFO info = PerfMonCPUInit();
  PerfMonCPUProcess(info);
  if (Put(perfmon::kStatPath, second)) PerfMonCPUProcess(info);
  PerfMonCPUFree(info);
}

void RunCpuCount(std::string_view) {
  g_processor_count_unknown = true;
  PerfMonGetCPUCount();
  g_processor_count_unknown = false;
}

void RunSys(std::string_view) {
  P_PERFMON_SYS_INFO info = PerfMonSYSInit();
  PerfMonSYSProcess(info);
  PerfMonSYSFree(info);
}

void RunMem(std::string_view) {
  P_PERFMON_MEM_INFO info = PerfMonMEMInit();
  PerfMonMEMProcess(info);
  PerfMonMEMFree(info);
}

void RunDiskStats(std::string_view) { PerfMonDISKHandleReadWriteStats(nullptr); }

void RunNet(std::string_view) {
  P_PERFMON_NET_INFO info = PerfMonNETInit();
  PerfMonNETProcess(info);
  PerfMonNETProcess(info);
  PerfMonNETFree(info);
}

void RunDisk(std::string_view) {
  P_PERFMON_DISK_INFO info = PerfMonDISKInit();
  PerfMonDISKProcess(info);
  PerfMonDISKFree(info);
}

struct Source {
  const char *path;
  void (*run)(std::string_view text);
};

// In selector order; see the table at the top.
constexpr Source kSources[] = {
    {perfmon::kStatPath, RunCpu},
    {perfmon::kStatPath, RunSys},
    {perfmon::kCpuInfoPath, RunCpuCount},
    {perfmon::kMemInfoPath, RunMem},
    {perfmon::kDiskStatsPath, RunDiskStats},
    {perfmon::kNetDevPath, RunNet},
    {perfmon::kOsTypePath, RunSys},
    {perfmon::kOsReleasePath, RunSys},
    {perfmon::kMountTable, RunDisk},
};
constexpr size_t kSourceCount = sizeof kSources / sizeof kSources[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = [] {
    std::snprintf(pLogFile, sizeof pLogFile, "%s", "/dev/null");
    return MakeTree();
  }();
  if (!ready || size == 0) return 0;
  const Source &src = kSources[data[0] % kSourceCount];
  std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
  if (Put(src.path, text)) src.run(text);
  unlink((g_root + src.path).c_str());
  return 0;
}
