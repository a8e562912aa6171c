// The real veldagentd working off what piled up, each figure beside a
// baseline measured in the same run:
//   DrainBacklog/<files>  a pre-written backlog of 1 000 000 lines of 100
//        bytes, in 1 file or spread over 10, read from its start and sent
//        over TCP: lines a second from the first line received to the last
//        (what each does before it starts reading, such as the agent's 5 s
//        head start for the scanner, is left out), CPU per line (start-up
//        included) and the most memory held, in
//        alternating rounds with a private rsyslogd (imfile in inotify
//        mode, omfwd) draining the same files.  Each round also times the
//        sink taking a million records of the agent's shape from a bare
//        sender: what the collector can take, which must stay well above
//        what either reader sends, or the sink would be the measure;
//   CatchUp   the collector away for 300 s while 5 files gain 500 lines a
//        second (and go on gaining them): the time from its return until
//        it has every line written while it was away, against the time the
//        same collector needs to take those records' bytes from a bare
//        sender;
//   QuietLineDuringDrain  the worst arrival delay of the lines written
//        every 50 ms to a quiet file while 64 MiB of 8-byte lines drain
//        from another, against one pass period (11 s).
// The agent runs in a private mount namespace whose /var/log is a
// temporary directory; rsyslogd with its own configuration, work directory
// and pid file.  Nothing a benchmark tails is rotated.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "agent_process.h"
#include "bench_process.h"
#include "bench_util.h"
#include "test_util.h"

