// What rotating a large file costs: rotate_log on a 256 MiB file against cp
// of the same file followed by an fdatasync of the copy, the least a copy
// that survives a crash costs, and against that followed by emptying the
// source, as the rotation does.  The file is written afresh and flushed before
// each turn, so both start from the same page cache and a clean disk.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "test_util.h"
#include "veld-logfile.h"

extern char **environ;

namespace {

constexpr size_t kFileBytes = 256u << 20;

// `path` holding kFileBytes of 100-byte lines, on disk.
bool Fill(const std::string &path) {
  std::string block;
  for (int i = 0; block.size() < (1u << 20); ++i) {
    std::string line = "rotated line " + std::to_string(i) + " ";
    line.resize(99, 'x');
    block += line + "\n";
  }
  block.resize(1u << 20);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < kFileBytes; done += block.size())
    ok = write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size());
  ok = fsync(fd) == 0 && ok;
  return close(fd) == 0 && ok;
}

// cp SRC DST, then the copy made durable.
bool CopyAndSync(const std::string &src, const std::string &dst) {
  const char *argv[] = {"cp", src.c_str(), dst.c_str(), nullptr};
  pid_t pid;
  int status = 0;
  if (posix_spawnp(&pid, "cp", nullptr, nullptr, const_cast<char **>(argv), environ) != 0 ||
      waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return false;
  int fd = open(dst.c_str(), O_WRONLY | O_CLOEXEC);
  bool ok = fd >= 0 && fdatasync(fd) == 0;
  return fd >= 0 && close(fd) == 0 && ok;
}

off_t SizeOf(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

void BM_Rotate(benchmark::State &state) {
  veldtest::TempDir dir;
  veldbench::PointAgentAt(dir.path(), 9, false);  // nothing is sent
  const std::string live = dir / "big.log", backup = live + "._hlr_0", copy = dir / "copy.log";
  veldbench::Paired p, floor;
  bool agent_first = true;
  for (auto _ : state) {
    double agent = 0, bare = 0, emptied = 0;
    for (int turn = 0; turn < 2; ++turn) {
      std::remove(backup.c_str());
      std::remove(copy.c_str());
      if (!Fill(live)) return state.SkipWithError("cannot write the file");
      const double t0 = veldbench::WallSeconds();
      if (agent_first == (turn == 0)) {
        if (rotate_log(live.c_str()) != 1 || SizeOf(backup) != static_cast<off_t>(kFileBytes))
          return state.SkipWithError("rotation failed");
        agent = veldbench::WallSeconds() - t0;
      } else {
        if (!CopyAndSync(live, copy)) return state.SkipWithError("cp failed");
        bare = veldbench::WallSeconds() - t0;
        // What emptying costs on its own: the file system frees every block.
        if (truncate(live.c_str(), 0) != 0) return state.SkipWithError("cannot empty the file");
        emptied = veldbench::WallSeconds() - t0;
      }
    }
    agent_first = !agent_first;
    p.Add(agent, bare);
    floor.Add(agent, emptied);
    state.SetIterationTime(agent);
  }
  std::remove(backup.c_str());
  std::remove(copy.c_str());
  // The rotation empties the live file in place, which cp does not: beside
  // cp + fdatasync + truncate too, the least an emptying rotation costs.
  floor.Report(state, "ms_emptied", 1e3);
  state.counters["ratio_emptied"] = state.counters["ratio"];
  p.Report(state, "ms", 1e3);
}
BENCHMARK(BM_Rotate)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
