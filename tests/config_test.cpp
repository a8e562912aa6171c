// Configuration file and settings store: each scenario writes a real file in
// a fresh directory, reads it through CfgProcessConfiguration, and checks the
// store and the source lists.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"
#include "veld-agent.h"
#include "veld-config-unix.h"
#include "veld-hash.h"
#include "veld-logfile.h"

using veldtest::ReadFile;
using veldtest::TempDir;
using veldtest::WriteFile;

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GlobalConfigHash = hashtable_alloc(1, 0);
    ExpandEnvironment();
    std::snprintf(pLogFile, sizeof pLogFile, "%s", (dir_ / "diag.log").c_str());
    // The lists are process-wide and only grow; each test reads what it
    // appended after the nodes that earlier tests left.
    for (P_LOGFILE_LIST n = LogFileList.load(); n; n = n->next.load()) file_mark_ = n;
    for (P_LOGDIR_LIST n = LogDirectoryList.load(); n; n = n->next.load()) dir_mark_ = n;
  }
  void TearDown() override {
    hashtable_free(GlobalConfigHash);
    GlobalConfigHash = nullptr;
  }

  int Load(const std::string &text) {
    std::string path = dir_ / "agent.cfg";
    WriteFile(path, text);
    return CfgProcessConfiguration(path.c_str());
  }
  std::string Get(const char *key) {
    const char *v = CfgHashGet(key);
    return v ? v : "<null>";
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> out;
    P_LOGFILE_LIST n = file_mark_ ? file_mark_->next.load() : LogFileList.load();
    for (; n; n = n->next.load()) out.push_back(n->log_file);
    return out;
  }
  std::vector<std::string> Dirs() const {
    std::vector<std::string> out;
    P_LOGDIR_LIST n = dir_mark_ ? dir_mark_->next.load() : LogDirectoryList.load();
    for (; n; n = n->next.load()) out.push_back(n->log_dir);
    return out;
  }

  TempDir dir_;
  P_LOGFILE_LIST file_mark_ = nullptr;
  P_LOGDIR_LIST dir_mark_ = nullptr;
};

std::string Trimmed(std::string s) {
  trim(s.data());
  return std::string(s.c_str());
}

}  // namespace

// The built-in defaults are the whole configuration when no file says more.
TEST_F(ConfigTest, DefaultsAndLogPath) {
  EXPECT_EQ(Get("WatchdogFile"), "/etc/veldagentd.watchdog");
  EXPECT_EQ(Get("RemoteHost"), "127.0.0.1");
  EXPECT_EQ(Get("RemotePort"), "514");
  EXPECT_EQ(Get("RemoteService"), "tcp");
  EXPECT_EQ(Get("LogRotationSize"), "1");
  EXPECT_EQ(Get("PerformanceMonitorPollingTimeout"), "300");
  EXPECT_EQ(Get("EventWatchdogFile"), "<null>");
  EXPECT_EQ(Get("remotehost"), "<null>") << "lookups use the canonical name";
  EXPECT_EQ(hashtable_keyserial(GlobalConfigHash, "WatchdogFile"), 1u);
  EXPECT_EQ(hashtable_keyserial(GlobalConfigHash, "PerformanceMonitorPollingTimeout"), 6u);

  char saved[sizeof pLogFile];
  std::memcpy(saved, pLogFile, sizeof saved);
  ExpandEnvironment();
  EXPECT_STREQ(pLogFile, "/var/log/veldagentd.log");
  std::memcpy(pLogFile, saved, sizeof saved);
}

// Names match in any case, blanks around them do not count, and only the
// first "=" splits: the rest belongs to the value.
TEST_F(ConfigTest, NamesValuesAndSplitting) {
  EXPECT_EQ(Load("remotehost = 10.0.0.5\n"
                 "REMOTESERVICE=udp\n"
                 "RemotePort=\n"
                 "EventWatchdogFile=a=b\n"
                 "NoSuchKey=1\n"
                 "no equals sign here\n"
                 "\n"
                 " =orphan\n"),
            1);
  EXPECT_EQ(Get("RemoteHost"), "10.0.0.5");
  EXPECT_EQ(Get("RemoteService"), "udp");
  EXPECT_EQ(Get("RemotePort"), "514") << "an empty raw value is skipped";
  EXPECT_EQ(Get("EventWatchdogFile"), "a=b");
  EXPECT_EQ(hashtable_count(GlobalConfigHash), 10u) << "unknown names add nothing";
  EXPECT_EQ(ReadFile(pLogFile), "") << "malformed lines are skipped silently";
}

