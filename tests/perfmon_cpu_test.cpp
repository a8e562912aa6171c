// The CPU sampler against hand-made /proc/stat files: shares only against a
// real previous reading, in single precision, for every processor that has a
// line, matched by its exact label.
#include <unistd.h>

#include <string>
#include <vector>

#include "perfmon_fixture.h"

namespace {

using perfmontest::CpuLine;
using perfmontest::StatFile;

class PerfMonCpu : public perfmontest::PerfMonTest {
 protected:
  void SetUp() override {
    PerfMonTest::SetUp();
    tree.Write("/proc/stat",
               StatFile({{"cpu0", 100, 0, 100, 100, 0}, {"cpu1", 100, 0, 100, 100, 0}}));
    info = PerfMonCPUInit();
    ASSERT_NE(info, nullptr);
  }
  void TearDown() override { PerfMonCPUFree(info); }

  std::vector<std::string> CpuRecords(const std::string &id, const char *total, const char *sys,
                                      const char *usr, const char *idle) {
    std::string p = "sys_cpu_id:" + id + "; sys_cpu_load_";
    return {Rec(p + "total:" + total), Rec(p + "system:" + sys), Rec(p + "user:" + usr),
            Rec(p + "idle:" + idle)};
  }
  // A pass handles every slot (result 1) only when the tree lists all the
  // processors this host is configured with.
  static int AllListed(long listed) { return sysconf(_SC_NPROCESSORS_CONF) <= listed ? 1 : 0; }
  static void Append(std::vector<std::string> *a, const std::vector<std::string> &b) {
    a->insert(a->end(), b.begin(), b.end());
  }
  // Writes /proc/stat with these processor lines, runs a pass and returns
  // the records it sent.
  std::vector<std::string> PassOver(const std::vector<CpuLine> &cpus) {
    tree.Write("/proc/stat", StatFile(cpus));
    PerfMonCPUProcess(info);
    return Records();
  }

