// What a rescan of a watched directory costs once every file in it is
// tailed already, against a bare opendir/readdir of the same directory, per
// entry, for 1 000 and 20 000 entries: the per-entry cost must stay flat as
// the directory grows, and a rescan must allocate nothing per entry.
#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "test_util.h"
#include "veld-logfile.h"

namespace {

// Lists `path` and touches every name, as any reader of the directory must.
void BareListing(const char *path) {
  DIR *d = opendir(path);
  if (d == nullptr) return;
  while (struct dirent *de = readdir(d)) benchmark::DoNotOptimize(de->d_name[0]);
  closedir(d);
}

void BM_Rescan(benchmark::State &state) {
  veldtest::TempDir dir;
  veldbench::PointAgentAt(dir.path(), 9, false);  // nothing is sent
  const int files = static_cast<int>(state.range(0));
  const std::string watched = dir / "watched";
  mkdir(watched.c_str(), 0755);
  for (int i = 0; i < files; ++i)
    veldtest::WriteFile(watched + "/f" + std::to_string(i) + ".log", "");
  LogFileList.store(nullptr);
  LOGDIR_LIST d{};
  d.log_dir = const_cast<char *>(watched.c_str());
  LogDirectoryProcess(&d);  // finds them all; later scans only look them up
  if (LogFileList.load() == nullptr) return state.SkipWithError("nothing was found");

  veldbench::Paired p;
  unsigned long allocs = 0;
  for (auto _ : state) {
    const double agent = p.Alternate(
        [&] {
          const unsigned long a0 = veldbench::Allocations();
          LogDirectoryProcess(&d);
          allocs += veldbench::Allocations() - a0;
        },
        [&] { BareListing(watched.c_str()); }, files);
    state.SetIterationTime(agent);
  }
  p.Report(state, "ns_per_file", 1e9);
  state.counters["allocs_per_entry"] =
      static_cast<double>(allocs) / static_cast<double>(state.iterations() * files);
  state.SetItemsProcessed(state.iterations() * files);
}
BENCHMARK(BM_Rescan)->Arg(1000)->Arg(20000)->UseManualTime()->Iterations(31)->Unit(
    benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
