// The relp link against a stock rsyslog (imrelp into a direct queue), with
// the real veldagentd tailing a file that a writer appends to steadily.
// rsyslogd is killed with SIGKILL in the middle of the stream, several
// times, and started again each time on the same port.  What must hold: no
// line written is missing at the end; every record arrives whole, as one
// RELP frame without its line end.  Duplicates (records the collector wrote
// whose acknowledgement died with it) are allowed, counted and reported.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "rsyslog_collector.h"
#include "test_util.h"

using veldtest::AgentProcess;
using veldtest::RsyslogCollector;
using veldtest::RsyslogInput;
using veldtest::TempDir;

namespace {

constexpr int kLines = 3000;  // written at kLinesPerSecond
constexpr int kLinesPerSecond = 100;
constexpr int kKills = 3;          // of rsyslogd while the writer runs
constexpr int kDownMs = 3000;      // how long it stays dead each time
constexpr int kCatchUpMs = 90000;  // for the agent to send what is left

// "relp NNNNNN" line numbers in the collector's records; -1 for a record
// that is not one of ours (metrics are skipped).
int LineNumber(const std::string &record) {
  const std::string tag = " VELDUnixLog: relp ";
  size_t at = record.find(tag);
  if (at == std::string::npos) return record.find(" VELDPerfMon: ") != std::string::npos ? -2 : -1;
  return std::atoi(record.c_str() + at + tag.size());
}

// Killed in the middle of a steady stream, again and again: nothing is lost.
TEST(RelpLink, CollectorKilledRepeatedlyLosesNoLine) {
  TempDir dir;
  RsyslogCollector collector;
  RsyslogInput in;
  in.kind = RsyslogInput::kRelp;
  std::string err;
  ASSERT_TRUE(collector.Start(in, &err)) << err;

  const std::string log = dir / "app.log";
  veldtest::WriteFile(log, "");
  veldtest::WriteFile(dir / "agent.cfg",
                      "RemoteHost = 127.0.0.1\nRemotePort = " + std::to_string(collector.port()) +
                          "\nRemoteService = relp\nLogFile = " + log +
                          "\nWatchdogFile = " + (dir / "positions") + "\n");
  mkdir((dir / "logs").c_str(), 0755);
  AgentProcess agent;
  ASSERT_TRUE(agent.Start({"-d", "-c", dir / "agent.cfg"}, dir / "logs"));

  std::atomic<int> written{0};
  std::thread writer([&] {
    const std::string pad(60, 'x');
    for (int i = 0; i < kLines; ++i) {
      char line[128];
      std::snprintf(line, sizeof line, "relp %06d %s\n", i, pad.c_str());
      veldtest::AppendFile(log, line);
      written = i + 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(1000 / kLinesPerSecond));
    }
  });
  // Kill only once records flow, so every kill lands in the stream.
  int kills = 0;
  for (int k = 0; k < kKills; ++k) {
    const size_t before = collector.Records().size();
    if (!veldtest::WaitUntil([&] { return collector.Records().size() > before + 100; }, 30000))
      break;
    collector.Kill();
    ++kills;
    std::this_thread::sleep_for(std::chrono::milliseconds(kDownMs));
    ASSERT_TRUE(collector.Restart(&err)) << err;
  }
  writer.join();
  EXPECT_EQ(kills, kKills) << "records stopped flowing:\n" << agent.DiagLog();

  std::map<int, int> seen;
  int garbled = 0;
  const bool all = collector.WaitUntil(
      [&](const std::vector<std::string> &records) {
        seen.clear();
        garbled = 0;
        for (const std::string &r : records) {
          int n = LineNumber(r);
          if (n >= 0 && r == r.substr(0, r.find(" VELDUnixLog: ")) + " VELDUnixLog: relp " +
                                 r.substr(r.find(" relp ") + 6, 6) + " " + std::string(60, 'x'))
            ++seen[n];
          else if (n != -2)
            ++garbled;
        }
        return seen.size() == static_cast<size_t>(kLines);
      },
      kCatchUpMs);
  int duplicates = 0;
  for (const auto &[n, count] : seen) duplicates += count - 1;
  std::printf("relp: %d lines, %d kills of rsyslogd, %zu lines received, %d duplicates\n",
              written.load(), kills, seen.size(), duplicates);
  ::testing::Test::RecordProperty("duplicates", duplicates);
  EXPECT_TRUE(all) << kLines - static_cast<int>(seen.size()) << " lines lost\n"
                   << agent.DiagLog() << collector.Diagnostics();
  EXPECT_EQ(garbled, 0);
}

}  // namespace
