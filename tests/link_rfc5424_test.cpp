// RecordFormat = rfc5424 against the stock receivers: rsyslog's imtcp as it
// comes (octet-counted framing on) and syslog-ng's syslog() source, both
// over TCP, fed by the tailer in this process through the link.  What must
// hold: each receiver parses, for every line, exactly our node name,
// "veldagentd", our process id, the MSGID VELDUnixLog and the line itself
// (without its line end, its bytes unchanged), whatever the line holds, and
// a line longer than a record is two messages, cut where the plain format
// cuts it.  Over UDP every message is one datagram, nothing around it.
#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "logfile_test_support.h"
#include "rsyslog_collector.h"
#include "test_util.h"
#include "veld-perfmon.h"

using veldtest::RsyslogCollector;
using veldtest::RsyslogInput;

namespace {

const std::vector<std::string> kLines = {
    "two  blanks inside",
    "123 digits first",
    "<13>looks like a PRI",
    "[brackets] {braces} - and a dash",
    "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac non-ASCII",
    std::string(5000, 'L'),
};

// What a receiver must have parsed from kLines, field by field.
std::vector<std::string> Expected() {
  utsname u{};
  uname(&u);
  const std::string head =
      std::string(u.nodename) + "|veldagentd|" + std::to_string(getpid()) + "|VELDUnixLog|";
  std::vector<std::string> out;
  for (size_t i = 0; i + 1 < kLines.size(); ++i) out.push_back(head + kLines[i]);
  out.push_back(head + std::string(4069, 'L'));  // the plain format's cut
  out.push_back(head + std::string(931, 'L'));
  return out;
}

class Rfc5424Test : public logtest::LogCollectionTest {
 protected:
  // Points the link at `port` over `service` in the rfc5424 format and tails
  // a file holding kLines.
  void SendLines(int port, const char *service) {
    CfgHashAdd(kCfgRemotePort, std::to_string(port).c_str());
    CfgHashAdd(kCfgRemoteService, service);
    CfgHashAdd(kCfgRecordFormat, "rfc5424");
    ASSERT_EQ(LogInit(), 1) << DiagLog();
    std::string text;
    for (const std::string &l : kLines) text += l + "\n";
    veldtest::WriteFile(dir / "app.log", text);
    logtest::AddFile(dir / "app.log");
    LogFilePass((dir / "positions").c_str());
  }
};

// Both stock receivers take every message apart exactly.
TEST_F(Rfc5424Test, StockReceiversParseEveryFieldExactly) {
  for (RsyslogInput::Kind kind : {RsyslogInput::kRfc5424, RsyslogInput::kSyslogNg}) {
    SCOPED_TRACE(kind == RsyslogInput::kSyslogNg ? "syslog-ng" : "rsyslog");
    RsyslogCollector receiver;
    RsyslogInput in;
    in.kind = kind;
    std::string err;
    ASSERT_TRUE(receiver.Start(in, &err)) << err;
    logtest::FreshLists();
    SendLines(receiver.port(), "tcp");
    const std::vector<std::string> want = Expected();
    ASSERT_TRUE(receiver.WaitForRecords(want.size(), 10000)) << receiver.Diagnostics() << DiagLog();
    EXPECT_EQ(receiver.Records(), want);
  }
}

// Over UDP a message is a datagram: the header, the line, nothing else.
TEST_F(Rfc5424Test, OverUdpEachMessageIsOneDatagram) {
  SendLines(collector.port(), "udp");
  std::vector<std::string> got = collector.Drain();
  ASSERT_EQ(got.size(), kLines.size() + 1);
  const std::string head = "<14>1 2023-11-14T22:13:20Z ";  // the fixed clock, UTC
  for (const std::string &g : got) EXPECT_EQ(g.substr(0, head.size()), head) << g;
  const std::string tail = " veldagentd " + std::to_string(getpid()) + " VELDUnixLog - ";
  EXPECT_EQ(got[1].substr(got[1].find(" veldagentd ")), tail + kLines[1]);
}

// A metric is a message with MSGID VELDPerfMon and "key:value" as MSG, its
// line end left out like a log line's.
TEST_F(Rfc5424Test, MetricIsAMessageWithItsOwnMsgId) {
  CfgHashAdd(kCfgRecordFormat, "rfc5424");
  ASSERT_EQ(LogInit(), 1);
  ASSERT_TRUE(PerfMonSend(1700000000u, "%s:%d\n", "sys_test_value", 42));
  const std::vector<std::string> got = collector.Drain();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].substr(got[0].find(" veldagentd ")),
            " veldagentd " + std::to_string(getpid()) + " VELDPerfMon - sys_test_value:42");
}

}  // namespace
