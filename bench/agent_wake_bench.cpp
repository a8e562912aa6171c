// The real veldagentd woken by change, each figure beside a baseline
// measured in the same run:
//   Latency   20 files each gaining one line a second, the lines spread
//             evenly: the delay from a line's write to its arrival at the
//             collector (p50, p99, the worst), beside a private rsyslogd
//             (imfile in inotify mode, omfwd over TCP) tailing the same
//             files at the same time;
//   IdleCpu   1 000 quiet files for 10 minutes: the CPU the agent uses,
//             beside the same agent polling only (LogNotify = no), which is
//             what the agent did before it woke on change.
// The agent runs in a private mount namespace whose /var/log is a
// temporary directory; rsyslogd with its own configuration, work directory
// and pid file.
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

using veldbench::kMarker;
using veldbench::LogSet;
using veldbench::Rsyslog;
using veldbench::Sink;
using veldbench::StartAgent;

constexpr int kLatencyFiles = 20;
constexpr double kLatencyRate = 20;  // lines a second over all files: one a second each
constexpr int kLatencySeconds = 60;
constexpr double kStartLimit = 30;  // seconds for a reader to forward its first lines
constexpr double kArrivalSlack = 20;
constexpr int kSettleSeconds = 3;

// The delay of every line numbered from `first` on that the sink received,
// in milliseconds; *missing gets the number of lines that never came.
std::vector<double> Delays(const Sink &sink, const LogSet &logs, uint64_t first, double *missing) {
  std::vector<double> delay(logs.written(), -1);
  for (const Sink::Arrival &a : sink.Arrivals())
    if (a.number < delay.size() && delay[a.number] < 0)
      delay[a.number] = (a.at - logs.times()[a.number]) * 1e3;
  delay.erase(delay.begin(), delay.begin() + static_cast<long>(first));
  *missing = static_cast<double>(std::count(delay.begin(), delay.end(), -1.0));
  delay.erase(std::remove(delay.begin(), delay.end(), -1.0), delay.end());
  return delay;
}

void BM_Latency(benchmark::State &state) {
  for (auto _ : state) {
    veldtest::TempDir dir;
    LogSet logs(dir / "logs", kLatencyFiles);
    logs.KeepTimes();
    Sink agent_sink, rsyslog_sink;
    veldtest::AgentProcess agent;
    Rsyslog rsyslog;
    logs.Write(kLatencyFiles);  // one line each, read at the start
    if (!agent_sink.Start(true, kMarker, true) || !rsyslog_sink.Start(true, kMarker, true))
      return state.SkipWithError("no sink");
    if (!StartAgent(&agent, dir / "agent", logs.paths(), agent_sink.port()) ||
        !rsyslog.Start(dir / "rsyslog", logs.paths(), rsyslog_sink.port(), Rsyslog::Mode::kInotify))
      return state.SkipWithError("cannot start the agent or rsyslogd");
    if (!agent_sink.WaitFor(kLatencyFiles, kStartLimit) ||
        !rsyslog_sink.WaitFor(kLatencyFiles, kStartLimit))
      return state.SkipWithError("the first lines did not arrive");
    // Measured once both run steadily: a line written just after the
    // agent's first pass has been seen to wait a whole second.
    std::this_thread::sleep_for(std::chrono::seconds(kSettleSeconds));
    const uint64_t first = logs.written();
    logs.WriteAtRate(kLatencySeconds, kLatencyRate);
    agent_sink.WaitFor(logs.written(), kArrivalSlack);
    rsyslog_sink.WaitFor(logs.written(), kArrivalSlack);
    double agent_missing = 0, rsyslog_missing = 0;
    const std::vector<double> a = Delays(agent_sink, logs, first, &agent_missing);
    const std::vector<double> r = Delays(rsyslog_sink, logs, first, &rsyslog_missing);
    if (a.empty() || r.empty()) return state.SkipWithError("no line arrived");
    using veldbench::Quantile;
    state.SetIterationTime(Quantile(a, 0.99) * 1e-3);
    state.counters["agent_p50_ms"] = Quantile(a, 0.5);
    state.counters["agent_p99_ms"] = Quantile(a, 0.99);
    state.counters["agent_max_ms"] = Quantile(a, 1);
    state.counters["baseline_p50_ms"] = Quantile(r, 0.5);
    state.counters["baseline_p99_ms"] = Quantile(r, 0.99);
    state.counters["baseline_max_ms"] = Quantile(r, 1);
    state.counters["ratio_p50"] = Quantile(a, 0.5) / Quantile(r, 0.5);
    state.counters["ratio_p99"] = Quantile(a, 0.99) / Quantile(r, 0.99);
    state.counters["agent_missing"] = agent_missing;
    state.counters["baseline_missing"] = rsyslog_missing;
    state.counters["lines"] = static_cast<double>(a.size());
  }
}
BENCHMARK(BM_Latency)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

constexpr int kIdleFiles = 1000;
constexpr int kIdleSettleSeconds = 25;  // two passes and more after the first lines went

void BM_IdleCpu(benchmark::State &state) {
  const int seconds = static_cast<int>(state.range(0));
  veldbench::RaiseDescriptorLimit();  // the writer holds every file open
  for (auto _ : state) {
    veldtest::TempDir dir;
    LogSet logs(dir / "logs", kIdleFiles);
    logs.Write(kIdleFiles);
    Sink notify_sink, polling_sink;
    veldtest::AgentProcess notify, polling;
    if (!notify_sink.Start(true, kMarker) || !polling_sink.Start(true, kMarker) ||
        !StartAgent(&notify, dir / "notify", logs.paths(), notify_sink.port()) ||
        !StartAgent(&polling, dir / "polling", logs.paths(), polling_sink.port(),
                    "LogNotify = no\n"))
      return state.SkipWithError("cannot start the agents");
    if (!notify_sink.WaitFor(kIdleFiles, kStartLimit) ||
        !polling_sink.WaitFor(kIdleFiles, kStartLimit))
      return state.SkipWithError("the first lines did not arrive");
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSettleSeconds));
    const double n0 = veldbench::ProcessRunSeconds(notify.pid());
    const double p0 = veldbench::ProcessRunSeconds(polling.pid());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double n = veldbench::ProcessRunSeconds(notify.pid()) - n0;
    const double p = veldbench::ProcessRunSeconds(polling.pid()) - p0;
    if (n0 < 0 || p0 < 0 || n < 0 || p < 0) return state.SkipWithError("an agent has gone");
    state.SetIterationTime(n);
    state.counters["agent_ms_per_min"] = n * 1e3 * 60 / seconds;
    state.counters["baseline_ms_per_min"] = p * 1e3 * 60 / seconds;
    state.counters["ratio"] = n / p;
    state.counters["idle_s"] = seconds;
    state.counters["files"] = kIdleFiles;
  }
}
BENCHMARK(BM_IdleCpu)
    ->Arg(veldbench::BenchSeconds("VELD_BENCH_IDLE_S", 600))
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