  P_PERFMON_CPU_INFO info = nullptr;
};

// --- shares against a previous reading

// Two processors over two passes: the first only stores readings (no "-nan"),
// the second sends single-precision shares; nice counts only in the busy
// share, and a nice counter that was legitimately zero still yields its delta.
TEST_F(PerfMonCpu, FirstPassSilentSecondSendsSharesInOrder) {
  EXPECT_EQ(PerfMonCPUProcess(info), AllListed(2));
  EXPECT_TRUE(Records().empty());

  tree.Write("/proc/stat",
             StatFile({{"cpu0", 110, 0, 110, 110, 0}, {"cpu1", 101, 1, 101, 100, 1}}));
  EXPECT_EQ(PerfMonCPUProcess(info), AllListed(2));
  std::vector<std::string> want = CpuRecords("0", "66.67", "33.33", "33.33", "33.33");
  Append(&want, CpuRecords("1", "75.00", "25.00", "25.00", "25.00"));
  EXPECT_EQ(Records(), want);
}

// Shares are formed in single precision: 1 tick of 160 prints 0.63 (in
// double it would be 0.62) and 159 of 160 prints 99.37; one third is 33.33.
TEST_F(PerfMonCpu, SharesUseSinglePrecisionQuotients) {
  PerfMonCPUProcess(info);
  std::vector<std::string> want = CpuRecords("0", "0.63", "0.00", "0.63", "99.37");
  Append(&want, CpuRecords("1", "33.33", "0.00", "33.33", "66.67"));
  EXPECT_EQ(PassOver({{"cpu0", 101, 0, 100, 259, 0}, {"cpu1", 101, 0, 100, 102, 0}}), want);
}

// --- readings that give no meaningful share

// A counter going backwards (the kernel's counters started again) sends
// nothing for that processor in that pass and restarts from the new reading;
// the other processor is unaffected.
TEST_F(PerfMonCpu, CounterGoingBackwardsSendsNothingThatPass) {
  PerfMonCPUProcess(info);
  EXPECT_EQ(PassOver({{"cpu0", 50, 0, 100, 100, 0}, {"cpu1", 101, 0, 101, 102, 0}}),
            CpuRecords("1", "50.00", "25.00", "25.00", "50.00"));
  EXPECT_EQ(PassOver({{"cpu0", 51, 0, 100, 101, 0}, {"cpu1", 101, 0, 101, 102, 0}}),
            CpuRecords("0", "50.00", "0.00", "50.00", "50.00"));
}

// No tick elapsed since the previous reading: nothing is sent (never "-nan").
TEST_F(PerfMonCpu, ZeroElapsedTicksSendNothing) {
  PerfMonCPUProcess(info);
  PerfMonCPUProcess(info);
  EXPECT_TRUE(Records().empty());
}

// --- processors and their lines

// A processor taken offline in the middle does not hide the ones after it,
// and one coming back reports again from its second reading on.
TEST_F(PerfMonCpu, OfflineProcessorInTheMiddleHidesNothingAfterIt) {
  PerfMonCPUFree(info);
  tree.Write("/proc/stat",
             StatFile({{"cpu0", 100, 0, 100, 100, 0}, {"cpu2", 100, 0, 100, 100, 0}}));
  info = PerfMonCPUInit();
  ASSERT_NE(info, nullptr);
  ASSERT_GE(info->counter_size, 3);
  EXPECT_EQ(PerfMonCPUProcess(info), 0);  // cpu1 has no line

  std::vector<std::string> want = CpuRecords("0", "50.00", "0.00", "50.00", "50.00");
  Append(&want, CpuRecords("2", "75.00", "0.00", "75.00", "25.00"));
  EXPECT_EQ(PassOver({{"cpu0", 101, 0, 100, 101, 0}, {"cpu2", 103, 0, 100, 101, 0}}), want);

  want = CpuRecords("0", "50.00", "50.00", "0.00", "50.00");
  Append(&want, CpuRecords("2", "0.00", "0.00", "0.00", "100.00"));
  EXPECT_EQ(PassOver({{"cpu0", 101, 0, 101, 102, 0},
                      {"cpu1", 500, 0, 500, 500, 0},
                      {"cpu2", 103, 0, 100, 102, 0}}),
            want);

  want = CpuRecords("0", "0.00", "0.00", "0.00", "100.00");
  Append(&want, CpuRecords("1", "50.00", "0.00", "50.00", "50.00"));
  Append(&want, CpuRecords("2", "0.00", "0.00", "0.00", "100.00"));
  EXPECT_EQ(PassOver({{"cpu0", 101, 0, 101, 103, 0},
                      {"cpu1", 501, 0, 500, 501, 0},
                      {"cpu2", 103, 0, 100, 103, 0}}),
            want);
}

// With cpu1 offline, processor 1 must not take the line of cpu10 (whose
// label begins with "cpu1"), nor of a label with a leading zero.
TEST_F(PerfMonCpu, ProcessorLineMatchedByExactLabel) {
  PerfMonCPUFree(info);
  std::vector<CpuLine> lines = {{"cpu0", 100, 0, 100, 100, 0}, {"cpu01", 100, 0, 100, 100, 0}};
  for (int n = 2; n <= 10; ++n) lines.push_back({"cpu" + std::to_string(n), 100, 0, 100, 100, 0});
  tree.Write("/proc/stat", StatFile(lines));
  info = PerfMonCPUInit();
  ASSERT_NE(info, nullptr);
  ASSERT_GE(info->counter_size, 11);
  PerfMonCPUProcess(info);

  for (auto &l : lines) l.idle += 1;
  lines.back().usr += 3;  // cpu10: 3 busy of 4
  lines[1].usr += 100;    // "cpu01" would give a share of 99.01
  tree.Write("/proc/stat", StatFile(lines));
  PerfMonCPUProcess(info);
  std::vector<std::string> want = CpuRecords("0", "0.00", "0.00", "0.00", "100.00");
  for (int n = 2; n <= 9; ++n)
    Append(&want, CpuRecords(std::to_string(n), "0.00", "0.00", "0.00", "100.00"));
  Append(&want, CpuRecords("10", "75.00", "0.00", "75.00", "25.00"));
  EXPECT_EQ(Records(), want);
}

// A host whose processor lines run far past the first 4096 bytes of the file
// reports every processor; I/O wait joins idle, and a line without the
// I/O-wait column counts it as zero.
TEST_F(PerfMonCpu, ManyProcessorsPastFirstPageAllReported) {
  PerfMonCPUFree(info);
  std::vector<CpuLine> lines;
  for (int n = 0; n < 400; ++n)
    lines.push_back(
        {"cpu" + std::to_string(n), 1000000000ULL + n, 0, 1000000000ULL, 1000000000ULL, 0});
  tree.Write("/proc/stat", StatFile(lines));
  ASSERT_GT(veldtest::ReadFile(tree.Path("/proc/stat")).size(), 3 * 4096u);
  info = PerfMonCPUInit();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(PerfMonCPUProcess(info), AllListed(400));

  for (auto &l : lines) {
    l.sys += 1;
    l.iowait += 3;
  }
  std::string stat = StatFile(lines);
  // The last processor's line loses its I/O-wait column (and the rest).
  std::string last = "cpu399 1000000399 0 1000000001 1000000000 3 0 0 0 0 0";
  size_t at = stat.find(last);
  ASSERT_NE(at, std::string::npos);
  stat.replace(at, last.size(), "cpu399 1000000399 0 1000000001 1000000002");
  tree.Write("/proc/stat", stat);
  EXPECT_EQ(PerfMonCPUProcess(info), AllListed(400));
  std::vector<std::string> got = Records();
  ASSERT_EQ(got.size(), 4u * 400u);
  EXPECT_EQ(got[4 * 399 - 4], Rec("sys_cpu_id:398; sys_cpu_load_total:25.00"));
  EXPECT_EQ(got[4 * 399 - 1], Rec("sys_cpu_id:398; sys_cpu_load_idle:75.00"));
  EXPECT_EQ(got[4 * 399], Rec("sys_cpu_id:399; sys_cpu_load_total:33.33"));
  EXPECT_EQ(got[4 * 399 + 3], Rec("sys_cpu_id:399; sys_cpu_load_idle:66.67"));
}

// A processor line cut short (fewer than four counters) is that
// processor's line all the same: it costs that processor the pass, and a
// later complete line with the same label does not stand in for it.
TEST_F(PerfMonCpu, CutProcessorLineCostsOnlyThatProcessor) {
  PerfMonCPUProcess(info);
  std::string stat = StatFile({{"cpu0", 101, 0, 100, 101, 0}});
  stat.insert(stat.find("intr"), "cpu1 105 0 100\ncpu1 101 0 100 101 0\n");
  tree.Write("/proc/stat", stat);
  EXPECT_EQ(PerfMonCPUProcess(info), 0);
  EXPECT_EQ(Records(), CpuRecords("0", "50.00", "0.00", "50.00", "50.00"));

  EXPECT_EQ(PassOver({{"cpu0", 101, 0, 100, 102, 0}, {"cpu1", 102, 0, 100, 102, 0}}),
            CpuRecords("0", "0.00", "0.00", "0.00", "100.00"));
}

// An unreadable /proc/stat costs the pass, and the readings start afresh.
TEST_F(PerfMonCpu, UnreadableStatSendsNothingAndRestartsReadings) {
  PerfMonCPUProcess(info);
  tree.Remove("/proc/stat");
  EXPECT_EQ(PerfMonCPUProcess(info), 0);
  EXPECT_TRUE(PassOver({{"cpu0", 200, 0, 100, 100, 0}, {"cpu1", 200, 0, 100, 100, 0}}).empty());
  std::vector<std::string> want = CpuRecords("0", "100.00", "0.00", "100.00", "0.00");
  Append(&want, CpuRecords("1", "0.00", "0.00", "0.00", "100.00"));
  EXPECT_EQ(PassOver({{"cpu0", 201, 0, 100, 100, 0}, {"cpu1", 200, 0, 100, 101, 0}}), want);
}

}  // namespace
