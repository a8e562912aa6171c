// The tls link against a stock rsyslog (imtcp with the ossl stream driver),
// the link opened in this process from its settings.  Certificates are made
// with the project's own generation (SSLGenCertificate, SSLGenrsaKeyRequest);
// only what it cannot make (a certificate already expired, one naming an IP
// address) is finished with the real openssl.  What must hold: records
// arrive byte for byte; every certificate that does not prove the collector
// is refused with one entry naming the reason, and nothing reaches the
// collector in the clear; a server that never answers the handshake holds a
// send for the stall limit and no longer; a client certificate is shown when
// the collector asks for one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "rsyslog_collector.h"
#include "test_util.h"
#include "veld-config-unix.h"
#include "veld-hash.h"
#include "veld-logfile.h"
#include "veld-network-ssl.h"

using veldtest::ReadFile;
using veldtest::RsyslogCollector;
using veldtest::RsyslogInput;
using veldtest::TempDir;
using veldtest::WriteFile;

namespace {

// Runs openssl with `args`; true when it exits with 0.
bool Openssl(const std::vector<std::string> &args, const std::string &log) {
  std::vector<std::string> argv{"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = veldtest::Spawn(argv, log);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// The certificates every test uses, made once: "<name>.pem" and "<name>.key".
class Certs {
 public:
  Certs() {
    ok_ = Make("server", "/CN=localhost") && Make("client", "/CN=veldagent") &&
          Make("stranger", "/CN=localhost") && MakeExpired() && MakeWithAddress();
    // The collector trusts its own certificate and the agent's.
    WriteFile(dir_ / "both.pem", ReadFile(Pem("server")) + ReadFile(Pem("client")));
  }
  bool ok() const { return ok_; }
  std::string Pem(const std::string &n) const { return dir_ / (n + ".pem"); }
  std::string Key(const std::string &n) const { return dir_ / (n + ".key"); }
  std::string Bundle() const { return dir_ / "both.pem"; }

 private:
  bool Make(const std::string &n, const std::string &subject) {
    return SSLGenCertificate("", "30", "unused", Key(n).c_str(), Pem(n).c_str(), subject.c_str()) ==
           1;
  }
  // A key and request from the generator, signed by its own key for a
  // month that has passed.
  bool MakeExpired() {
    const std::string req = dir_ / "expired.csr";
    WriteFile(dir_ / "index.txt", "");
    WriteFile(dir_ / "serial", "01\n");
    WriteFile(dir_ / "ca.cnf",
              "[ca]\ndefault_ca = d\n[d]\ndatabase = " + (dir_ / "index.txt") +
                  "\nnew_certs_dir = " + dir_.path() + "\nserial = " + (dir_ / "serial") +
                  "\ndefault_md = sha256\npolicy = p\n[p]\ncommonName = supplied\n");
    return SSLGenrsaKeyRequest("", Key("expired").c_str(), req.c_str(), "/CN=localhost") == 1 &&
           Openssl({"ca", "-selfsign", "-batch", "-config", dir_ / "ca.cnf", "-keyfile",
                    Key("expired"), "-in", req, "-startdate", "20200101000000Z", "-enddate",
                    "20200201000000Z", "-out", Pem("expired")},
                   dir_ / "openssl.log");
  }
  // The generator's subject carries no address: openssl adds the entry.
  bool MakeWithAddress() {
    return Openssl(
        {"req", "-new", "-nodes", "-x509", "-days", "30", "-subj", "/CN=collector", "-addext",
         "subjectAltName=IP:127.0.0.1", "-keyout", Key("address"), "-out", Pem("address")},
        dir_ / "openssl.log");
  }

  TempDir dir_;
  bool ok_ = false;
};

const Certs &TheCerts() {
  static const Certs *certs = new Certs;  // for the whole run
  return *certs;
}

class TlsLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(TheCerts().ok()) << "the test certificates could not be made";
    GlobalConfigHash = hashtable_alloc(1, 0);
    ExpandEnvironment();
    std::snprintf(pLogFile, sizeof pLogFile, "%s", (dir_ / "veld.log").c_str());
  }
  void TearDown() override {
    if (sockData != nullptr) NetClose(sockData);
    hashtable_free(GlobalConfigHash);
    GlobalConfigHash = nullptr;
  }
  // A collector serving `server`'s certificate; `auth` and `peer` for imtcp.
  void StartCollector(const std::string &server, const std::string &auth = "anon",
                      const std::string &peer = "") {
    RsyslogInput in;
    in.kind = RsyslogInput::kTls;
    in.cert = TheCerts().Pem(server);
    in.key = TheCerts().Key(server);
    in.ca = TheCerts().Bundle();
    in.auth = auth;
    in.peer = peer;
    std::string err;
    ASSERT_TRUE(collector_.Start(in, &err)) << err;
  }
  // The link's settings; an empty value is left unset.
  int Init(const std::string &ca, const std::string &name, const std::string &client = "",
           const char *service = "tls") {
    CfgHashAdd(kCfgRemoteService, service);
    CfgHashAdd(kCfgRemoteHost, "127.0.0.1");
    CfgHashAdd(kCfgRemotePort, std::to_string(collector_.port()).c_str());
    CfgHashAdd(kCfgRemoteCAFile, ca.c_str());
    if (!name.empty()) CfgHashAdd(kCfgRemoteServerName, name.c_str());
    if (!client.empty()) {
      CfgHashAdd(kCfgRemoteCertFile, TheCerts().Pem(client).c_str());
      CfgHashAdd(kCfgRemoteKeyFile, TheCerts().Key(client).c_str());
    }
    return LogInit();
  }
  std::string DiagLog() const { return veldtest::WithoutPids(ReadFile(pLogFile)); }

  TempDir dir_;
  RsyslogCollector collector_;
};

// ---- what arrives

// Records reach the collector byte for byte, each a message of its own,
// whatever they hold (blanks, a tab, a syslog-looking head, non-ASCII).
TEST_F(TlsLinkTest, RecordsArriveByteExact) {
  StartCollector("server");
  ASSERT_EQ(Init(TheCerts().Pem("server"), "localhost"), 1) << DiagLog();
  const std::vector<std::string> lines = {"1796681447 VELDUnixLog: first line",
                                          "1796681447 VELDUnixLog: tab\there  two  blanks",
                                          "<14>1 2026-01-01T00:00:00Z looks like syslog",
                                          "1796681447 VELDUnixLog: caf\xc3\xa9 [x] <y>"};
  for (const std::string &l : lines) EXPECT_EQ(SendLog((l + "\n").c_str()), 1);
  ASSERT_TRUE(collector_.WaitForRecords(lines.size(), 10000)) << collector_.Diagnostics();
  EXPECT_EQ(collector_.Records(), lines);
  EXPECT_EQ(DiagLog().find("TLS"), std::string::npos) << DiagLog();
}

// The collector asks for a client certificate and admits only the agent's
// name: with RemoteCertFile and RemoteKeyFile the agent shows it.
TEST_F(TlsLinkTest, MutualTlsShowsTheClientCertificate) {
  StartCollector("server", "x509/name", "veldagent");
  ASSERT_EQ(Init(TheCerts().Pem("server"), "localhost", "client"), 1) << DiagLog();
  EXPECT_EQ(SendLog("mutual\n"), 1);
  ASSERT_TRUE(collector_.WaitForRecords(1, 10000)) << collector_.Diagnostics();
  EXPECT_EQ(collector_.Records(), std::vector<std::string>{"mutual"});
}

// relp-tls: RELP inside the same TLS session, against imrelp, which requires
// and checks the agent's certificate; the record is acknowledged.
TEST_F(TlsLinkTest, RelpOverTlsIsAcknowledgedByImrelp) {
  RsyslogInput in;
  in.kind = RsyslogInput::kRelp;
  in.cert = TheCerts().Pem("server");
  in.key = TheCerts().Key("server");
  in.ca = TheCerts().Bundle();
  in.peer = "veldagent";
  std::string err;
  ASSERT_TRUE(collector_.Start(in, &err)) << err;
  ASSERT_EQ(Init(TheCerts().Pem("server"), "localhost", "client", "relp-tls"), 1) << DiagLog();
  EXPECT_EQ(SendLog("over relp-tls\n"), 1);
  ASSERT_TRUE(collector_.WaitForRecords(1, 10000)) << collector_.Diagnostics();
  EXPECT_EQ(collector_.Records(), std::vector<std::string>{"over relp-tls"});
}

// With no RemoteServerName an address in RemoteHost is matched against the
// certificate's IP entries.
TEST_F(TlsLinkTest, AddressIsCheckedAgainstTheCertificateIpEntries) {
  StartCollector("address");
  ASSERT_EQ(Init(TheCerts().Pem("address"), ""), 1) << DiagLog();
  EXPECT_EQ(SendLog("by address\n"), 1);
  ASSERT_TRUE(collector_.WaitForRecords(1, 10000)) << collector_.Diagnostics();
}

// ---- what is refused

// Each certificate that does not prove the collector: the connection is
// refused with one entry naming OpenSSL's verification error, the record is
// not sent, and the collector receives nothing at all.
TEST_F(TlsLinkTest, CertificatesThatDoNotProveTheCollectorAreRefused) {
  const struct {
    const char *what, *served, *trusted, *name, *reason;
  } cases[] = {
      {"wrong CA", "server", "stranger", "localhost", "certificate not accepted: self-signed"},
      {"wrong name", "server", "server", "collector.example",
       "certificate not accepted: hostname mismatch"},
      {"expired", "expired", "expired", "localhost",
       "certificate not accepted: certificate has expired"},
      {"address not named", "server", "server", "",
       "certificate not accepted: IP address mismatch"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    collector_.Stop();
    TearDown();
    SetUp();
    std::remove(pLogFile);
    StartCollector(c.served);
    EXPECT_EQ(Init(TheCerts().Pem(c.trusted), c.name), 0);
    EXPECT_EQ(SendLog("secret record\n"), 0);
    const std::string log = DiagLog();
    const std::string entry =
        "TLS handshake with 127.0.0.1:" + std::to_string(collector_.port()) + " failed: ";
    EXPECT_NE(log.find(entry + c.reason), std::string::npos) << log;
    size_t entries = 0;
    for (size_t at = log.find(entry); at != std::string::npos; at = log.find(entry, at + 1))
      ++entries;
    EXPECT_EQ(entries, 1u) << log;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(collector_.Records().empty()) << collector_.Records()[0];
  }
}

// A plaintext collector that reads the handshake and never answers: the
// send gives up at the stall limit, the entry says it timed out, and the
// collector saw nothing but the agent's greeting.
TEST_F(TlsLinkTest, PlaintextServerThatNeverAnswersTimesOutAndSeesNoRecord) {
  std::string err;
  ASSERT_TRUE(collector_.Start(&err)) << err;  // plain imtcp and imudp
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Init(TheCerts().Pem("server"), "localhost"), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::seconds(14));
  EXPECT_LE(took, std::chrono::seconds(25));
  EXPECT_NE(DiagLog().find("failed: timed out after 15 s"), std::string::npos) << DiagLog();
  EXPECT_EQ(SendLog("secret record\n"), 0) << "within the retry pause, nothing is tried";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (const std::string &r : collector_.Records())
    EXPECT_EQ(r.find("secret"), std::string::npos) << r;
}

}  // namespace
