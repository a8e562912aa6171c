// The system-identity sampler: boot time from anywhere in /proc/stat, the
// host name, and the kernel's type and release from /proc/sys/kernel (with
// uname where those files are missing).
#include <sys/utsname.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "perfmon_fixture.h"

namespace {

class PerfMonSys : public perfmontest::PerfMonTest {
 protected:
  void SetUp() override {
    PerfMonTest::SetUp();
    info = PerfMonSYSInit();
    ASSERT_NE(info, nullptr);
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    hostname = host;
  }
  void TearDown() override { PerfMonSYSFree(info); }

  P_PERFMON_SYS_INFO info = nullptr;
  std::string hostname;
};

// A "btime" line far behind a long interrupt-count line is still found; the
// kernel strings come from the tree, without their line ends.
TEST_F(PerfMonSys, BootTimePastFirstPageAndKernelStringsFromTree) {
  std::string intr = "intr 99374";
  while (intr.size() < 9000) intr += " 0";
  tree.Write("/proc/stat", "cpu  1 2 3 4\ncpu0 1 2 3 4\n" + intr + "\nctxt 5\nbtime 1650000123\n");
  tree.Write("/proc/sys/kernel/ostype", "Linux\n");
  tree.Write("/proc/sys/kernel/osrelease", "6.1.0-99-test\n");
  EXPECT_EQ(PerfMonSYSProcess(info), 1);
  std::vector<std::string> want = {Rec("sys_uptime:1650000123"), Rec("sys_hostname:" + hostname),
                                   Rec("sys_uname:Linux"), Rec("sys_version:6.1.0-99-test")};
  EXPECT_EQ(Records(), want);
}

// Without /proc/stat the boot time alone is left out; without the kernel
// string files the strings come from uname.
TEST_F(PerfMonSys, MissingSourcesFallBackOrCostTheirRecord) {
  struct utsname u;
  ASSERT_EQ(uname(&u), 0);
  EXPECT_EQ(PerfMonSYSProcess(info), 1);
  std::vector<std::string> want = {Rec("sys_hostname:" + hostname),
                                   Rec(std::string("sys_uname:") + u.sysname),
                                   Rec(std::string("sys_version:") + u.release)};
  EXPECT_EQ(Records(), want);
}

// A "btime" line without a number sends no boot time at all.
TEST_F(PerfMonSys, BootTimeWithoutNumberIsLeftOut) {
  tree.Write("/proc/stat", "cpu  1 2 3 4\nbtime\nbtime 7\n");
  tree.Write("/proc/sys/kernel/ostype", "Linux\n");
  tree.Write("/proc/sys/kernel/osrelease", "6.1.0\n");
  PerfMonSYSProcess(info);
  std::vector<std::string> want = {Rec("sys_hostname:" + hostname), Rec("sys_uname:Linux"),
                                   Rec("sys_version:6.1.0")};
  EXPECT_EQ(Records(), want);
  PerfMonSYSFree(nullptr);
}

}  // namespace
