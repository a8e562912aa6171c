// What the benchmarks that run whole processes share: the real veldagentd
// started on a configuration of its own, a private rsyslogd beside it, the
// log files both tail and the writer that feeds them, and the CPU, memory
// and system calls of a process as the kernel counts them.
//
// Each agent runs in a private mount namespace whose /var/log is a
// temporary directory; rsyslogd runs with its own configuration, work
// directory and pid file: the host's logging is never touched.
#ifndef VELD_BENCH_PROCESS_H
#define VELD_BENCH_PROCESS_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent_process.h"

namespace veldbench {

inline constexpr char kMarker[] = "benchline";  // in the lines written, so sinks count only these
inline constexpr size_t kLineWidth = 100;       // bytes of a written line, line end included

// CPU seconds the process has used, all its threads: utime + stime, in
// clock ticks.
double ProcessCpuSeconds(pid_t pid);
// The same to the nanosecond: the run time the scheduler gave each of its
// threads (for figures too small for clock ticks).
double ProcessRunSeconds(pid_t pid);
long ResidentKb(pid_t pid);
// The most the process has had resident.
long PeakResidentKb(pid_t pid);
// Reaps `pid`; its exit status, or -1.
int WaitExit(pid_t pid);

// The seconds a long benchmark runs: `full`, or the value of the
// environment variable `name` when set (for a trial run).
int BenchSeconds(const char *name, int full);

// Log files that readers tail, each opened once for appending.  Lines are
// numbered in the order written, over all files, and each holds its marker
// and its number (as the sinks read them).
class LogSet {
 public:
  LogSet(const std::string &dir, int files);
  ~LogSet();
  LogSet(const LogSet &) = delete;
  LogSet &operator=(const LogSet &) = delete;
  const std::vector<std::string> &paths() const { return paths_; }
  // Notes when each line is written (WallSeconds), by its number.
  void KeepTimes() { keep_times_ = true; }
  const std::vector<double> &times() const { return times_; }
  // `n` lines of kLineWidth bytes, one file after the other.
  void Write(uint64_t n, const std::string &marker = kMarker);
  // `rate` lines a second for `seconds`, spread evenly in steps of at
  // least 10 ms; stops early once `done` says so.
  void WriteAtRate(double seconds, double rate, const std::string &marker = kMarker,
                   const std::function<bool()> &done = {});
  uint64_t written() const { return written_; }

 private:
  std::vector<std::string> paths_;
  std::vector<int> fds_;
  std::vector<double> times_;
  bool keep_times_ = false;
  uint64_t written_ = 0;
};

// Starts the agent tailing `files` and sending to 127.0.0.1:`port` over
// TCP, with `settings` ("Name = Value" lines) added to its configuration;
// its directory is `dir`.
bool StartAgent(veldtest::AgentProcess *agent, const std::string &dir,
                const std::vector<std::string> &files, int port, const std::string &settings = "");

// A private rsyslogd tailing `files` with imfile and forwarding each line
// over TCP (omfwd) to 127.0.0.1:`port`; its own messages go to a file of
// its own.  Polling looks every 10 s, as the agent's passes do; inotify
// mode wakes on change, rsyslog's default.
class Rsyslog {
 public:
  enum class Mode { kPolling, kInotify };
  Rsyslog() = default;
  ~Rsyslog() { Stop(); }
  Rsyslog(const Rsyslog &) = delete;
  Rsyslog &operator=(const Rsyslog &) = delete;
  bool Start(const std::string &dir, const std::vector<std::string> &files, int port, Mode mode);
  void Stop();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// strace -f -c attached to a running process until Stop; the system calls
// it saw in all, and the recvfrom calls among them.
class SyscallCount {
 public:
  bool Attach(pid_t pid, const std::string &out);
  bool Stop(long *total, long *recvfrom);

 private:
  pid_t pid_ = -1;
  std::string out_;
};

}  // namespace veldbench

#endif
