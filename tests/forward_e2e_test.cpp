// End to end: the real veldagentd (-d) tails a named file and a watched
// directory and forwards every line to a real rsyslog collector, over TCP and
// over UDP.  What must hold: the collector receives exactly
// "<stamp> VELDUnixLog: " + line for every line, byte for byte, nothing twice
// and nothing missing; and after the agent is killed, lines are appended and
// it is started again, nothing the position file saved is sent again and
// nothing appended while it was down is missed.
//
// The agent pauses 5 s at start and 10 s between passes and scans the
// directory every 15 s, so each transport takes some 40 s.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent_process.h"
#include "rsyslog_collector.h"
#include "test_util.h"
#include "veld-agent.h"
#include "veld-config-unix.h"
#include "veld-hash.h"
#include "veld-logfile.h"

using veldtest::AgentProcess;
using veldtest::AppendFile;
using veldtest::ReadFile;
using veldtest::RsyslogCollector;
using veldtest::TempDir;
using veldtest::WriteFile;

namespace {

constexpr size_t kLinePart = 4069;       // line bytes per record with a ten-digit stamp
constexpr int kFirstPassMs = 25000;      // 5 s start pause, scan, first pass
constexpr int kDiscoveryMs = 40000;      // a 15 s scan period, then a 10 s pass
constexpr int kPositionSavedMs = 25000;  // the end of the pass after the read

// One line as written to a file, and the text the collector must show for it.
struct Line {
  std::string written;
  std::string arrives;
};

// The messages rsyslog records for these lines: each record is
// "T VELDUnixLog: " + at most kLinePart bytes; only a line's last record
// carries its newline.  Over TCP a message ends at a newline, so a long line
// is one message with the later prefixes inside; over UDP every record is a
// message of its own, less its trailing newline.
std::vector<std::string> Messages(const std::vector<Line> &lines, bool tcp) {
  std::vector<std::string> out;
  for (const Line &l : lines) {
    std::string joined;
    for (size_t at = 0; at < l.arrives.size(); at += kLinePart) {
      std::string rec = "T VELDUnixLog: " + l.arrives.substr(at, kLinePart);
      if (tcp) {
        joined += rec;
      } else {
        if (rec.back() == '\n') rec.pop_back();
        out.push_back(rec);
      }
    }
    if (tcp) {
      if (!joined.empty() && joined.back() == '\n') joined.pop_back();
      out.push_back(joined);
    }
  }
  return out;
}

// Every log-line message the collector holds, stamps replaced by "T" and
// grouped by the word before the first "-" of the line ("tailed",
// "watched", "fresh", ...).  Stamps outside [t0, now] are reported.
std::map<std::string, std::vector<std::string>> ByFile(const std::vector<std::string> &records,
                                                       time_t t0,
                                                       std::vector<std::string> *problems) {
  std::map<std::string, std::vector<std::string>> out;
  const time_t now = time(nullptr);
  for (const std::string &r : records) {
    if (r.find("VELDUnixLog") == std::string::npos) continue;  // metric records
    // Every "<digits> VELDUnixLog: " in the message (a TCP message may hold
    // several records) becomes "T VELDUnixLog: ".
    static const std::string tag = " VELDUnixLog: ";
    std::string norm;
    size_t last = 0;
    for (size_t p = r.find(tag); p != std::string::npos; p = r.find(tag, p + tag.size())) {
      size_t d = p;
      while (d > last && r[d - 1] >= '0' && r[d - 1] <= '9') --d;
      if (d == p) continue;
      time_t stamp = static_cast<time_t>(std::stoll(r.substr(d, p - d)));
      if (stamp < t0 - 1 || stamp > now + 1)
        problems->push_back("stamp out of range: " + r.substr(0, 80));
      norm.append(r, last, d - last);
      norm += "T VELDUnixLog: ";
      last = p + tag.size();
    }
    norm.append(r, last, std::string::npos);
    const std::string head = "T VELDUnixLog: ";
    if (norm.compare(0, head.size(), head) != 0) {
      problems->push_back("not a log-line record: " + r.substr(0, 80));
      continue;
    }
    out[norm.substr(head.size(), norm.find('-', head.size()) - head.size())].push_back(norm);
  }
  return out;
}

// Messages for a failure report, long ones shortened.
std::string Show(const std::vector<std::string> &msgs) {
  std::string out = "{";
  for (const std::string &m : msgs) {
    out += "\n  \"" + m.substr(0, 90);
    if (m.size() > 90)
      out += "...(" + std::to_string(m.size()) + " bytes, ends " + m.substr(m.size() - 20) + ")";
    out += "\"";
  }
  return out + " }";
}

class ForwardE2ETest : public ::testing::TestWithParam<const char *> {
 protected:
  void SetUp() override {
    std::string err;
    ASSERT_TRUE(collector_.Start(&err)) << err;
    tailed_ = dir_ / "tailed.log";
    watched_ = dir_ / "watched";
    positions_ = dir_ / "positions";
    ASSERT_EQ(mkdir(watched_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir_ / "log").c_str(), 0755), 0);
    WriteFile(dir_ / "agent.cfg",
              "LogFile=" + tailed_ + "\nLogDirectory=" + watched_ + "\nWatchdogFile=" + positions_ +
                  "\nRemoteHost=127.0.0.1\nRemotePort=" + std::to_string(collector_.port()) +
                  "\nRemoteService=" + GetParam() + "\n");
  }

