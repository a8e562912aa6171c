// What the tailer costs, each figure beside what the same work costs done
// bare in the same process:
//   IdlePass       a pass over N files that have not changed, against one
//                  stat() of each path; it must open none of them and
//                  allocate nothing per file;
//   ForwardTcp/Udp CPU per record forwarded from a large file, against a
//                  bare send() of each of the same records on a socket of
//                  the same kind to the same sink; with the allocations, the
//                  link calls and the looks for a hung-up collector per record;
//   CollectorRestart  records lost when the collector goes away and comes
//                  back between two bursts (at most one is allowed).
// Records go to a real loopback sink that a thread drains.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "test_util.h"
#include "veld-logfile.h"

// The link's calls are counted on their way to the kernel: the looks for a
// hung-up collector (a peek) and the sends.
namespace {
std::atomic<unsigned long> g_peeks{0};
std::atomic<unsigned long> g_sends{0};
}  // namespace
extern "C" ssize_t recv(int fd, void *buf, size_t n, int flags) {
  if (flags & MSG_PEEK) g_peeks.fetch_add(1, std::memory_order_relaxed);
  return syscall(SYS_recvfrom, fd, buf, n, flags, nullptr, nullptr);
}
extern "C" ssize_t sendmsg(int fd, const msghdr *m, int flags) {
  g_sends.fetch_add(1, std::memory_order_relaxed);
  return syscall(SYS_sendmsg, fd, m, flags);
}
extern "C" int sendmmsg(int fd, mmsghdr *v, unsigned n, int flags) {
  g_sends.fetch_add(1, std::memory_order_relaxed);
  return static_cast<int>(syscall(SYS_sendmmsg, fd, v, n, flags));
}