// A value of only blanks or quotes is not empty before trimming: it is used
// as the empty string, unlike a value with nothing after "=".
TEST_F(ConfigTest, BlankValueBecomesEmptyString) {
  Load("RemotePort= \nRemoteHost=\"\"\n");
  EXPECT_EQ(Get("RemotePort"), "");
  EXPECT_EQ(Get("RemoteHost"), "");
}

// Comment detection looks at the first two characters only.
TEST_F(ConfigTest, CommentPositions) {
  Load(
      "#RemoteHost=a\n"
      " #RemoteHost=b\n"
      "R#emoteHost=c\n"
      "  #RemoteHost=d\n"
      "RemotePort=600\n");
  EXPECT_EQ(Get("RemoteHost"), "127.0.0.1");
  EXPECT_EQ(Get("RemotePort"), "600");
}

// Line ends: CRLF and a last line without a newline keep the whole value.
TEST_F(ConfigTest, LineEndings) {
  Load("RemoteHost=collector.example\r\nRemotePort=515");
  EXPECT_EQ(Get("RemoteHost"), "collector.example");
  EXPECT_EQ(Get("RemotePort"), "515");
}

// Later lines replace plain settings; LogFile and LogDirectory accumulate in
// file order, duplicates kept, quotes removed and inner blanks kept.
TEST_F(ConfigTest, ListsAccumulateInOrder) {
  Load(
      "RemoteHost=a\n"
      "LogFile=/var/log/one\n"
      "LogDirectory = /var/log/d1\n"
      "logfile = \"/var/log/a b.log\"\n"
      "LOGFILE=/var/log/one\n"
      "LogDirectory=/var/log/d2/\n"
      "RemoteHost=b\n");
  EXPECT_EQ(Get("RemoteHost"), "b");
  EXPECT_EQ(hashtable_keycount(GlobalConfigHash, "RemoteHost"), 3u);
  EXPECT_EQ(Files(),
            (std::vector<std::string>{"/var/log/one", "/var/log/a b.log", "/var/log/one"}));
  EXPECT_EQ(Dirs(), (std::vector<std::string>{"/var/log/d1", "/var/log/d2/"}));
}

// A line longer than the 4095-byte buffer is handled as pieces, each as a
// line of its own: the tail of an over-long line can set a key.
TEST_F(ConfigTest, OverlongLineIsReadInPieces) {
  std::string filler(4095 - std::string("EventWatchdogFile=").size(), 'x');
  Load("EventWatchdogFile=" + filler + "RemotePort=999\n");
  EXPECT_EQ(Get("EventWatchdogFile"), filler);
  EXPECT_EQ(Get("RemotePort"), "999");
}

