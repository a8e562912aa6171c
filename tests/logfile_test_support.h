// Shared scaffolding for the log-collection tests: a real UDP collector on
// loopback that the agent's link sends to, a settings store with the link
// pointed at it, the diagnostic log in the test's directory, fresh source
// lists, and the sleep and clock seams turned into counters.
#ifndef VELD_LOGFILE_TEST_SUPPORT_H
#define VELD_LOGFILE_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"
#include "udp_collector.h"
#include "veld-agent.h"
#include "veld-config-unix.h"
#include "veld-hash.h"
#include "veld-logfile.h"

namespace logtest {

// Receives every datagram sent to it on 127.0.0.1, each one a record.
using UdpCollector = veldtest::UdpCollector;

// Pauses are counted, never slept; the clock is fixed unless a test moves it.
inline std::atomic<int> sleeps_of_1{0};
inline std::atomic<int> sleeps_other{0};
inline std::atomic<long> fixed_now{1700000000};
inline unsigned int CountingSleep(unsigned int s) {
  (s == 1 ? sleeps_of_1 : sleeps_other)++;
  return 0;
}
inline time_t FixedTime(time_t *t) {
  time_t v = fixed_now.load();
  if (t) *t = v;
  return v;
}

// Nodes are never freed while the agent runs; the tests keep old lists
// reachable here instead of freeing what the code under test may still see.
inline std::vector<void *> &Graveyard() {
  static auto *g = new std::vector<void *>;  // never destroyed: reachable to the end
  return *g;
}
inline void FreshLists() {
  for (P_LOGFILE_LIST n = LogFileList.load(); n; n = n->next.load()) LogFileForget(n);
  while (LogFileTakeRetired() != nullptr) {
  }
  if (P_LOGFILE_LIST f = LogFileList.exchange(nullptr)) Graveyard().push_back(f);
  if (P_LOGDIR_LIST d = LogDirectoryList.exchange(nullptr)) Graveyard().push_back(d);
}

inline P_LOGFILE_LIST AddFile(const std::string &path) {
  P_LOGFILE_LIST n = LogFileNew(strdup(path.c_str()));
  LogFileListAppend(n);
  return n;
}
inline P_LOGDIR_LIST AddDirectory(const std::string &path) {
  P_LOGDIR_LIST n = LogDirectoryNew(strdup(path.c_str()));
  LogDirectoryListAppend(n);
  return n;
}
inline std::vector<std::string> ListedPaths() {
  std::vector<std::string> out;
  for (P_LOGFILE_LIST n = LogFileList.load(); n; n = n->next.load()) out.push_back(n->log_file);
  return out;
}

// A position file as a reader of "path=offset,timestamp" lines sees it: each
// line cut after its timestamp, the identity fields that follow left out.
inline std::string OffsetsOnly(const std::string &text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    size_t eq = line.find('=');
    size_t c1 = eq == std::string::npos ? eq : line.find(',', eq);
    size_t c2 = c1 == std::string::npos ? c1 : line.find(',', c1 + 1);
    out += line.substr(0, c2) + "\n";
    at = end + 1;
  }
  return out;
}

inline size_t CountOf(const std::string &hay, const std::string &needle) {
  size_t c = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++c;
  return c;
}

// Every log-collection test starts here: its own directory, diagnostic log,
// settings store, lists and collector.
class LogCollectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GlobalConfigHash = hashtable_alloc(1, 0);
    ExpandEnvironment();
    std::snprintf(pLogFile, sizeof pLogFile, "%s", (dir / "agent.log").c_str());
    CfgHashAdd("RemoteHost", "127.0.0.1");
    CfgHashAdd("RemotePort", std::to_string(collector.port()).c_str());
    CfgHashAdd("RemoteService", "udp");
    CfgHashAdd("WatchdogFile", (dir / "positions").c_str());
    ASSERT_EQ(LogInit(), 1);
    FreshLists();
    veld_sleep = CountingSleep;
    veld_time = FixedTime;
    sleeps_of_1 = 0;
    sleeps_other = 0;
    fixed_now = 1700000000;
  }
  void TearDown() override {
    FreshLists();
    hashtable_free(GlobalConfigHash);
    GlobalConfigHash = nullptr;
  }
  std::string DiagLog() const {
    return veldtest::WithoutPids(veldtest::ReadFile(dir / "agent.log"));
  }
  static std::string Rec(const std::string &line, long stamp = 1700000000) {
    return std::to_string(stamp) + " VELDUnixLog: " + line;
  }

  veldtest::TempDir dir;
  UdpCollector collector;
};

}  // namespace logtest

#endif
