// The real veldagentd beside private rsyslogds (imfile in polling mode and
// in inotify mode, omfwd over TCP), all tailing the same files at once and
// forwarding to sinks of their own that read and discard:
//   ForwardBesideRsyslog  CPU per forwarded line (utime + stime of each
//                  process over the same windows) while 100 files gain
//                  1 000 lines a second, then, under strace, system calls
//                  per line and the agent's looks for a hung-up collector
//                  per record; the agent woken on change, and beside it the
//                  agent polling only (LogNotify = no);
//   IdleMemory     resident memory once both have read everything and gone
//                  idle, with 100 files each; and the agent's with 1 and
//                  1 000 files, whose difference must be no more than the
//                  heap the agent keeps per file.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "agent_process.h"
#include "bench_process.h"
#include "bench_util.h"
#include "test_util.h"
#include "veld-logfile.h"

namespace {

using veldbench::kMarker;
using veldbench::LogSet;
using veldbench::ProcessRunSeconds;
using veldbench::ResidentKb;
using veldbench::Rsyslog;
using veldbench::Sink;
using veldbench::StartAgent;
using veldbench::SyscallCount;

constexpr int kFiles = 100;
constexpr int kLinesPerSecond = 1000;  // over all files
constexpr int kWindowSeconds = 15;
constexpr int kWindows = 3;
constexpr int kPassSeconds = 10;       // both tail every 10 s
constexpr double kDeliverySlack = 40;  // seconds a window's lines may take to arrive

// The agent and rsyslog (polling) tailing the same files, each with its own
// sink; with `woken`, rsyslog in inotify mode too, and the agent polling
// only (LogNotify = no), as it did before it woke on change.
struct Contest {
  explicit Contest(bool woken) : all(woken) {}
  const bool all;
  veldtest::TempDir dir;
  LogSet logs{dir / "logs", kFiles};
  Sink agent_sink, rsyslog_sink, inotify_sink, polling_sink;
  veldtest::AgentProcess agent, polling;
  Rsyslog rsyslog, inotify;