  bool tcp() const { return std::string(GetParam()) == "tcp"; }

  void StartAgent() {
    agent_ = std::make_unique<AgentProcess>();
    ASSERT_TRUE(agent_->Start({"-d", "-c", dir_ / "agent.cfg"}, dir_ / "log"));
  }

  void Add(const std::string &path, const std::string &key, const Line &line) {
    AppendFile(path, line.written);
    expected_[key].push_back(line);
  }

  // True when every expected message has arrived; *why describes the rest.
  bool AllArrived(const std::vector<std::string> &records, std::string *why) const {
    std::vector<std::string> problems;
    auto got = ByFile(records, t0_, &problems);
    for (const auto &[key, lines] : expected_)
      if (got[key].size() < Messages(lines, tcp()).size()) {
        *why = key + ": " + std::to_string(got[key].size()) + " of " +
               std::to_string(Messages(lines, tcp()).size());
        return false;
      }
    return true;
  }

  ::testing::AssertionResult AllArrive(int timeout_ms) {
    std::string why;
    if (collector_.WaitUntil([&](const std::vector<std::string> &r) { return AllArrived(r, &why); },
                             timeout_ms))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "still missing " << why << "\nagent log:\n"
                                         << agent_->DiagLog() << "agent stderr:\n"
                                         << agent_->Stderr();
  }

  // Exactly the expected messages, per file and in order: nothing lost,
  // nothing twice, nothing from a file that must not be read.
  void ExpectExactly(const char *stage) {
    std::vector<std::string> problems;
    auto got = ByFile(collector_.Records(), t0_, &problems);
    EXPECT_EQ(problems, std::vector<std::string>()) << stage;
    for (const auto &[key, lines] : expected_) {
      const std::vector<std::string> want = Messages(lines, tcp());
      if (got[key] != want)
        ADD_FAILURE() << stage << ": " << key << "\n got: " << Show(got[key])
                      << "\nwant: " << Show(want);
    }
    for (const auto &[key, msgs] : got)
      EXPECT_TRUE(expected_.count(key))
          << stage << ": unexpected records for " << key << ": " << Show(msgs);
  }

  // Waits until the position file holds the current size of every file, so
  // a kill now loses nothing to re-sending.
  ::testing::AssertionResult PositionsSaved(const std::vector<std::string> &files) {
    bool saved = false;
    for (int waited = 0; waited < kPositionSavedMs && !saved; waited += 100) {
      std::string text = "\n";
      text += ReadFile(positions_);
      saved = true;
      for (const std::string &f : files) {
        struct stat st {};
        stat(f.c_str(), &st);
        std::string line = "\n" + f + "=" + std::to_string(st.st_size) + ",";
        if (text.find(line) == std::string::npos) saved = false;
      }
      if (!saved) usleep(100 * 1000);
    }
    if (saved) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "position file:\n"
                                         << ReadFile(positions_) << "agent log:\n"
                                         << agent_->DiagLog();
  }

  RsyslogCollector collector_;
  TempDir dir_;
  std::string tailed_, watched_, positions_;
  std::unique_ptr<AgentProcess> agent_;
  std::map<std::string, std::vector<Line>> expected_;
  time_t t0_ = time(nullptr);
};

