// The real veldagentd beside a private rsyslogd (imfile in polling mode,
// omfwd over TCP), both tailing the same files at once and forwarding to
// sinks of their own that read and discard:
//   ForwardBesideRsyslog  CPU per forwarded line (utime + stime of each
//                  process over the same windows) while 100 files gain
//                  1 000 lines a second, then, under strace, system calls
//                  per line and the agent's looks for a hung-up collector
//                  per record;
//   IdleMemory     resident memory once both have read everything and gone
//                  idle, with 100 files each; and the agent's with 1 and
//                  1 000 files, whose difference must be no more than the
//                  heap the agent keeps per file.
// Each agent runs in a private mount namespace whose /var/log is a
// temporary directory; rsyslogd runs with its own configuration, work
// directory and pid file: the host's logging is never touched.
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
#include "bench_util.h"
#include "test_util.h"
#include "veld-logfile.h"

namespace {

using veldbench::Sink;

constexpr char kMarker[] = "benchline";  // in every line written, so sinks count only these
constexpr size_t kLineWidth = 100;
constexpr int kFiles = 100;
constexpr int kLinesPerSecond = 1000;  // over all files
constexpr int kWindowSeconds = 15;
constexpr int kWindows = 3;
constexpr int kPassSeconds = 10;       // both tail every 10 s
constexpr double kDeliverySlack = 40;  // seconds a window's lines may take to arrive

// CPU seconds the process has used, all its threads: utime + stime.
double ProcessCpuSeconds(pid_t pid) {
  std::string stat = veldtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return -1;
  std::istringstream in(stat.substr(paren + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {  // fields 14 and 15, counted from 1
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ResidentKb(pid_t pid) {
  std::istringstream in(veldtest::ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Log files both readers tail, each opened once for appending.
class LogSet {
 public:
  LogSet(const std::string &dir, int files) {
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < files; ++i) {
      paths_.push_back(dir + "/app" + std::to_string(i) + ".log");
      fds_.push_back(open(paths_.back().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    }
  }
  ~LogSet() {
    for (int fd : fds_) close(fd);
  }
  const std::vector<std::string> &paths() const { return paths_; }
  // `n` lines, one file after the other.
  void Write(uint64_t n) {
    for (uint64_t i = 0; i < n; ++i, ++written_) {
      std::string line = std::string(kMarker) + " " + std::to_string(written_) + " ";
      line.resize(kLineWidth - 1, 'x');
      line += '\n';
      if (write(fds_[written_ % fds_.size()], line.data(), line.size()) < 0) return;
    }
  }
  // kLinesPerSecond lines a second for `seconds`, in steps of 10 ms.
  void WriteAtRate(int seconds) {
    auto next = std::chrono::steady_clock::now();
    for (int step = 0; step < seconds * 100; ++step) {
      Write(kLinesPerSecond / 100);
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
    }
  }
  uint64_t written() const { return written_; }

 private:
  std::vector<std::string> paths_;
  std::vector<int> fds_;
  uint64_t written_ = 0;
};

// The agent, tailing `files` and sending to 127.0.0.1:`port` over TCP.
bool StartAgent(veldtest::AgentProcess *agent, const std::string &dir,
                const std::vector<std::string> &files, int port) {
  mkdir(dir.c_str(), 0755);
  std::string cfg = "RemoteHost = 127.0.0.1\nRemotePort = " + std::to_string(port) +
                    "\nRemoteService = tcp\nWatchdogFile = " + dir + "/positions\n";
  for (const std::string &f : files) cfg += "LogFile = " + f + "\n";
  veldtest::WriteFile(dir + "/agent.cfg", cfg);
  mkdir((dir + "/log").c_str(), 0755);
  return agent->Start({"-d", "-c", dir + "/agent.cfg"}, dir + "/log");
}

// Debian's rsyslogd, wherever PATH leaves it out.
std::string RsyslogdPath() {
  return access("/usr/sbin/rsyslogd", X_OK) == 0 ? "/usr/sbin/rsyslogd" : "rsyslogd";
}

int WaitExit(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A private rsyslogd polling `files` every 10 s and forwarding each line
// over TCP to 127.0.0.1:`port`; its own messages go to a file of its own.
class Rsyslog {
 public:
  ~Rsyslog() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      WaitExit(pid_);
    }
  }
  bool Start(const std::string &dir, const std::vector<std::string> &files, int port) {
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/work").c_str(), 0700);
    std::string conf = "global(workDirectory=\"" + dir +
                       "/work\" processInternalMessages=\"on\")\n"
                       "module(load=\"imfile\" mode=\"polling\" PollingInterval=\"" +
                       std::to_string(kPassSeconds) +
                       "\")\n"
                       "ruleset(name=\"forward\") {\n"
                       "  action(type=\"omfwd\" target=\"127.0.0.1\" port=\"" +
                       std::to_string(port) +
                       "\" protocol=\"tcp\")\n"
                       "}\n";
    for (const std::string &f : files)
      conf += "input(type=\"imfile\" file=\"" + f + "\" tag=\"app\" ruleset=\"forward\")\n";
    conf += "action(type=\"omfile\" file=\"" + dir + "/internal.log\")\n";
    veldtest::WriteFile(dir + "/rsyslog.conf", conf);
    if (WaitExit(veldtest::Spawn({RsyslogdPath(), "-N1", "-f", dir + "/rsyslog.conf"},
                                 dir + "/check.out")) != 0)
      return false;
    pid_ = veldtest::Spawn(
        {RsyslogdPath(), "-n", "-f", dir + "/rsyslog.conf", "-i", dir + "/rsyslogd.pid"},
        dir + "/rsyslogd.out");
    return pid_ > 0;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// strace -f -c attached to a running process until Stop; the system calls
// it saw in all, and the recvfrom calls among them.
class SyscallCount {
 public:
  bool Attach(pid_t pid, const std::string &out) {
    out_ = out;
    pid_ =
        veldtest::Spawn({"strace", "-f", "-c", "-o", out, "-p", std::to_string(pid)}, out + ".log");
    std::this_thread::sleep_for(std::chrono::seconds(1));  // strace has attached by then
    return pid_ > 0;
  }
  bool Stop(long *total, long *recvfrom) {
    if (pid_ <= 0) return false;
    kill(pid_, SIGINT);
    WaitExit(pid_);
    std::istringstream in(veldtest::ReadFile(out_));
    *total = *recvfrom = -1;
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::vector<std::string> w;
      for (std::string x; words >> x;) w.push_back(x);
      if (w.size() < 5 || w[3].find_first_not_of("0123456789") != std::string::npos) continue;
      if (w.back() == "total") *total = std::stol(w[3]);
      if (w.back() == "recvfrom") *recvfrom = std::stol(w[3]);
    }
    if (*recvfrom < 0 && *total >= 0) *recvfrom = 0;
    return *total >= 0;
  }

 private:
  pid_t pid_ = -1;
  std::string out_;
};

// The agent and rsyslog tailing the same files, each with its own sink.
struct Contest {
  veldtest::TempDir dir;
  LogSet logs{dir / "logs", kFiles};
  Sink agent_sink, rsyslog_sink;
  veldtest::AgentProcess agent;
  Rsyslog rsyslog;

  // Both started and through the lines the files already held.
  bool Start(std::string *err) {
    logs.Write(kFiles);
    if (!agent_sink.Start(true, kMarker) || !rsyslog_sink.Start(true, kMarker)) {
      *err = "no sink";
      return false;
    }
    if (!StartAgent(&agent, dir / "agent", logs.paths(), agent_sink.port()) ||
        !rsyslog.Start(dir / "rsyslog", logs.paths(), rsyslog_sink.port())) {
      *err = "cannot start the agent or rsyslogd (is the rsyslog package installed?)";
      return false;
    }
    return Delivered(&*err);
  }
  // Waits for both to forward every line written so far.
  bool Delivered(std::string *err) {
    if (agent_sink.WaitFor(logs.written(), kDeliverySlack) &&
        rsyslog_sink.WaitFor(logs.written(), kDeliverySlack))
      return true;
    *err = "lines did not arrive: agent " + std::to_string(agent_sink.records()) + ", rsyslog " +
           std::to_string(rsyslog_sink.records()) + " of " + std::to_string(logs.written());
    return false;
  }
};

void BM_ForwardBesideRsyslog(benchmark::State &state) {
  for (auto _ : state) {
    Contest c;
    std::string err;
    if (!c.Start(&err)) return state.SkipWithError(err.c_str());
    const uint64_t before = c.logs.written();
    const double a0 = ProcessCpuSeconds(c.agent.pid());
    const double r0 = ProcessCpuSeconds(c.rsyslog.pid());
    for (int w = 0; w < kWindows; ++w) {
      c.logs.WriteAtRate(kWindowSeconds);
      if (!c.Delivered(&err)) return state.SkipWithError(err.c_str());
    }
    const double lines = static_cast<double>(c.logs.written() - before);
    const double agent = ProcessCpuSeconds(c.agent.pid()) - a0;
    const double rsyslog = ProcessCpuSeconds(c.rsyslog.pid()) - r0;
    state.SetIterationTime(agent);
    state.counters["agent_s_per_10k"] = agent / lines * 1e4;
    state.counters["baseline_s_per_10k"] = rsyslog / lines * 1e4;
    state.counters["ratio"] = agent / rsyslog;
    state.counters["lines"] = lines;

    // Then the same workload once more, with every system call counted.
    SyscallCount sa, sr;
    if (!sa.Attach(c.agent.pid(), c.dir / "agent.strace") ||
        !sr.Attach(c.rsyslog.pid(), c.dir / "rsyslog.strace"))
      return state.SkipWithError("cannot run strace (apt-get install strace)");
    const uint64_t traced_from = c.logs.written();
    c.logs.WriteAtRate(kWindowSeconds);
    if (!c.Delivered(&err)) return state.SkipWithError(err.c_str());
    const double traced = static_cast<double>(c.logs.written() - traced_from);
    long at = 0, ar = 0, rt = 0, rr = 0;
    if (!sa.Stop(&at, &ar) || !sr.Stop(&rt, &rr))
      return state.SkipWithError("strace counted nothing");
    state.counters["agent_syscalls_per_line"] = static_cast<double>(at) / traced;
    state.counters["baseline_syscalls_per_line"] = static_cast<double>(rt) / traced;
    state.counters["peeks_per_record"] = static_cast<double>(ar) / traced;
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
    Contest c;
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