  // All started and through the lines the files already held.
  bool Start(std::string *err) {
    logs.Write(kFiles);
    if (!agent_sink.Start(true, kMarker) || !rsyslog_sink.Start(true, kMarker) ||
        (all && (!inotify_sink.Start(true, kMarker) || !polling_sink.Start(true, kMarker)))) {
      *err = "no sink";
      return false;
    }
    const std::vector<std::string> &files = logs.paths();
    if (!StartAgent(&agent, dir / "agent", files, agent_sink.port()) ||
        !rsyslog.Start(dir / "rsyslog", files, rsyslog_sink.port(), Rsyslog::Mode::kPolling) ||
        (all &&
         (!inotify.Start(dir / "inotify", files, inotify_sink.port(), Rsyslog::Mode::kInotify) ||
          !StartAgent(&polling, dir / "polling", files, polling_sink.port(),
                      "LogNotify = no\n")))) {
      *err = "cannot start the agent or rsyslogd (is the rsyslog package installed?)";
      return false;
    }
    return Delivered(&*err);
  }
  // Waits for all to forward every line written so far.
  bool Delivered(std::string *err) {
    const uint64_t n = logs.written();
    if (agent_sink.WaitFor(n, kDeliverySlack) && rsyslog_sink.WaitFor(n, kDeliverySlack) &&
        (!all ||
         (inotify_sink.WaitFor(n, kDeliverySlack) && polling_sink.WaitFor(n, kDeliverySlack))))
      return true;
    *err = "lines did not arrive: agent " + std::to_string(agent_sink.records()) + ", rsyslog " +
           std::to_string(rsyslog_sink.records()) + ", rsyslog inotify " +
           std::to_string(inotify_sink.records()) + ", agent polling " +
           std::to_string(polling_sink.records()) + " of " + std::to_string(n);
    return false;
  }
};

void BM_ForwardBesideRsyslog(benchmark::State &state) {
  for (auto _ : state) {
    Contest c(true);
    std::string err;
    if (!c.Start(&err)) return state.SkipWithError(err.c_str());
    const uint64_t before = c.logs.written();
    const pid_t pids[] = {c.agent.pid(), c.rsyslog.pid(), c.inotify.pid(), c.polling.pid()};
    double cpu[4];
    for (int i = 0; i < 4; ++i) cpu[i] = -ProcessRunSeconds(pids[i]);
    for (int w = 0; w < kWindows; ++w) {
      c.logs.WriteAtRate(kWindowSeconds, kLinesPerSecond);
      if (!c.Delivered(&err)) return state.SkipWithError(err.c_str());
    }
    const double lines = static_cast<double>(c.logs.written() - before);
    for (int i = 0; i < 4; ++i) cpu[i] += ProcessRunSeconds(pids[i]);
    const auto [agent, rsyslog, inotify, polling] = cpu;
    state.SetIterationTime(agent);
    state.counters["agent_s_per_10k"] = agent / lines * 1e4;
    state.counters["baseline_s_per_10k"] = rsyslog / lines * 1e4;
    state.counters["ratio"] = agent / rsyslog;
    state.counters["inotify_s_per_10k"] = inotify / lines * 1e4;
    state.counters["ratio_inotify"] = agent / inotify;
    state.counters["polling_s_per_10k"] = polling / lines * 1e4;
    state.counters["ratio_polling"] = polling / rsyslog;
    state.counters["lines"] = lines;

    // Then the same workload once more, with every system call counted.
    const char *names[] = {"agent", "rsyslog", "inotify", "polling"};
    SyscallCount trace[4];
    for (int i = 0; i < 4; ++i)
      if (!trace[i].Attach(pids[i], c.dir / (std::string(names[i]) + ".strace")))
        return state.SkipWithError("cannot run strace (apt-get install strace)");
    const uint64_t traced_from = c.logs.written();
    c.logs.WriteAtRate(kWindowSeconds, kLinesPerSecond);
    if (!c.Delivered(&err)) return state.SkipWithError(err.c_str());
    const double traced = static_cast<double>(c.logs.written() - traced_from);
    long calls[4], peeks[4];
    for (int i = 0; i < 4; ++i)
      if (!trace[i].Stop(&calls[i], &peeks[i]))
        return state.SkipWithError("strace counted nothing");
    state.counters["agent_syscalls_per_line"] = static_cast<double>(calls[0]) / traced;
    state.counters["baseline_syscalls_per_line"] = static_cast<double>(calls[1]) / traced;
    state.counters["inotify_syscalls_per_line"] = static_cast<double>(calls[2]) / traced;
    state.counters["polling_syscalls_per_line"] = static_cast<double>(calls[3]) / traced;
    state.counters["peeks_per_record"] = static_cast<double>(peeks[0]) / traced;
    state.counters["polling_peeks_per_record"] = static_cast<double>(peeks[3]) / traced;
  }
}
BENCHMARK(BM_ForwardBesideRsyslog)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// Live heap the agent's code keeps for each of `files` tailed files once it
// has read them and saved their offsets, measured in this process.
double HeapPerFile(int files) {
  veldtest::TempDir dir;
  Sink sink;
  if (!sink.Start(false)) return -1;
  veldbench::PointAgentAt(dir.path(), sink.port(), false);
  veldbench::RaiseDescriptorLimit();
  LogSet logs(dir / "logs", files);
  logs.Write(static_cast<uint64_t>(files));
  const std::string positions = dir / "positions";
  LogFilePass(positions.c_str());  // the one-file pass makes the shared buffers
  const size_t before = mallinfo2().uordblks;
  for (const std::string &p : logs.paths()) LogFileListAppend(LogFileNew(strdup(p.c_str())));
  LogFilePass(positions.c_str());
  LogFilePass(positions.c_str());
  return static_cast<double>(mallinfo2().uordblks - before) / files;
}

void BM_IdleMemory(benchmark::State &state) {
  for (auto _ : state) {
    Contest c(false);
    std::string err;
    if (!c.Start(&err)) return state.SkipWithError(err.c_str());
    // Agents with one file and with a thousand, idle alike.
    veldtest::TempDir other;
    LogSet one(other / "one", 1), thousand(other / "thousand", 1000);
    one.Write(1);
    thousand.Write(1000);
    Sink s1, s1000;
    veldtest::AgentProcess a1, a1000;
    if (!s1.Start(true, kMarker) || !s1000.Start(true, kMarker) ||
        !StartAgent(&a1, other / "agent1", one.paths(), s1.port()) ||
        !StartAgent(&a1000, other / "agent1000", thousand.paths(), s1000.port()))
      return state.SkipWithError("cannot start the agents");
    if (!s1.WaitFor(1, kDeliverySlack) || !s1000.WaitFor(1000, kDeliverySlack))
      return state.SkipWithError("the idle agents' lines did not arrive");
    // A few passes with nothing to read.
    std::this_thread::sleep_for(std::chrono::seconds(2 * kPassSeconds + 5));
    const double agent = static_cast<double>(ResidentKb(c.agent.pid()));
    const double rsyslog = static_cast<double>(ResidentKb(c.rsyslog.pid()));
    const double rss1 = static_cast<double>(ResidentKb(a1.pid()));
    const double rss1000 = static_cast<double>(ResidentKb(a1000.pid()));
    state.SetIterationTime(1);
    state.counters["agent_kb"] = agent;
    state.counters["baseline_kb"] = rsyslog;
    state.counters["ratio"] = agent / rsyslog;
    state.counters["agent_1_file_kb"] = rss1;
    state.counters["agent_1000_files_kb"] = rss1000;
    const double per_file = (rss1000 - rss1) * 1024 / 999;
    const double heap = HeapPerFile(1000);
    state.counters["rss_per_file_bytes"] = per_file;
    state.counters["heap_per_file_bytes"] = heap;
    state.counters["flat_ratio"] = per_file / heap;
  }
}
BENCHMARK(BM_IdleMemory)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