// A missing file, and a directory (which opens but holds no lines), each
// cost a priority-1 entry naming the file and the reason (followed by an
// empty line, since the message carries its own newline) and result 0;
// defaults stay.
TEST_F(ConfigTest, UnreadableFileIsReportedWithItsReason) {
  std::string missing = dir_ / "nope.cfg";
  EXPECT_EQ(CfgProcessConfiguration(missing.c_str()), 0);
  EXPECT_EQ(CfgProcessConfiguration(dir_.path().c_str()), 0);
  std::string log = veldtest::WithoutPids(ReadFile(pLogFile));
  EXPECT_NE(log.find(" VELDAgent [1]: Error reading our configuration file: " + missing +
                     ": No such file or directory\n\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" VELDAgent [1]: Error reading our configuration file: " + dir_.path() +
                     ": Is a directory\n\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(Get("RemotePort"), "514");
  EXPECT_EQ(Load(""), 1) << "an empty file is read successfully";
}

// CfgHashAdd refuses nulls and stores its own copy of the value.
TEST_F(ConfigTest, HashAddCopiesAndRefusesNull) {
  EXPECT_EQ(CfgHashAdd(nullptr, "x"), 0);
  EXPECT_EQ(CfgHashAdd("RemoteHost", nullptr), 0);
  char value[] = "first";
  EXPECT_EQ(CfgHashAdd("RemoteHost", value), 1);
  value[0] = 'X';
  EXPECT_EQ(Get("RemoteHost"), "first");
}

// trim: trailing C-locale space, leading " \n\r\t\v" only, then double
// quotes, then single quotes, each end on its own.
TEST(Trim, OrderOfRemoval) {
  EXPECT_EQ(Trimmed(" \"a b\" "), "a b");
  EXPECT_EQ(Trimmed("\"'x'\""), "x");
  EXPECT_EQ(Trimmed("'\"x\"'"), "\"x\"");
  EXPECT_EQ(Trimmed("\"\""), "");
  EXPECT_EQ(Trimmed("\fx\f"), "\fx") << "form feed is trailing space but not leading";
  EXPECT_EQ(Trimmed("\"a\"b\""), "a\"b");
  EXPECT_EQ(Trimmed("x\xa0"), "x\xa0") << "high bytes never count as space";
  EXPECT_EQ(Trimmed("  \t\r\n"), "");
  trim(nullptr);
}

TEST(Stricmp, CaseInsensitiveDifference) {
  EXPECT_EQ(veld_stricmp("TCP-SSL", "tcp-ssl"), 0);
  EXPECT_LT(veld_stricmp("tc", "tcp"), 0);
  EXPECT_EQ(veld_stricmp("b", "A"), 1);
  EXPECT_GT(veld_stricmp("\xe9", "e"), 0) << "bytes compare unsigned";
}

// The configuration check: every mistake an operator makes in a line is
// reported once, with the line's number, as a problem (fails -t) or a note,
// saying what the agent will do instead; the reader still reads the file
// as before.  One row per mistake, each row one line of the same file.
TEST_F(ConfigTest, CheckReportsEachBadLineWithItsNumber) {
  const std::string real = dir_ / "real.log", missing = dir_ / "absent.log";
  WriteFile(real, "");
  const struct Row {
    std::string line;
    bool problem;
    std::string says;
  } rows[] = {
      {"Remote_Port = 5514", true, "unknown key \"Remote_Port\" (did you mean \"RemotePort\"?)"},
      {"LogFiles = " + real, true, "(did you mean \"LogFile\"?)"},
      {"RemoteHots = 10.0.0.1", true, "(did you mean \"RemoteHost\"?)"},
      {"RemotePort: 5514", true,
       "no \"=\" in the line; it is ignored (did you mean "
       "\"RemotePort = 5514\"?)"},
      {"  # indented twice", true, "a comment needs \"#\" as its first or second character"},
      {"R#emotePort = 1", true, "taken as a comment"},
      {"= 5514", true, "no name before \"=\""},
      {"LogFile =", true, "LogFile has no value"},
      {"RemotePort = abc", true, "not a number from 1 to 65535 (the agent would use port 0)"},
      {"RemotePort = 70000", true, "(the agent would use port 4464)"},
      {"RemotePort = -1", true, "(the agent would use port 65535)"},
      {"RemoteService = ssl", true,
       "none of tcp, tcp-ssl, tls, relp, relp-tls and udp (the agent would send over UDP"},
      {"RemoteService = TCP-SSL", false, "is plain TCP, without TLS"},
      {"LogRotationSize = 0.5", true, "below 1 MiB: the agent reads 0 and empties"},
      {"LogRotationSize = 2.5", true, "not a whole number of MiB"},
      {"LogFile = " + real + " # the main log", true, "looks like a comment"},
      {"LogFile = " + missing, true, "cannot be reached (No such file or directory)"},
      {"LogFile = " + dir_.path(), true, "is not a regular file"},
      {"LogFile = relative.log", true, "not an absolute path"},
      {"LogDirectory = " + missing, true, "cannot be reached"},
      {"LogDirectory = " + real, true, "is not a directory"},
      {"WatchdogFile = " + (dir_ / "no-dir/positions"), true, "is not writable"},
      {"RemoteHost = no-such-host.invalid", true, "does not resolve to an IPv4 address"},
      {"PerformanceMonitorPollingTimeout = 60", false, "is stored only and changes nothing"},
  };
  // A sound head: a comment, a blank line and good settings say nothing.
  std::string text = "# collector\n\nRemoteHost = 127.0.0.1\nremoteport=0x1bb\nLogFile = " + real +
                     "\nLogDirectory=\"" + dir_.path() + "\"\nLogRotationSize = 5\n";
  const unsigned head = 7;
  for (const Row &r : rows) text += r.line + "\n";
  const std::string cfg = dir_ / "check.cfg";
  WriteFile(cfg, text);

  std::vector<CfgFinding> all, found;
  EXPECT_FALSE(CfgCheckConfiguration(cfg.c_str(), &all));
  // Keys the rows set again (RemoteHost, RemotePort thrice, RemoteService,
  // LogRotationSize twice) are each named once more, at the later line.
  for (const CfgFinding &f : all)
    if (f.text.find(" is set again (first on line ") == std::string::npos) found.push_back(f);
  EXPECT_EQ(all.size() - found.size(), 7u);
  ASSERT_EQ(found.size(), std::size(rows));
  for (size_t i = 0; i < found.size(); ++i) {
    SCOPED_TRACE(rows[i].line);
    EXPECT_EQ(found[i].line, head + 1 + i);
    EXPECT_EQ(found[i].problem, rows[i].problem);
    EXPECT_NE(found[i].text.find(rows[i].says), std::string::npos) << found[i].text;
  }
  EXPECT_EQ(CfgFindingText(cfg.c_str(), found[0]),
            cfg +
                ":8: unknown key \"Remote_Port\" (did you mean \"RemotePort\"?); the line is "
                "ignored");
  EXPECT_EQ(ReadFile(pLogFile), "") << "the check logs nothing itself";

  // The sound head alone passes; a note alone passes too.
  WriteFile(cfg, text.substr(0, text.find("Remote_Port")) + "RemoteService = tcp-ssl\n");
  found.clear();
  EXPECT_TRUE(CfgCheckConfiguration(cfg.c_str(), &found));
  EXPECT_EQ(found.size(), 1u);

  // The file as a whole: too long a line, a directory, a missing file.
  WriteFile(cfg, std::string(5000, 'x') + "\nRemotePort = 1\n");
  found.clear();
  EXPECT_FALSE(CfgCheckConfiguration(cfg.c_str(), &found));
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(CfgFindingText(cfg.c_str(), found[1]),
            cfg + ":1: longer than 4095 bytes: each piece is read as a line of its own");
  for (const std::string &bad : {dir_.path(), missing}) {
    found.clear();
    EXPECT_FALSE(CfgCheckConfiguration(bad.c_str(), &found));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].line, 0u);
    EXPECT_NE(found[0].text.find("cannot be read ("), std::string::npos) << found[0].text;
  }
}

