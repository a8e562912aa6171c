// The receiving configurations README documents, each run as an operator
// would: rsyslog's snippets dropped into the host's stock rsyslog.conf, and
// syslog-ng's as its whole configuration (a stock syslog-ng unpacked from
// its package), only their ports, output file and certificate directory
// changed.  The link, opened in this process with the settings README pairs
// with each, sends a record; what must hold is the line the snippet's
// output file shows for it, exactly as README says.
#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "rsyslog_collector.h"
#include "test_util.h"
#include "veld-config-unix.h"
#include "veld-hash.h"
#include "veld-logfile.h"
#include "veld-network-ssl.h"

using veldtest::RsyslogCollector;
using veldtest::RsyslogInput;

namespace {

constexpr unsigned long kStamp = 1796681447;
constexpr char kLine[] = "documented line with  blanks, [brackets] and <angles>";

class DocumentedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GlobalConfigHash = hashtable_alloc(1, 0);
    ExpandEnvironment();
    std::snprintf(pLogFile, sizeof pLogFile, "%s", (dir_ / "veld.log").c_str());
    // The collector's certificate, made by the project's own generation,
    // is also the agent's CA bundle.
    ASSERT_EQ(SSLGenCertificate("", "30", "unused", (dir_ / "collector.key").c_str(),
                                (dir_ / "collector.pem").c_str(), "/CN=localhost"),
              1);
    veldtest::WriteFile(dir_ / "ca.pem", veldtest::ReadFile(dir_ / "collector.pem"));
  }
  void TearDown() override {
    if (sockData != nullptr) NetClose(sockData);
    hashtable_free(GlobalConfigHash);
    GlobalConfigHash = nullptr;
  }

  veldtest::TempDir dir_;
};

// Each snippet with the settings README pairs it with.
TEST_F(DocumentedTest, EachSnippetReceivesWhatReadmeSays) {
  utsname u{};
  uname(&u);
  const std::string fields =
      std::string(u.nodename) + " veldagentd " + std::to_string(getpid()) + " VELDUnixLog " + kLine;
  const std::string plain = std::to_string(kStamp) + " VELDUnixLog: " + kLine;
  const struct {
    const char *snippet, *service, *format;
    bool syslog_ng;
    std::string shows;
  } cases[] = {
      {"rsyslog-veldagentd.conf", "tcp", "plain", false, plain},
      {"rsyslog-veldagentd-tls.conf", "tls", "plain", false, plain},
      {"rsyslog-veldagentd-relp.conf", "relp", "plain", false, plain},
      {"rsyslog-veldagentd-rfc5424.conf", "tcp", "rfc5424", false, fields},
      {"rsyslog-veldagentd-rfc5424.conf", "udp", "rfc5424", false, fields},
      {"syslog-ng-veldagentd.conf", "tls", "rfc5424", true, fields},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.snippet) + " over " + c.service);
    RsyslogCollector receiver;
    RsyslogInput in;
    in.kind = c.syslog_ng ? RsyslogInput::kSyslogNg : RsyslogInput::kRaw;
    in.tls_dir = dir_.path();
    std::string err;
    ASSERT_TRUE(
        receiver.StartDocumented(std::string(VELD_SOURCE_DIR) + "/examples/" + c.snippet, in, &err))
        << err;
    CfgHashAdd(kCfgRemoteHost, "127.0.0.1");
    CfgHashAdd(kCfgRemotePort, std::to_string(receiver.port()).c_str());
    CfgHashAdd(kCfgRemoteService, c.service);
    CfgHashAdd(kCfgRecordFormat, c.format);
    CfgHashAdd(kCfgRemoteCAFile, (dir_ / "ca.pem").c_str());
    CfgHashAdd(kCfgRemoteServerName, "localhost");
    ASSERT_EQ(LogInit(), 1) << veldtest::ReadFile(pLogFile);
    char record[LOG_RECORD_HEAD_MAX + sizeof kLine + 1];
    size_t head = LogRecordHead(record, kStamp, false);
    std::snprintf(record + head, sizeof record - head, "%s%s", kLine,
                  LogRecordKeepsLineEnd() ? "\n" : "");
    EXPECT_EQ(SendLog(record), 1);
    ASSERT_TRUE(receiver.WaitForRecords(1, 10000)) << receiver.Diagnostics();
    EXPECT_EQ(receiver.Records(), std::vector<std::string>{c.shows});
    NetClose(sockData);
  }
}

}  // namespace
