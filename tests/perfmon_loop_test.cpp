// The monitor thread's rhythm, driven through the sleep seam: samplers in a
// fixed order every cycle, the network from the second cycle on, identity in
// the first and every eighth cycle, a 300-second pause after the passes, and
// a sampler that cannot start ending the monitor alone.
#include <string>
#include <vector>

#include "perfmon_fixture.h"
#include "veld-threads.h"

namespace {

// What the sleep seam saw: the records of each cycle (collected when the
// cycle's pause begins) and the pauses asked for.
struct Rhythm {
  std::vector<std::vector<std::string>> cycles;
  std::vector<unsigned int> pauses;
  unsigned int stop_after = 0;
  perfmontest::KernelTree *tree = nullptr;
  unsigned long long ticks = 100;
};
Rhythm *g_rhythm = nullptr;

std::string StatWithTicks(unsigned long long t) {
  return perfmontest::StatFile({{"cpu0", t, 0, t, t, 0}, {"cpu1", t, 0, t, 2 * t, 0}});
}

unsigned int RecordingSleep(unsigned int seconds) {
  Rhythm &r = *g_rhythm;
  r.pauses.push_back(seconds);
  r.cycles.push_back(perfmontest::TheAgent().collector.Drain());
  r.ticks += 10;
  r.tree->Write("/proc/stat", StatWithTicks(r.ticks));
  if (r.pauses.size() == r.stop_after) ThreadExit(nullptr);  // unwinds the monitor
  return 0;
}

unsigned int FailingSleep(unsigned int seconds) {
  ADD_FAILURE() << "slept " << seconds << " s although a sampler could not start";
  return 0;
}

// The sampler a record comes from, as one letter.
char Sampler(const std::string &rec) {
  if (rec.find("sys_cpu_") != std::string::npos) return 'C';
  if (rec.find("_mem_size_") != std::string::npos) return 'M';
  if (rec.find("net_if_") != std::string::npos) return 'N';
  if (rec.find("vfs_") != std::string::npos) return 'D';
  if (rec.find("agent_") != std::string::npos) return 'A';
  return 'S';
}

// The cycle's samplers in the order their records came, each letter once.
std::string Order(const std::vector<std::string> &records) {
  std::string out;
  for (const auto &r : records)
    if (out.empty() || out.back() != Sampler(r)) out += Sampler(r);
  return out;
}

class PerfMonLoop : public perfmontest::PerfMonTest {
 protected:
  void SetUp() override {
    PerfMonTest::SetUp();
    tree.Write("/proc/stat", StatWithTicks(100));
    tree.Write("/proc/meminfo",
               "MemTotal: 1 kB\nMemFree: 1 kB\nCached: 1 kB\nSwapTotal: 0 kB\nSwapFree: 0 kB\n");
    tree.Write("/proc/net/dev", "  eth0: 1 1 0 0 0 0 0 0 1 1 0 0 0 0 0 0\n");
    tree.Write("/proc/diskstats", "   8       0 sda 1 0 2 0 3 0 4 0 0 0 0\n");
    tree.Write("/proc/sys/kernel/ostype", "Linux\n");
    tree.Write("/proc/sys/kernel/osrelease", "6.1.0\n");
    tree.Write("/etc/mtab", "/dev/vda / ext4 rw 0 0\n");
    rhythm.tree = &tree;
    g_rhythm = &rhythm;
    saved_sleep = veld_sleep;
  }
  void TearDown() override {
    veld_sleep = saved_sleep;
    g_rhythm = nullptr;
  }
  void *RunMonitor() {
    THREAD t;
    EXPECT_EQ(ThreadCreate(&t, nullptr, PerfMonThread, nullptr), 1);
    void *ret = reinterpret_cast<void *>(1);
    EXPECT_EQ(ThreadWait(t, &ret), 0);
    return ret;
  }

  Rhythm rhythm;
  VeldSleepFn saved_sleep = nullptr;
};

// Seventeen cycles: every cycle runs CPU, memory, network, disk and the
// agent's own figures in that order (CPU from the second cycle, once it has a
// previous reading; network from the second, after its counting pass);
// identity closes cycles 1, 9 and
// 17 only; each cycle ends in a pause of 300 s, whatever the polling setting
// says, and the first cycle starts without a pause.
TEST_F(PerfMonLoop, SeventeenCyclesKeepTheRhythm) {
  CfgHashAdd("PerformanceMonitorPollingTimeout", "5");
  rhythm.stop_after = 17;
  veld_sleep = RecordingSleep;
  RunMonitor();
  ASSERT_EQ(rhythm.cycles.size(), 17u);
  EXPECT_EQ(rhythm.pauses, std::vector<unsigned int>(17, 300));
  for (size_t c = 1; c <= 17; ++c) {
    std::string want = c == 1 ? "MDA" : "CMNDA";
    if (c == 1 || c == 9 || c == 17) want += "S";
    EXPECT_EQ(Order(rhythm.cycles[c - 1]), want) << "cycle " << c;
  }
  EXPECT_EQ(rhythm.cycles[0].back(), Rec("sys_version:6.1.0"));
  EXPECT_EQ(rhythm.cycles[1].front(), Rec("sys_cpu_id:0; sys_cpu_load_total:66.67"));
  EXPECT_NE(
      perfmontest::TheAgent().LogText().find("Initializing our performance monitoring thread."),
      std::string::npos);
}

// A sampler that cannot start (here the disk sampler, without a mount table)
// ends the monitor thread with its message, before any record or pause; the
// link still serves the rest of the agent.
TEST_F(PerfMonLoop, SamplerThatCannotStartEndsOnlyTheMonitor) {
  tree.Remove("/etc/mtab");
  veld_sleep = FailingSleep;
  std::string log_before = perfmontest::TheAgent().LogText();
  EXPECT_EQ(RunMonitor(), nullptr);
  std::string log = perfmontest::TheAgent().LogText().substr(log_before.size());
  size_t init = log.find("Initializing our performance monitoring thread.");
  size_t failed = log.find("VELDAgent [1]: Failed to init PerfMon DISK.");
  EXPECT_NE(init, std::string::npos);
  EXPECT_NE(failed, std::string::npos);
  EXPECT_LT(init, failed);
  EXPECT_EQ(log.find("PerfMon SYS"), std::string::npos);
  EXPECT_TRUE(Records().empty());
  EXPECT_EQ(SendLog("still linked\n"), 1);
  EXPECT_EQ(Records(), std::vector<std::string>{"still linked\n"});
}

// The cycle counter: identity when it is a multiple of 8, then back to 1.
TEST_F(PerfMonLoop, CycleCounterPacesIdentity) {
  P_PERFMON_SAMPLERS s = PerfMonStart();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(PerfMonCycle(s, 0), 1u);
  EXPECT_EQ(Order(Records()), "MDAS");
  EXPECT_EQ(PerfMonCycle(s, 7), 8u);
  EXPECT_EQ(Order(Records()), "MNDA");
  EXPECT_EQ(PerfMonCycle(s, 8), 1u);
  EXPECT_EQ(Order(Records()), "MNDAS");
  PerfMonStop(s);
  PerfMonStop(nullptr);
}

}  // namespace