namespace {

using veldbench::Allocations;
using veldbench::Paired;
using veldbench::Sink;

constexpr size_t kLineWidth = 100;  // bytes of a benchmark line, line end included

// The list is rebuilt for each benchmark; old nodes stay reachable, as the
// agent never frees a node.
void NewList() { LogFileList.store(nullptr); }

P_LOGFILE_LIST Append(const std::string &path) {
  P_LOGFILE_LIST n = LogFileNew(strdup(path.c_str()));
  LogFileListAppend(n);
  return n;
}

// Opens made in `dir` since the watch was set, read from an inotify handle.
long CountOpens(int watch) {
  char buf[65536];
  long opens = 0;
  for (ssize_t r; (r = read(watch, buf, sizeof buf)) > 0;)
    for (char *p = buf; p < buf + r; ++opens)
      p += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(p)->len;
  return opens;
}

void BM_IdlePass(benchmark::State &state) {
  veldbench::RaiseDescriptorLimit();
  veldtest::TempDir dir;
  Sink sink;
  if (!sink.Start(false)) return state.SkipWithError("no sink");
  veldbench::PointAgentAt(dir.path(), sink.port(), false);
  const int files = static_cast<int>(state.range(0));
  const std::string logs = dir / "logs", positions = dir / "positions";
  mkdir(logs.c_str(), 0755);
  NewList();
  std::vector<std::string> paths;
  for (int i = 0; i < files; ++i) {
    paths.push_back(logs + "/f" + std::to_string(i) + ".log");
    veldtest::WriteFile(paths.back(), "already sent\n");
    Append(paths.back());
  }
  LogFilePass(positions.c_str());  // reads every file once, saves the offsets
  LogFilePass(positions.c_str());

  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  inotify_add_watch(watch, logs.c_str(), IN_OPEN);
  Paired p;
  unsigned long allocs = 0;
  for (auto _ : state) {
    const double agent = p.Alternate(
        [&] {
          const unsigned long a0 = Allocations();
          LogFilePass(positions.c_str());
          allocs += Allocations() - a0;
        },
        [&] {
          struct stat st;
          for (const std::string &path : paths) benchmark::DoNotOptimize(stat(path.c_str(), &st));
        });
    state.SetIterationTime(agent);
  }
  state.counters["files_opened"] = static_cast<double>(CountOpens(watch));
  close(watch);
  p.Report(state, "ms", 1e3);
  state.counters["allocs_per_file"] =
      static_cast<double>(allocs) / static_cast<double>(state.iterations() * files);
  state.SetItemsProcessed(state.iterations() * files);
}
BENCHMARK(BM_IdlePass)
    ->Arg(1000)
    ->Arg(10000)
    ->UseManualTime()
    ->Iterations(21)
    ->Unit(benchmark::kMillisecond);

// A socket of the kind the agent's link is, set up the same way, to the sink.
int BareSocket(bool tcp, int port) {
  int fd = socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  int one = 1, room = 1 << 20;
  if (tcp) {
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  return fd;
}

// The records the agent makes of a file's lines, stamped `stamp`.
std::vector<std::string> RecordsOf(const std::string &path, time_t stamp) {
  std::vector<std::string> out;
  std::istringstream in(veldtest::ReadFile(path));
  const std::string prefix = std::to_string(stamp) + " VELDUnixLog: ";
  for (std::string line; std::getline(in, line);) out.push_back(prefix + line + "\n");
  return out;
}

void Forward(benchmark::State &state, bool tcp) {
  constexpr uint64_t kLines = 100000;
  veldtest::TempDir dir;
  Sink sink;
  if (!sink.Start(tcp)) return state.SkipWithError("no sink");
  veldbench::PointAgentAt(dir.path(), sink.port(), tcp);
  const std::string path = dir / "large.log";
  veldbench::AppendLines(path, 0, kLines, kLineWidth, "forwarded");
  NewList();
  P_LOGFILE_LIST node = Append(path);
  const std::vector<std::string> records = RecordsOf(path, time(nullptr));
  const int bare = BareSocket(tcp, sink.port());
  // A datagram the sink could not take in time is lost: the waits end when
  // the count stops moving.
  const double quiet = tcp ? 1e9 : 0.5;

  Paired p;
  unsigned long allocs = 0, peeks = 0, sends = 0;
  uint64_t expected = 0;
  for (auto _ : state) {
    node->filesize = 0;
    const unsigned long a0 = Allocations(), p0 = g_peeks.load(), s0 = g_sends.load();
    const double c0 = veldbench::ThreadCpuSeconds();
    LogFileProcess(node);
    const double agent = veldbench::ThreadCpuSeconds() - c0;
    allocs += Allocations() - a0;
    peeks += g_peeks.load() - p0;
    sends += g_sends.load() - s0;
    if (node->filesize != kLines * kLineWidth)
      return state.SkipWithError("file not read to its end");
    sink.WaitFor(expected += kLines, 30, quiet);

    const double c1 = veldbench::ThreadCpuSeconds();
    for (const std::string &r : records) send(bare, r.data(), r.size(), MSG_NOSIGNAL);
    p.Add(agent / kLines, (veldbench::ThreadCpuSeconds() - c1) / kLines);
    sink.WaitFor(expected += kLines, 30, quiet);
    state.SetIterationTime(agent);
  }
  close(bare);
  const double sent = static_cast<double>(state.iterations() * kLines);
  p.Report(state, "us", 1e6);
  state.counters["delivered"] = static_cast<double>(sink.records()) / (2 * sent);
  state.counters["allocs_per_record"] = static_cast<double>(allocs) / sent;
  state.counters["peeks_per_record"] = static_cast<double>(peeks) / sent;
  state.counters["sends_per_record"] = static_cast<double>(sends) / sent;
  state.SetItemsProcessed(static_cast<int64_t>(sent));
}

void BM_ForwardTcp(benchmark::State &state) { Forward(state, true); }
void BM_ForwardUdp(benchmark::State &state) { Forward(state, false); }
BENCHMARK(BM_ForwardTcp)->UseManualTime()->Iterations(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ForwardUdp)->UseManualTime()->Iterations(7)->Unit(benchmark::kMillisecond);

// The collector closes every connection and listens again between two
// bursts of a file; the agent learns of it only by looking before a burst.
void BM_CollectorRestart(benchmark::State &state) {
  constexpr uint64_t kBurst = 50;
  veldtest::TempDir dir;
  Sink sink;
  if (!sink.Start(true)) return state.SkipWithError("no sink");
  veldbench::PointAgentAt(dir.path(), sink.port(), true);
  const std::string path = dir / "restarted.log";
  NewList();
  P_LOGFILE_LIST node = Append(path);
  uint64_t written = 0;
  for (auto _ : state) {
    veldbench::AppendLines(path, written, kBurst, kLineWidth, "restart");
    written += kBurst;
    LogFileProcess(node);
    sink.WaitFor(written, 10);
    if (!sink.Restart()) return state.SkipWithError("sink cannot listen again");
    veldbench::AppendLines(path, written, kBurst, kLineWidth, "restart");
    written += kBurst;
    LogFileProcess(node);
    sink.WaitFor(written, 10, 0.5);
  }
  const double lost = static_cast<double>(written - sink.records());
  const double restarts = static_cast<double>(state.iterations());
  state.counters["agent_lost_per_restart"] = lost / restarts;
  state.counters["baseline_lost_per_restart"] = 1;  // what a restart may cost
  state.counters["ratio"] = lost / restarts;
}
BENCHMARK(BM_CollectorRestart)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
