// What a monitor pass costs.  Each sampler's pass must allocate nothing and
// open each kernel file once; the CPU pass must grow linearly with the
// processors, however far their lines run past the first page of /proc/stat.
// Passes read this host's real /proc (and, for the processor counts, a
// hand-made /proc/stat under the kernel root).  Records go to a real UDP
// socket on loopback that nobody reads, so the kernel drops them after the
// send, as a busy collector would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "veld-agent.h"
#include "veld-config-unix.h"
#include "veld-hash.h"
#include "veld-logfile.h"
#include "veld-perfmon.h"

namespace {

// The link, to a loopback socket nobody reads.
void OpenLink() {
  static bool done = false;
  if (done) return;
  done = true;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  GlobalConfigHash = hashtable_alloc(1, 0);
  ExpandEnvironment();
  std::snprintf(pLogFile, VELD_PATH_MAX, "/tmp/veld-perfmon-bench.log");
  CfgHashAdd("RemoteHost", "127.0.0.1");
  CfgHashAdd("RemotePort", std::to_string(ntohs(a.sin_port)).c_str());
  CfgHashAdd("RemoteService", "udp");
  LogInit();
}

template <typename Run>
void CountAllocations(benchmark::State &state, Run run) {
  unsigned long allocs = 0, passes = 0;
  for (auto _ : state) {
    unsigned long before = veldbench::Allocations();
    run();
    allocs += veldbench::Allocations() - before;
    ++passes;
  }
  state.counters["allocs_per_pass"] = passes ? static_cast<double>(allocs) / passes : 0;
}

void BM_CpuPass(benchmark::State &state) {
  OpenLink();
  P_PERFMON_CPU_INFO info = PerfMonCPUInit();
  PerfMonCPUProcess(info);
  CountAllocations(state, [&] { PerfMonCPUProcess(info); });
  PerfMonCPUFree(info);
}
BENCHMARK(BM_CpuPass);

void BM_MemPass(benchmark::State &state) {
  OpenLink();
  P_PERFMON_MEM_INFO info = PerfMonMEMInit();
  CountAllocations(state, [&] { PerfMonMEMProcess(info); });
  PerfMonMEMFree(info);
}
BENCHMARK(BM_MemPass);

void BM_NetPass(benchmark::State &state) {
  OpenLink();
  P_PERFMON_NET_INFO info = PerfMonNETInit();
  PerfMonNETProcess(info);  // the counting pass makes the one block
  CountAllocations(state, [&] { PerfMonNETProcess(info); });
  PerfMonNETFree(info);
}
BENCHMARK(BM_NetPass);

void BM_DiskPass(benchmark::State &state) {
  OpenLink();
  P_PERFMON_DISK_INFO info = PerfMonDISKInit();
  if (info == nullptr) {
    state.SkipWithError("no mount table");
    return;
  }
  CountAllocations(state, [&] { PerfMonDISKProcess(info); });
  PerfMonDISKFree(info);
}
BENCHMARK(BM_DiskPass);

void BM_SysPass(benchmark::State &state) {
  OpenLink();
  P_PERFMON_SYS_INFO info = PerfMonSYSInit();
  CountAllocations(state, [&] { PerfMonSYSProcess(info); });
  PerfMonSYSFree(info);
}
BENCHMARK(BM_SysPass);

// A /proc/stat with state.range(0) processors whose user ticks move on
// between passes, so every pass sends four records for each of them.
std::string StatFile(int cpus, unsigned long tick) {
  std::string s = "cpu  1 2 3 4 5 0 0 0 0 0\n";
  for (int n = 0; n < cpus; ++n)
    s += "cpu" + std::to_string(n) + " " + std::to_string(tick) + " 0 5000 90000 100 0 7 0 0 0\n";
  return s + "intr 1 2 3\nbtime 1650000000\n";
}

void BM_CpuPassProcessors(benchmark::State &state) {
  OpenLink();
  const int cpus = static_cast<int>(state.range(0));
  std::string root = "/tmp/veld-perfmon-bench-root";
  std::filesystem::create_directories(root + "/proc");
  std::snprintf(szKernelRoot, sizeof szKernelRoot, "%s", root.c_str());
  unsigned long tick = 1000;
  std::ofstream(root + "/proc/stat") << StatFile(cpus, tick);
  P_PERFMON_CPU_INFO info = PerfMonCPUInit();
  PerfMonCPUProcess(info);
  size_t bytes = 0;
  unsigned long allocs = 0, passes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string stat = StatFile(cpus, ++tick);
    bytes = stat.size();
    std::ofstream(root + "/proc/stat") << stat;
    state.ResumeTiming();
    unsigned long before = veldbench::Allocations();
    PerfMonCPUProcess(info);
    allocs += veldbench::Allocations() - before;
    ++passes;
  }
  state.counters["allocs_per_pass"] = static_cast<double>(allocs) / passes;
  state.counters["stat_bytes"] = static_cast<double>(bytes);
  state.SetComplexityN(cpus);
  PerfMonCPUFree(info);
  szKernelRoot[0] = '\0';
  std::filesystem::remove_all(root);
}
BENCHMARK(BM_CpuPassProcessors)->RangeMultiplier(4)->Range(4, 1024)->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
