// The network sampler: nothing from its counting first pass, then eight
// records per interface with traffic, read from hand-made /proc/net/dev
// files.
#include <string>
#include <vector>

#include "perfmon_fixture.h"

namespace {

constexpr const char *kHeadings =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop "
    "fifo "
    "colls carrier compressed\n";

class PerfMonNet : public perfmontest::PerfMonTest {
 protected:
  void SetUp() override {
    PerfMonTest::SetUp();
    info = PerfMonNETInit();
    ASSERT_NE(info, nullptr);
  }
  void TearDown() override { PerfMonNETFree(info); }

  // in/out bytes, packets, errors, drops, in the order the records go.
  std::vector<std::string> If(const std::string &name, std::vector<unsigned long long> v) {
    const char *keys[] = {"in_bytes",  "out_bytes",  "in_packets", "out_packets",
                          "in_errors", "in_dropped", "out_errors", "out_dropped"};
    std::vector<std::string> out;
    for (size_t k = 0; k < 8; ++k)
      out.push_back(Rec("net_if_id:" + name + "; net_if_" + keys[k] + ":" + std::to_string(v[k])));
    return out;
  }

  P_PERFMON_NET_INFO info = nullptr;
};

// The counting pass sends nothing; the next one reports every interface
// with traffic: a number glued to the colon reads the same, an all-zero
// interface and one whose only traffic is in unsent columns (fifo, frame,
// multicast, collisions) send nothing, and one non-zero sent counter sends
// all eight.
TEST_F(PerfMonNet, CountingPassThenEightRecordsPerInterface) {
  tree.Write("/proc/net/dev", std::string(kHeadings) +
                                  "    lo:    3267      29    0    0    0     0          0         "
                                  "0     3267      29    0    0    0"
                                  "     0       0          0\n"
                                  "  ifb0:       0       0    0    0    0     0          0         "
                                  "0        0       0    0    0    0"
                                  "     0       0          0\n"
                                  "  eth0:19640802     531    1    2    7     8          9        "
                                  "10    30423     368    3    4   11"
                                  "    12      13         14\n"
                                  "  eth1:       0       0    0    0    5     6          7         "
                                  "8        0       0    0    0    9"
                                  "    10      11         12\n"
                                  "  tun0:       0       0    0    0    0     0          0         "
                                  "0        0       0    0    1    0"
                                  "     0       0          0\n");
  EXPECT_EQ(PerfMonNETProcess(info), 1);
  EXPECT_TRUE(Records().empty());
  EXPECT_NE(info->avg, nullptr);

  EXPECT_EQ(PerfMonNETProcess(info), 1);
  std::vector<std::string> want = If("lo", {3267, 3267, 29, 29, 0, 0, 0, 0});
  for (auto v :
       {If("eth0", {19640802, 30423, 531, 368, 1, 2, 3, 4}), If("tun0", {0, 0, 0, 0, 0, 0, 0, 1})})
    want.insert(want.end(), v.begin(), v.end());
  EXPECT_EQ(Records(), want);
}

// A first pass that finds no interface with traffic still ends the counting,
// and an unreadable file leaves the sampler counting.
TEST_F(PerfMonNet, CountingEndsOnlyWithAReadableFile) {
  PerfMonNETProcess(info);
  EXPECT_EQ(info->avg, nullptr);
  tree.Write("/proc/net/dev", std::string(kHeadings) + "  eth0: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
  PerfMonNETProcess(info);
  EXPECT_NE(info->avg, nullptr);
  EXPECT_TRUE(Records().empty());

  tree.Write("/proc/net/dev", std::string(kHeadings) +
                                  "  eth0: 1 2 3 4 0 0 0 0 5 6 7 8 0 0 0 0\n"
                                  "eth9 1 1 1 1 0 0 0 0 1 1 1 1 0 0 0\n"
                                  "eth8 junk: 1 1 1 1 0 0 0 0 1 1 1 1 0 0 0 0\n");
  PerfMonNETProcess(info);
  EXPECT_EQ(Records(), If("eth0", {1, 5, 2, 6, 3, 4, 7, 8}));
  PerfMonNETFree(nullptr);
}

}  // namespace
