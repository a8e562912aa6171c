// CPU per forwarded line of the tailer's pass, in this process, over the
// tls and relp links beside plain tcp, in alternating rounds of one run:
//   tcp   to a loopback sink that reads and discards
//   tls   to veldcollect serving TLS (its own certificate, verified)
//   relp  to a stock rsyslog's imrelp, every record acknowledged
// Each round reads the same file of kLines lines from its start.  The
// figure is the tailer thread's CPU time: encryption and RELP framing and
// acknowledgements are in it, the peers' work is not.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "rsyslog_collector.h"
#include "test_util.h"
#include "veld-config-unix.h"
#include "veld-logfile.h"

namespace {

constexpr uint64_t kLines = 20000;
constexpr size_t kLineWidth = 100;
constexpr int kRounds = 5;

// veldcollect serving TLS, its output in `dir`; its port, 0 on failure.
int StartTlsCollector(const veldtest::TempDir &dir, pid_t *pid) {
  *pid = veldtest::Spawn({veldtest::BuiltProgram("veldcollect"), "-p", "0", "-T", dir / "cert.pem",
                          "-K", dir / "key.pem"},
                         dir / "collect.out");
  const std::string prefix = "listening on 127.0.0.1:";
  int port = 0;
  veldtest::WaitUntil(
      [&] {
        const std::string out = veldtest::ReadFile(dir / "collect.out");
        size_t at = out.find(prefix);
        if (at == std::string::npos || out.find("certificate for localhost") == std::string::npos)
          return false;
        port = std::atoi(out.c_str() + at + prefix.size());
        return true;
      },
      10000);
  return port;
}

void BM_LinkTransports(benchmark::State &state) {
  veldtest::TempDir dir;
  veldbench::Sink sink;
  veldtest::RsyslogCollector relp;
  veldtest::RsyslogInput in;
  in.kind = veldtest::RsyslogInput::kRelp;
  std::string err;
  pid_t collect = -1;
  const int tls_port = StartTlsCollector(dir, &collect);
  if (!sink.Start(true) || tls_port == 0 || !relp.Start(in, &err))
    return state.SkipWithError(("a peer did not start: " + err).c_str());
  const std::string path = dir / "large.log";
  veldbench::AppendLines(path, 0, kLines, kLineWidth, "transport");
  LogFileList.store(nullptr);
  P_LOGFILE_LIST node = LogFileNew(strdup(path.c_str()));
  LogFileListAppend(node);

  // One pass over the file through the link of `service` to `port`.
  auto pass = [&](const char *service, int port) {
    veldbench::PointAgentAt(dir.path(), port, true);
    CfgHashAdd(kCfgRemoteService, service);
    CfgHashAdd(kCfgRemoteServerName, "localhost");
    CfgHashAdd(kCfgRemoteCAFile, (dir / "cert.pem").c_str());
    LogInit();
    node->filesize = 0;
    const double c0 = veldbench::ThreadCpuSeconds();
    LogFileProcess(node);
    const double cpu = veldbench::ThreadCpuSeconds() - c0;
    return node->filesize == kLines * kLineWidth ? cpu / kLines : -1;
  };
  std::vector<double> tcp, tls, relps, tls_ratio, relp_ratio;
  for (auto _ : state) {
    for (int r = 0; r < kRounds; ++r) {
      const double a = pass("tcp", sink.port()), b = pass("tls", tls_port),
                   c = pass("relp", relp.port());
      if (a <= 0 || b <= 0 || c <= 0) return state.SkipWithError("a pass did not read the file");
      tcp.push_back(a);
      tls.push_back(b);
      relps.push_back(c);
      tls_ratio.push_back(b / a);
      relp_ratio.push_back(c / a);
    }
    state.SetIterationTime(1);
  }
  state.counters["tcp_us"] = veldbench::Median(tcp) * 1e6;
  state.counters["tls_us"] = veldbench::Median(tls) * 1e6;
  state.counters["relp_us"] = veldbench::Median(relps) * 1e6;
  state.counters["tls_ratio"] = veldbench::Median(tls_ratio);
  state.counters["relp_ratio"] = veldbench::Median(relp_ratio);
  if (sockData != nullptr) NetClose(sockData);
  kill(collect, SIGTERM);
}
BENCHMARK(BM_LinkTransports)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
