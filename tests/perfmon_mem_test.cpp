// The memory sampler against hand-made /proc/meminfo files: five rows in
// bytes, in their fixed order around the two sysinfo rows, which are in
// bytes too.
#include <sys/sysinfo.h>

#include <string>
#include <vector>

#include "perfmon_fixture.h"

namespace {

class PerfMonMem : public perfmontest::PerfMonTest {
 protected:
  void SetUp() override {
    PerfMonTest::SetUp();
    info = PerfMonMEMInit();
    ASSERT_NE(info, nullptr);
  }
  void TearDown() override { PerfMonMEMFree(info); }

  // Runs a pass while sysinfo's buffer and shared figures hold still, and
  // returns its records with those two figures in bytes.
  std::vector<std::string> Pass(unsigned long long *buffers, unsigned long long *shared) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      struct sysinfo before, after;
      sysinfo(&before);
      EXPECT_EQ(PerfMonMEMProcess(info), 1);
      sysinfo(&after);
      std::vector<std::string> got = Records();
      if (before.bufferram == after.bufferram && before.sharedram == after.sharedram) {
        *buffers = static_cast<unsigned long long>(before.bufferram) * before.mem_unit;
        *shared = static_cast<unsigned long long>(before.sharedram) * before.mem_unit;
        return got;
      }
    }
    ADD_FAILURE() << "buffer and shared memory never held still";
    return {};
  }
  std::string Buffers(unsigned long long v) {
    return Rec("vm_mem_size_buffers:" + std::to_string(v));
  }
  std::string Shared(unsigned long long v) {
    return Rec("vm_mem_size_shared:" + std::to_string(v));
  }

  P_PERFMON_MEM_INFO info = nullptr;
};

// Rows in kB and in "mb" written in mixed case all arrive in bytes; a host
// without swap sends zeros; "Cached:" does not take the "SwapCached:" row,
// and a repeated row counts once, by its first line.
TEST_F(PerfMonMem, RowsInBytesInFixedOrder) {
  tree.Write("/proc/meminfo",
             "MemTotal:       16308772 kB\n"
             "MemFree:               3 mB\n"
             "MemAvailable:    9000000 kB\n"
             "Buffers:          123456 kB\n"
             "SwapCached:           77 kB\n"
             "Cached:                2 Mb\n"
             "MemFree:               9 kB\n"
             "SwapTotal:             0 kB\n"
             "SwapFree:              0 kB\n");
  unsigned long long buffers = 0, shared = 0;
  std::vector<std::string> got = Pass(&buffers, &shared);
  std::vector<std::string> want = {Rec("sys_mem_size_free:3145728"),
                                   Rec("vm_mem_size_cached:2097152"),
                                   Rec("sys_mem_size_total:16700182528"),
                                   Buffers(buffers),
                                   Shared(shared),
                                   Rec("vm_mem_size_free:0"),
                                   Rec("vm_mem_size_total:0")};
  EXPECT_EQ(got, want);
}

// Rows are found wherever they stand in the file, also past its first 4096
// bytes; a missing row leaves out only its own record; a number that does
// not parse counts as zero, and a unit other than "mb" counts as kB.
TEST_F(PerfMonMem, MissingAndOddRowsCostOnlyThemselves) {
  std::string filler;
  for (int n = 0; filler.size() < 6000; ++n) filler += "Filler" + std::to_string(n) + ":   1 kB\n";
  tree.Write("/proc/meminfo",
             "MemFree: lots kB\n" + filler + "Cached: 5 gB\nSwapTotal: 4 kB\nSwapFree: 1 MB\n");
  unsigned long long buffers = 0, shared = 0;
  std::vector<std::string> got = Pass(&buffers, &shared);
  std::vector<std::string> want = {Rec("sys_mem_size_free:0"),
                                   Rec("vm_mem_size_cached:5120"),
                                   Buffers(buffers),
                                   Shared(shared),
                                   Rec("vm_mem_size_free:1048576"),
                                   Rec("vm_mem_size_total:4096")};
  EXPECT_EQ(got, want);
}

// Without /proc/meminfo only the two sysinfo rows are sent.
TEST_F(PerfMonMem, UnreadableMeminfoLeavesSysinfoRows) {
  unsigned long long buffers = 0, shared = 0;
  std::vector<std::string> got = Pass(&buffers, &shared);
  EXPECT_EQ(got, (std::vector<std::string>{Buffers(buffers), Shared(shared)}));
}

}  // namespace