TEST_P(ForwardE2ETest, EveryLineExactlyOnceAcrossRestart) {
  const std::string w = watched_ + "/w.log";
  const std::string fresh = watched_ + "/new.log";
  // Present before the agent starts: sent from their first byte.
  Add(tailed_, "tailed", {"tailed-1 plain\n", "tailed-1 plain\n"});
  Add(tailed_, "tailed",
      {"tailed-2 \"quoted\" tab\there \\ end\n", "tailed-2 \"quoted\" tab\there \\ end\n"});
  Add(tailed_, "tailed",
      {"tailed-3 top bit \xE9t\xE9 cleared\n", "tailed-3 top bit iti cleared\n"});
  static const char kNul[] = "tailed-4 nul[\0] and 0x80[\x80] left out\n";
  Add(tailed_, "tailed",
      {std::string(kNul, sizeof kNul - 1), "tailed-4 nul[] and 0x80[] left out\n"});
  // 5000 characters: two records, cut after kLinePart; the second part is
  // made to start with a word that names its file too.
  std::string long_line = "tailed-5 long ";
  long_line.resize(kLinePart, 'L');
  long_line += "tailed-5 continued ";
  long_line.resize(5000, 'C');
  long_line += "\n";
  Add(tailed_, "tailed", {long_line, long_line});
  Add(w, "watched", {"watched-1 in a watched directory\n", "watched-1 in a watched directory\n"});
  // A backup name is never picked up by the directory scan.
  WriteFile(watched_ + "/w.log._hlr_0", "hlr-1 must never arrive\n");

  StartAgent();
  ASSERT_TRUE(AllArrive(kFirstPassMs)) << "first pass";
  ExpectExactly("first pass");

  // Appended while it runs, and a file that appears in the directory.
  Add(tailed_, "tailed", {"tailed-6 appended\n", "tailed-6 appended\n"});
  Add(w, "watched", {"watched-2 appended\n", "watched-2 appended\n"});
  Add(fresh, "fresh", {"fresh-1 a new file\n", "fresh-1 a new file\n"});
  ASSERT_TRUE(AllArrive(kDiscoveryMs)) << "while running";
  ASSERT_TRUE(PositionsSaved({tailed_, w, fresh}));
  ExpectExactly("while running");

  agent_->Kill(SIGKILL);
  // Appended while the agent is down: sent after the restart, once.
  Add(tailed_, "tailed", {"tailed-7 while down\n", "tailed-7 while down\n"});
  Add(w, "watched", {"watched-3 while down\n", "watched-3 while down\n"});
  Add(fresh, "fresh", {"fresh-2 while down\n", "fresh-2 while down\n"});
  StartAgent();
  ASSERT_TRUE(AllArrive(kFirstPassMs)) << "after restart";
  ASSERT_TRUE(PositionsSaved({tailed_, w, fresh}));
  ExpectExactly("after restart");
}

// The link alone against the real collector, in this process: what
// SendLog hands over is what rsyslog records, for both transports, both with
// the test's own rsyslog configuration and with the stock one plus the
// snippet the documentation gives operators, which must keep every record
// whole and out of the host's own logs.
TEST(CollectorLinkToRsyslog, RecordsArriveByteExact) {
  const std::string snippet = std::string(VELD_SOURCE_DIR) + "/examples/rsyslog-veldagentd.conf";
  for (const bool documented : {false, true})
    for (const char *svc : {"tcp", "udp"}) {
      SCOPED_TRACE(std::string(svc) + (documented ? " documented snippet" : " own configuration"));
      RsyslogCollector collector;
      std::string err;
      ASSERT_TRUE(documented ? collector.StartDocumented(snippet, &err) : collector.Start(&err))
          << err;
      TempDir dir;
      GlobalConfigHash = hashtable_alloc(1, 0);
      ExpandEnvironment();
      std::snprintf(pLogFile, sizeof pLogFile, "%s", (dir / "veld.log").c_str());
      CfgHashAdd("RemoteService", svc);
      CfgHashAdd("RemotePort", std::to_string(collector.port()).c_str());
      ASSERT_EQ(LogInit(), 1);
      const std::vector<std::string> lines = {
          "1700000000 VELDUnixLog: plain",
          "1700000001 VELDUnixLog: tab\there \"q\" \\ {json} 'x'",
          "1700000002 VELDUnixLog: " + std::string(4093 - 24, 'x'),
          "1700000003 VELDPerfMon: sys_mem_size_free:12345",
      };
      for (const std::string &l : lines) EXPECT_EQ(SendLog((l + "\n").c_str()), 1);
      EXPECT_TRUE(collector.WaitForRecords(lines.size(), 5000)) << collector.Diagnostics();
      EXPECT_EQ(collector.Records(), lines);
      if (documented) {
        EXPECT_EQ(collector.Diagnostics().find("VELD"), std::string::npos)
            << collector.Diagnostics();
      }
      NetClose(sockData);
      hashtable_free(GlobalConfigHash);
      GlobalConfigHash = nullptr;
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, ForwardE2ETest, ::testing::Values("tcp", "udp"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                           return std::string(info.param);
                         });

}  // namespace
