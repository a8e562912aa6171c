// Shared set-up for the performance monitor's tests: a real UDP collector on
// 127.0.0.1 that the agent's own link sends to, a hand-made kernel-file tree
// under the kernel-root seam, and a fixed record stamp.
#ifndef VELD_PERFMON_FIXTURE_H
#define VELD_PERFMON_FIXTURE_H

#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"
#include "udp_collector.h"
#include "veld-agent.h"
#include "veld-config-unix.h"
#include "veld-hash.h"
#include "veld-logfile.h"
#include "veld-perfmon.h"

namespace perfmontest {

// Every record stamp in these tests.
constexpr unsigned int kStamp = 1700000000u;
inline std::atomic<time_t> g_now{kStamp};
inline time_t FixedClock(time_t *t) {
  time_t v = g_now.load();
  if (t != nullptr) *t = v;
  return v;
}

// Settings store, diagnostic log in a temporary directory and the link to
// the collector, made once per test program (the link is opened only once
// in a process).
struct Agent {
  veldtest::TempDir dir;
  veldtest::UdpCollector collector;
  Agent() {
    GlobalConfigHash = hashtable_alloc(1, 0);
    ExpandEnvironment();
    std::snprintf(pLogFile, VELD_PATH_MAX, "%s", (dir / "veldagentd.log").c_str());
    CfgHashAdd("RemoteHost", "127.0.0.1");
    CfgHashAdd("RemotePort", std::to_string(collector.port()).c_str());
    CfgHashAdd("RemoteService", "udp");
    LogInit();
  }
  std::string LogText() const { return veldtest::ReadFile(pLogFile); }
};

inline Agent &TheAgent() {
  // Made on first use; at exit the reader stops and the directory goes.
  static Agent agent;
  return agent;
}

// A hand-made kernel-file tree: files written under a fresh directory that
// becomes the kernel root for the test's lifetime.
class KernelTree {
 public:
  KernelTree() { std::snprintf(szKernelRoot, sizeof szKernelRoot, "%s", dir_.path().c_str()); }
  ~KernelTree() { szKernelRoot[0] = '\0'; }
  void Write(const std::string &rel, const std::string &data) {
    std::filesystem::path p = dir_.path() + rel;
    std::filesystem::create_directories(p.parent_path());
    veldtest::WriteFile(p.string(), data);
  }
  void Remove(const std::string &rel) { std::filesystem::remove(dir_.path() + rel); }
  std::string Path(const std::string &rel) const { return dir_.path() + rel; }
  const std::string &root() const { return dir_.path(); }

 private:
  veldtest::TempDir dir_;
};

// Fixture base: the agent and collector exist, the clock is fixed, and the
// collector starts empty.
class PerfMonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TheAgent().collector.Drain();
    veld_time = FixedClock;
    g_now = kStamp;
  }
  std::vector<std::string> Records() { return TheAgent().collector.Drain(); }
  static std::string Rec(const std::string &body) {
    return std::to_string(kStamp) + " VELDPerfMon: " + body + "\n";
  }
  KernelTree tree;
};

// Lines of /proc/stat for processors with the given labels and counters
// (user, nice, system, idle, iowait).
struct CpuLine {
  std::string label;
  unsigned long long usr, nice, sys, idle, iowait;
};
inline std::string StatFile(const std::vector<CpuLine> &cpus, const std::string &tail = "") {
  std::string s = "cpu  1 2 3 4 5 0 0 0 0 0\n";
  for (const auto &c : cpus)
    s += c.label + " " + std::to_string(c.usr) + " " + std::to_string(c.nice) + " " +
         std::to_string(c.sys) + " " + std::to_string(c.idle) + " " + std::to_string(c.iowait) +
         " 0 0 0 0 0\n";
  s += "intr 12345 0 0 0\nctxt 1000\nbtime 1650000000\nprocesses 100\n";
  return s + tail;
}

}  // namespace perfmontest

#endif