namespace {

using veldbench::kLineWidth;
using veldbench::kMarker;
using veldbench::LogSet;
using veldbench::Median;
using veldbench::ProcessCpuSeconds;
using veldbench::Rsyslog;
using veldbench::Sink;
using veldbench::StartAgent;
using veldbench::WallSeconds;

// No file a benchmark tails reaches this many MiB: nothing is rotated.
constexpr char kNoRotation[] = "LogRotationSize = 1048576\n";
constexpr char kLive[] = "liveline";  // lines a sink does not count

constexpr uint64_t kBacklogLines = 1000000;
constexpr int kDrainRounds = 3;
constexpr double kDrainLimit = 600;    // seconds a drain may take before the round fails
constexpr size_t kBlockRecords = 500;  // records in one write of the bare sender
constexpr double kStartLimit = 30;     // seconds for a reader to forward its first lines

// What one reader did with the whole backlog.
struct Drained {
  double seconds = -1;  // from the first line received to the last
  double cpu = 0;       // seconds, all its threads
  long peak_kb = 0;     // the most it held resident
};

Drained DrainWithAgent(const std::string &dir, const std::vector<std::string> &files) {
  Drained d;
  Sink sink;
  veldtest::AgentProcess agent;
  if (!sink.Start(true, kMarker)) return d;
  if (!StartAgent(&agent, dir, files, sink.port(), kNoRotation) ||
      !sink.WaitFor(kBacklogLines, kDrainLimit))
    return d;
  d.seconds = sink.last_at() - sink.first_at();
  d.cpu = ProcessCpuSeconds(agent.pid());
  d.peak_kb = veldbench::PeakResidentKb(agent.pid());
  return d;
}

Drained DrainWithRsyslog(const std::string &dir, const std::vector<std::string> &files) {
  Drained d;
  Sink sink;
  Rsyslog rsyslog;
  if (!sink.Start(true, kMarker) ||
      !rsyslog.Start(dir, files, sink.port(), Rsyslog::Mode::kInotify) ||
      !sink.WaitFor(kBacklogLines, kDrainLimit))
    return d;
  d.seconds = sink.last_at() - sink.first_at();
  d.cpu = ProcessCpuSeconds(rsyslog.pid());
  d.peak_kb = veldbench::PeakResidentKb(rsyslog.pid());
  return d;
}

// Lines a second a sink takes from a bare sender writing records of the
// agent's shape as fast as it can; -1 when they did not all arrive.
double CollectorLinesPerSecond(uint64_t lines) {
  Sink sink;
  if (!sink.Start(true, kMarker)) return -1;
  const std::string block = veldbench::AgentRecords(kBlockRecords, kLineWidth, kMarker);
  const uint64_t blocks = lines / kBlockRecords;
  const double s = veldbench::TimeToTake(sink, block, blocks, blocks * kBlockRecords, kDrainLimit);
  return s > 0 ? static_cast<double>(blocks * kBlockRecords) / s : -1;
}

void BM_DrainBacklog(benchmark::State &state) {
  const int files = static_cast<int>(state.range(0));
  for (auto _ : state) {
    veldtest::TempDir dir;
    std::vector<std::string> paths;
    mkdir((dir / "logs").c_str(), 0755);
    for (int i = 0; i < files; ++i) {
      paths.push_back(dir / ("logs/app" + std::to_string(i) + ".log"));
      const uint64_t share = kBacklogLines / files;
      veldbench::AppendLines(paths.back(), i * share, share, kLineWidth, kMarker);
    }
    veldbench::Paired rate, cpu, peak;
    std::vector<double> collector;
    for (int round = 0; round < kDrainRounds; ++round) {
      const std::string r = std::to_string(round);
      Drained a, b;
      if (round % 2 == 0) {
        a = DrainWithAgent(dir / ("agent" + r), paths);
        b = DrainWithRsyslog(dir / ("rsyslog" + r), paths);
      } else {
        b = DrainWithRsyslog(dir / ("rsyslog" + r), paths);
        a = DrainWithAgent(dir / ("agent" + r), paths);
      }
      if (a.seconds <= 0 || b.seconds <= 0)
        return state.SkipWithError(a.seconds <= 0 ? "the agent did not send the whole backlog"
                                                  : "rsyslog did not send the whole backlog");
      const double lines = static_cast<double>(kBacklogLines);
      rate.Add(lines / a.seconds, lines / b.seconds);
      cpu.Add(a.cpu / lines, b.cpu / lines);
      peak.Add(static_cast<double>(a.peak_kb), static_cast<double>(b.peak_kb));
      collector.push_back(CollectorLinesPerSecond(kBacklogLines));
      if (collector.back() <= 0) return state.SkipWithError("the sink did not take the records");
    }
    state.SetIterationTime(1);
    rate.Report(state, "lines_per_s", 1);  // and "ratio": agent / rsyslog, lines a second
    const double ratio = rate.Ratio();
    cpu.Report(state, "cpu_us_per_line", 1e6);
    state.counters["ratio_cpu"] = cpu.Ratio();
    peak.Report(state, "peak_kb", 1);
    state.counters["ratio"] = ratio;
    state.counters["ratio_peak"] = peak.Ratio();
    state.counters["collector_lines_per_s"] = Median(collector);
    state.counters["lines"] = static_cast<double>(kBacklogLines);
  }
}
BENCHMARK(BM_DrainBacklog)
    ->Arg(1)
    ->Arg(10)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

constexpr int kCatchUpFiles = 5;
constexpr double kCatchUpRate = 500;  // lines a second over all files
constexpr int kCatchUpTakes = 5;      // times the collector alone takes the records

void BM_CatchUp(benchmark::State &state) {
  const int outage = static_cast<int>(state.range(0));
  for (auto _ : state) {
    veldtest::TempDir dir;
    LogSet logs(dir / "logs", kCatchUpFiles);
    Sink sink;
    veldtest::AgentProcess agent;
    logs.Write(kCatchUpFiles, kLive);
    if (!sink.Start(true, kMarker) ||
        !StartAgent(&agent, dir / "agent", logs.paths(), sink.port(), kNoRotation) ||
        !veldtest::WaitUntil([&] { return sink.lines() >= kCatchUpFiles; },
                             static_cast<int>(kStartLimit * 1000)))
      return state.SkipWithError("the agent did not start forwarding");
    if (!sink.Down()) return state.SkipWithError("the sink did not go away");
    logs.WriteAtRate(outage, kCatchUpRate);  // the only lines the sink counts
    const uint64_t backlog = logs.written() - kCatchUpFiles;
    if (!sink.Up()) return state.SkipWithError("the sink did not come back");
    const double back = WallSeconds();
    logs.WriteAtRate(kDrainLimit, kCatchUpRate, kLive, [&] { return sink.records() >= backlog; });
    if (sink.records() < backlog) return state.SkipWithError("the agent did not catch up");
    const double caught = sink.last_at() - back;

    // The collector alone: the same number of records of the same shape.
    Sink alone;
    if (!alone.Start(true, kMarker)) return state.SkipWithError("no sink");
    const std::string block = veldbench::AgentRecords(kBlockRecords, kLineWidth, kMarker);
    const uint64_t blocks = (backlog + kBlockRecords - 1) / kBlockRecords;
    std::vector<double> takes;
    for (int i = 0; i < kCatchUpTakes; ++i)
      takes.push_back(
          veldbench::TimeToTake(alone, block, blocks, blocks * kBlockRecords, kDrainLimit) *
          static_cast<double>(backlog) / static_cast<double>(blocks * kBlockRecords));
    const double collector = Median(takes);
    if (*std::min_element(takes.begin(), takes.end()) <= 0)
      return state.SkipWithError("the sink did not take the records");
    state.SetIterationTime(caught);
    state.counters["agent_s"] = caught;
    state.counters["baseline_s"] = collector;
    state.counters["ratio"] = caught / collector;
    state.counters["agent_first_line_s"] = sink.first_at() - back;  // the link taken up again
    state.counters["agent_lines_per_s"] =
        static_cast<double>(backlog) / (sink.last_at() - sink.first_at());
    state.counters["outage_s"] = outage;
    state.counters["lines"] = static_cast<double>(backlog);
  }
}
BENCHMARK(BM_CatchUp)
    ->Arg(veldbench::BenchSeconds("VELD_BENCH_OUTAGE_S", 300))
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

constexpr uint64_t kBusyBytes = 64 << 20;
constexpr char kShortLine[] = "shortln\n";  // 8 bytes, as a flood of short lines
constexpr double kQuietEvery = 0.05;        // seconds between two quiet lines
constexpr double kPassPeriod = 11;          // the bound: one pass, and the burst in hand
constexpr double kFairnessLimit = 1800;     // seconds the drain may take before giving up

// Appends kBusyBytes of short lines to `path` at once.
bool WriteBusy(const std::string &path) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return false;
  std::string chunk;
  while (chunk.size() < (1 << 20)) chunk += kShortLine;
  bool ok = true;
  for (uint64_t done = 0; ok && done < kBusyBytes; done += chunk.size())
    ok = write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
  close(fd);
  return ok;
}