// The check of the link's settings, alone and together: each file below is
// one mistake (or none), with the findings it must bring, in order.
TEST_F(ConfigTest, CheckJudgesTheLinkSettingsAloneAndTogether) {
  const std::string ca = dir_ / "ca.pem", cert = dir_ / "client.pem", key = dir_ / "client.key",
                    open_key = dir_ / "open.key";
  for (const std::string &f : {ca, cert, key, open_key}) WriteFile(f, "pem\n");
  ASSERT_EQ(chmod(key.c_str(), 0600), 0);
  ASSERT_EQ(chmod(open_key.c_str(), 0644), 0);
  struct Finding {
    unsigned line;
    bool problem;
    std::string says;
  };
  const struct {
    std::string text;
    std::vector<Finding> findings;
  } cases[] = {
      {"RemoteService = relp-tls\nRecordFormat = RFC5424\nRecordFacility = local3\n"
       "RemoteCAFile = " +
           ca + "\nRemoteCertFile = " + cert + "\nRemoteKeyFile = " + key +
           "\nRemoteServerName = collector.example\n",
       {}},
      {"RecordFormat = json\n", {{1, true, "RecordFormat \"json\" is neither plain nor rfc5424"}}},
      {"RecordFormat = rfc5424\nRecordFacility = local9\n",
       {{2, true, "RecordFacility \"local9\" is no facility name"}}},
      {"RecordFacility = 17\n",
       {{1, false, "RecordFacility changes nothing: the plain record format carries no facility"}}},
      {"RemoteService = tls\nRemoteCAFile = " + (dir_ / "absent.pem") + "\n",
       {{2, true, "cannot be read (No such file or directory)"}}},
      {"RemoteService = tls\nRemoteCAFile = ca.pem\n", {{2, true, "is not an absolute path"}}},
      {"RemoteService = tls\nRemoteCertFile = " + cert + "\nRemoteKeyFile = " + open_key + "\n",
       {{3, true, "is readable by group or others (mode 0644)"}}},
      {"RemoteService = tls\nRemoteCertFile = " + cert + "\n",
       {{2, true, "RemoteCertFile is set without RemoteKeyFile"}}},
      {"RemoteService = udp\nRemoteServerName = collector.example\n",
       {{2, false, "RemoteServerName changes nothing: RemoteService \"udp\" does not use TLS"}}},
      {"RemoteService = relp\n", {{1, false, "\"relp\" with the plain record format"}}},
      {"RemotePort = 1514\nRemotePort = 2514\n",
       {{2, true,
         "RemotePort is set again (first on line 1): only this later value takes effect"}}},
  };
  const std::string cfg = dir_ / "link.cfg";
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    WriteFile(cfg, c.text);
    std::vector<CfgFinding> found;
    EXPECT_EQ(CfgCheckConfiguration(cfg.c_str(), &found),
              std::none_of(c.findings.begin(), c.findings.end(),
                           [](const Finding &f) { return f.problem; }));
    ASSERT_EQ(found.size(), c.findings.size()) << (found.empty() ? "" : found[0].text);
    for (size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].line, c.findings[i].line);
      EXPECT_EQ(found[i].problem, c.findings[i].problem);
      EXPECT_NE(found[i].text.find(c.findings[i].says), std::string::npos) << found[i].text;
    }
  }
}
