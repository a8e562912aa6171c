#include "bench_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "bench_util.h"
#include "test_util.h"

namespace veldbench {

namespace {

constexpr int kPollSeconds = 10;  // rsyslog's polling, as the agent's pass pause

// Debian's rsyslogd, wherever PATH leaves it out.
std::string RsyslogdPath() {
  return access("/usr/sbin/rsyslogd", X_OK) == 0 ? "/usr/sbin/rsyslogd" : "rsyslogd";
}

long StatusKb(pid_t pid, const std::string &field) {
  std::istringstream in(veldtest::ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
  return -1;
}

}  // namespace

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

double ProcessRunSeconds(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(tasks.c_str());
  if (d == nullptr) return -1;
  double ns = 0;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    // The first field is the time spent on a CPU, in nanoseconds.
    ns += std::strtod(veldtest::ReadFile(tasks + "/" + e->d_name + "/schedstat").c_str(), nullptr);
  }
  closedir(d);
  return ns * 1e-9;
}

int BenchSeconds(const char *name, int full) {
  const char *v = std::getenv(name);
  return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : full;
}

long ResidentKb(pid_t pid) { return StatusKb(pid, "VmRSS:"); }
long PeakResidentKb(pid_t pid) { return StatusKb(pid, "VmHWM:"); }

int WaitExit(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- the log files ----

LogSet::LogSet(const std::string &dir, int files) {
  mkdir(dir.c_str(), 0755);
  for (int i = 0; i < files; ++i) {
    paths_.push_back(dir + "/app" + std::to_string(i) + ".log");
    fds_.push_back(open(paths_.back().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  }
}

LogSet::~LogSet() {
  for (int fd : fds_) close(fd);
}

void LogSet::Write(uint64_t n, const std::string &marker) {
  std::string line;
  for (uint64_t i = 0; i < n; ++i, ++written_) {
    line = marker + " " + std::to_string(written_) + " ";
    line.resize(kLineWidth - 1, 'x');
    line += '\n';
    if (keep_times_) times_.push_back(WallSeconds());
    if (write(fds_[written_ % fds_.size()], line.data(), line.size()) < 0) return;
  }
}

void LogSet::WriteAtRate(double seconds, double rate, const std::string &marker,
                         const std::function<bool()> &done) {
  using std::chrono::duration;
  const auto start = std::chrono::steady_clock::now();
  const double step = std::max(1 / rate, 0.01);
  const auto total = static_cast<uint64_t>(std::llround(seconds * rate));
  uint64_t sent = 0;
  for (int i = 1; sent < total && !(done && done()); ++i) {
    const auto due = std::min(total, static_cast<uint64_t>(std::llround(i * step * rate)));
    Write(due - sent, marker);
    sent = due;
    std::this_thread::sleep_until(
        start + std::chrono::duration_cast<std::chrono::nanoseconds>(duration<double>(i * step)));
  }
}

// ---- the readers ----

bool StartAgent(veldtest::AgentProcess *agent, const std::string &dir,
                const std::vector<std::string> &files, int port, const std::string &settings) {
  mkdir(dir.c_str(), 0755);
  std::string cfg = "RemoteHost = 127.0.0.1\nRemotePort = " + std::to_string(port) +
                    "\nRemoteService = tcp\nWatchdogFile = " + dir + "/positions\n" + settings;
  for (const std::string &f : files) cfg += "LogFile = " + f + "\n";
  veldtest::WriteFile(dir + "/agent.cfg", cfg);
  mkdir((dir + "/log").c_str(), 0755);
  return agent->Start({"-d", "-c", dir + "/agent.cfg"}, dir + "/log");
}

bool Rsyslog::Start(const std::string &dir, const std::vector<std::string> &files, int port,
                    Mode mode) {
  mkdir(dir.c_str(), 0755);
  mkdir((dir + "/work").c_str(), 0700);
  const std::string imfile = mode == Mode::kPolling ? "mode=\"polling\" PollingInterval=\"" +
                                                          std::to_string(kPollSeconds) + "\""
                                                    : std::string("mode=\"inotify\"");
  std::string conf = "global(workDirectory=\"" + dir +
                     "/work\" processInternalMessages=\"on\")\n"
                     "module(load=\"imfile\" " +
                     imfile +
                     ")\n"
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

void Rsyslog::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  WaitExit(pid_);
  pid_ = -1;
}

bool SyscallCount::Attach(pid_t pid, const std::string &out) {
  out_ = out;
  pid_ =
      veldtest::Spawn({"strace", "-f", "-c", "-o", out, "-p", std::to_string(pid)}, out + ".log");
  std::this_thread::sleep_for(std::chrono::seconds(1));  // strace has attached by then
  return pid_ > 0;
}

bool SyscallCount::Stop(long *total, long *recvfrom) {
  if (pid_ <= 0) return false;
  kill(pid_, SIGINT);
  WaitExit(pid_);
  pid_ = -1;
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

}  // namespace veldbench