void BM_QuietLineDuringDrain(benchmark::State &state) {
  for (auto _ : state) {
    veldtest::TempDir dir;
    LogSet quiet(dir / "logs", 1);
    quiet.KeepTimes();
    const std::string busy = dir / "logs/busy.log";
    veldtest::WriteFile(busy, "");
    Sink sink;
    veldtest::AgentProcess agent;
    quiet.Write(1);
    if (!sink.Start(true, kMarker, true) ||
        !StartAgent(&agent, dir / "agent", {quiet.paths()[0], busy}, sink.port(), kNoRotation) ||
        !sink.WaitFor(1, kStartLimit))
      return state.SkipWithError("the agent did not start forwarding");
    const uint64_t busy_lines = kBusyBytes / (sizeof kShortLine - 1);
    const uint64_t before = sink.lines();
    const double t0 = WallSeconds();
    if (!WriteBusy(busy)) return state.SkipWithError("cannot write the backlog");
    // A quiet line every kQuietEvery seconds until the backlog has gone.
    double next = t0, drained = -1;
    while (WallSeconds() - t0 < kFairnessLimit) {
      if (sink.lines() - before >= busy_lines + quiet.written() - 1) {
        drained = WallSeconds() - t0;
        break;
      }
      if (WallSeconds() >= next) {
        quiet.Write(1);
        next += kQuietEvery;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sink.WaitFor(quiet.written(), kPassPeriod * 2);
    // A line that never came counts with the time it has waited so far.
    const double now = WallSeconds();
    std::vector<double> delay(quiet.written(), -1);
    for (const Sink::Arrival &a : sink.Arrivals())
      if (a.number < delay.size()) delay[a.number] = a.at - quiet.times()[a.number];
    double missing = 0;
    for (size_t i = 0; i < delay.size(); ++i)
      if (delay[i] < 0) {
        delay[i] = now - quiet.times()[i];
        ++missing;
      }
    delay.erase(delay.begin());  // the line written before the backlog
    if (delay.empty()) return state.SkipWithError("no quiet line was written");
    const double worst = *std::max_element(delay.begin(), delay.end());
    state.SetIterationTime(drained > 0 ? drained : now - t0);
    state.counters["agent_max_delay_s"] = worst;
    state.counters["agent_p50_delay_s"] = veldbench::Quantile(delay, 0.5);
    state.counters["baseline_s"] = kPassPeriod;
    state.counters["ratio"] = worst / kPassPeriod;
    state.counters["quiet_lines"] = static_cast<double>(delay.size());
    state.counters["quiet_lines_missing"] = missing;
    state.counters["drain_s"] = drained;
    state.counters["drain_lines_per_s"] =
        drained > 0 ? static_cast<double>(busy_lines) / drained : 0;
  }
}
BENCHMARK(BM_QuietLineDuringDrain)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
