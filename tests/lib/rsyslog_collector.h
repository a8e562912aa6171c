// A real rsyslog collector for end-to-end tests.
//
// Start() writes an rsyslog configuration into a fresh temporary directory
// (its own work directory, pid file and output file there), checks it with
// "rsyslogd -N1 -f FILE", and runs "rsyslogd -n -f FILE -i PIDFILE" listening
// on one fresh free 127.0.0.1 port for both TCP and UDP.  It returns once
// that rsyslogd process owns both ports.  Every message rsyslog receives is
// written as JSON with %rawmsg:::json%, which keeps the bytes and the message
// boundaries exactly; Records() decodes them.
//
// What a message is, as rsyslog sees it:
//   TCP: the bytes between two line feeds of the stream (the line feed is the
//        frame end and is not part of the message);
//   UDP: one datagram, less one trailing line feed.
// So a record "N VELDUnixLog: text\n" arrives as "N VELDUnixLog: text" over
// either transport.  Empty messages are not recorded.  Control characters
// arrive as they were sent, except NUL, which rsyslog turns into "#000".
//
// StartDocumented(snippet) runs instead the rsyslog an operator would run:
// the host's stock /etc/rsyslog.conf (less its local-socket and kernel
// inputs, and with its files moved into the temporary directory) with the
// documented snippet dropped into its rsyslog.d, only its port and its
// output file changed.  Records() are then the lines of that output file.
//
// Start(input) runs instead one input of another kind on the port (TCP
// only), each writing to the same records file:
//   kTls        imtcp with the ossl stream driver: our certificate and key,
//               agents checked as `auth` says (anon, or x509/name against
//               `peer`), records as %rawmsg%
//   kRelp       imrelp into a ruleset with a direct queue, so that a record
//               is written before it is acknowledged; %rawmsg%; with `cert`
//               set, over TLS, admitting agents whose certificate names `peer`
//   kRfc5424    imtcp as it comes (octet-counted framing on); each record is
//               what rsyslog parsed: "host|app|procid|msgid|msg"
//   kSyslogNg   not rsyslogd but a stock syslog-ng, unpacked from its Debian
//               package by scripts/deps.sh test (the installed package would
//               conflict with rsyslog's), with its syslog() source on the
//               port; records as for kRfc5424, from what syslog-ng parsed
// Kill() ends rsyslogd with SIGKILL; Restart() starts it again on the same
// port with the same configuration and files.
//
// When rsyslogd is not installed, Start() fails with a message naming the
// Debian package "rsyslog": a test must then fail, never pass silently:
//
//   veldtest::RsyslogCollector collector;
//   std::string err;
//   ASSERT_TRUE(collector.Start(&err)) << err;
//   ... send to 127.0.0.1:collector.port() ...
//   ASSERT_TRUE(collector.WaitForRecords(3, 5000)) << collector.Diagnostics();
//   EXPECT_EQ(collector.Records()[0], "...");
//
// Not thread-safe; use one object from one test thread.
#ifndef VELD_TEST_RSYSLOG_COLLECTOR_H
#define VELD_TEST_RSYSLOG_COLLECTOR_H

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "test_util.h"

namespace veldtest {

struct RsyslogInput {
  enum Kind { kRaw, kTls, kRelp, kRfc5424, kSyslogNg } kind = kRaw;
  std::string cert, key, ca;  // kTls: PEM files
  std::string auth = "anon";  // kTls: StreamDriver.AuthMode
  std::string peer;           // kTls with x509/name: the permitted agent name
  std::string tls_dir;        // documented snippets: stands for /etc/veldagentd/tls
};

class RsyslogCollector {
 public:
  RsyslogCollector() = default;
  ~RsyslogCollector() { Stop(); }
  RsyslogCollector(const RsyslogCollector &) = delete;
  RsyslogCollector &operator=(const RsyslogCollector &) = delete;

  // Starts the collector on a fresh port.  false with *err explaining why
  // (rsyslogd missing, configuration rejected, ports never bound).
  bool Start(std::string *err);
  // Starts the stock configuration with the snippet file at `snippet`;
  // with `input` of kind kSyslogNg, syslog-ng with the snippet as its
  // configuration.  Every port the snippet names becomes the fresh port,
  // its output file the test's, /etc/veldagentd/tls input.tls_dir.
  bool StartDocumented(const std::string &snippet, std::string *err);
  bool StartDocumented(const std::string &snippet, const RsyslogInput &input, std::string *err);
  // Starts one input of another kind (above).
  bool Start(const RsyslogInput &input, std::string *err);
  // SIGKILL, as a crash; Restart() brings the same collector back.
  void Kill();
  bool Restart(std::string *err);
  // The port for both TCP and UDP; 0 before Start().
  int port() const { return port_; }
  // Every message received so far, in the order rsyslog wrote them.
  std::vector<std::string> Records() const;
  // Waits until at least n messages have arrived; false on timeout.
  bool WaitForRecords(size_t n, int timeout_ms) const;
  // Waits until done(Records()) holds; false on timeout.
  bool WaitUntil(const std::function<bool(const std::vector<std::string> &)> &done,
                 int timeout_ms) const;
  // rsyslog's own messages and output, for failure reports.
  std::string Diagnostics() const;
  // SIGTERM to the collector and wait for it (SIGKILL after 5 s).  Records()
  // stays readable afterwards.  Safe to call twice.
  void Stop();

 private:
  bool StartOnce(const std::string &rsyslogd, std::string *err);
  bool Run(const std::string &rsyslogd, std::string *err);  // the configuration as written
  bool StartSyslogNg(std::string *err);
  bool WriteConfig(const std::string &conf, const std::string &port, std::string *err);

  TempDir dir_;
  std::string snippet_;  // the documented snippet's path; empty for our own configuration
  RsyslogInput input_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace veldtest

#endif
