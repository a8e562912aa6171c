// The real-collector harness: rsyslogd run with a configuration of our own in
// a temporary directory.  The settings below each decide whether the test
// sees the bytes the agent sent: only %rawmsg% keeps a record byte for byte;
// imtcp must not read a leading number as octet-counted framing; control
// characters must not be escaped; long records must not be split; UDP bursts
// need a large receive buffer; rsyslog's own messages must stay out of the
// host's syslog; and the output file must be written at once.
#include "rsyslog_collector.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>

namespace veldtest {

namespace {

constexpr char kPackageHint[] =
    "rsyslogd not found: install the Debian package rsyslog (apt-get install rsyslog, or "
    "scripts/deps.sh)";
constexpr int kStartAttempts = 3;      // fresh ports tried before giving up
constexpr int kBindTimeoutMs = 10000;  // for rsyslogd to own both ports
constexpr int kStopTimeoutMs = 5000;   // after SIGTERM, before SIGKILL
constexpr int kPollMs = 20;

std::string FindRsyslogd() {
  for (const char *p : {"/usr/sbin/rsyslogd", "/sbin/rsyslogd"})
    if (access(p, X_OK) == 0) return p;
  const char *path = getenv("PATH");
  std::string_view rest = path != nullptr ? path : "";
  while (!rest.empty()) {
    size_t colon = rest.find(':');
    std::string cand = std::string(rest.substr(0, colon)) + "/rsyslogd";
    if (access(cand.c_str(), X_OK) == 0) return cand;
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  return "";
}

struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

bool Bind(int fd, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
}

// A port free on 127.0.0.1 for TCP and UDP both at this moment; 0 if none found.
int FreePort() {
  for (int i = 0; i < 50; ++i) {
    Fd tcp(socket(AF_INET, SOCK_STREAM, 0));
    if (tcp.fd < 0 || !Bind(tcp.fd, 0)) continue;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(tcp.fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) continue;
    int port = ntohs(a.sin_port);
    Fd udp(socket(AF_INET, SOCK_DGRAM, 0));
    if (udp.fd >= 0 && Bind(udp.fd, port)) return port;
  }
  return 0;
}

std::string CommandOutput(const char *cmd) {
  std::string out;
  FILE *p = popen(cmd, "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// True when some line of `ss` output has our pid listening on the port.
bool Owns(const std::string &ss_out, int port, pid_t pid) {
  // Our own configuration binds loopback; the documented snippet, like any
  // collector host's, binds every address.
  std::string tail = ":";  // appended: a literal + string trips g++ 12's -Wrestrict at -O3
  tail += std::to_string(port);
  tail += ' ';
  const auto listens = [&](std::string_view line) {
    for (const char *host : {"127.0.0.1", "0.0.0.0", "*"}) {
      std::string at = host;
      at += tail;
      if (line.find(at) != std::string_view::npos) return true;
    }
    return false;
  };
  const std::string who = "pid=" + std::to_string(pid) + ",";
  size_t start = 0;
  while (start < ss_out.size()) {
    size_t end = ss_out.find('\n', start);
    if (end == std::string::npos) end = ss_out.size();
    std::string_view line(ss_out.data() + start, end - start);
    if (listens(line) && line.find(who) != std::string_view::npos) return true;
    start = end + 1;
  }
  return false;
}

void AppendUtf8(std::string *out, unsigned cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one output line {"raw":"..."}; false when it is not complete.
bool DecodeLine(std::string_view line, std::string *out) {
  constexpr std::string_view kHead = "{\"raw\":\"";
  constexpr std::string_view kTail = "\"}";
  if (line.size() < kHead.size() + kTail.size() || line.substr(0, kHead.size()) != kHead ||
      line.substr(line.size() - kTail.size()) != kTail)
    return false;
  std::string_view body = line.substr(kHead.size(), line.size() - kHead.size() - kTail.size());
  out->clear();
  for (size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++i >= body.size()) return false;
    switch (body[i]) {
      case 'n':
        out->push_back('\n');
        break;
      case 't':
        out->push_back('\t');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case 'b':
        out->push_back('\b');
        break;
      case 'f':
        out->push_back('\f');
        break;
      case 'u': {
        if (i + 4 >= body.size()) return false;
        unsigned cp = static_cast<unsigned>(
            std::strtoul(std::string(body.substr(i + 1, 4)).c_str(), nullptr, 16));
        AppendUtf8(out, cp);
        i += 4;
        break;
      }
      default:
        out->push_back(body[i]);
        break;  // \" \\ \/
    }
  }
  return true;
}

// The collector's configuration: every message received on `port` over TCP
// or UDP goes to `records` as raw JSON, rsyslog's own messages to `internal`.
std::string ConfigText(const std::string &work, const std::string &records,
                       const std::string &internal, const std::string &port) {
  return "global(workDirectory=\"" + work +
         "\"\n"
         "       processInternalMessages=\"on\"\n"
         "       parser.escapeControlCharactersOnReceive=\"off\"\n"
         "       maxMessageSize=\"256k\")\n"
         "module(load=\"imtcp\")\n"
         "module(load=\"imudp\")\n"
         "template(name=\"veldRawJson\" type=\"list\") {\n"
         "  constant(value=\"{\\\"raw\\\":\\\"\")\n"
         "  property(name=\"rawmsg\" format=\"json\")\n"
         "  constant(value=\"\\\"}\\n\")\n"
         "}\n"
         "ruleset(name=\"veldCollect\") {\n"
         "  action(type=\"omfile\" file=\"" +
         records +
         "\" template=\"veldRawJson\"\n"
         "         flushOnTXEnd=\"on\" asyncWriting=\"off\")\n"
         "}\n"
         "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" +
         port +
         "\"\n"
         "      supportOctetCountedFraming=\"off\" ruleset=\"veldCollect\")\n"
         "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" +
         port +
         "\"\n"
         "      rcvBufSize=\"4m\" ruleset=\"veldCollect\")\n"
         "# Only rsyslog's own messages reach the default ruleset.\n"
         "action(type=\"omfile\" file=\"" +
         internal + "\" flushOnTXEnd=\"on\" asyncWriting=\"off\")\n";
}

// The configuration of one input of another kind (RsyslogInput): the same
// globals, output files and internal messages as ConfigText.
std::string InputText(const RsyslogInput &in, const std::string &work, const std::string &records,
                      const std::string &internal, const std::string &port) {
  const bool tls = in.kind == RsyslogInput::kTls;
  std::string t = "global(workDirectory=\"" + work +
                  "\" processInternalMessages=\"on\"\n"
                  "       parser.escapeControlCharactersOnReceive=\"off\" maxMessageSize=\"256k\"";
  if (tls)
    t += "\n       DefaultNetstreamDriver=\"ossl\" DefaultNetstreamDriverCAFile=\"" + in.ca +
         "\"\n       DefaultNetstreamDriverCertFile=\"" + in.cert +
         "\" DefaultNetstreamDriverKeyFile=\"" + in.key + "\"";
  t += ")\n";
  if (in.kind == RsyslogInput::kRelp) {
    t += "module(load=\"imrelp\")\n";
  } else if (tls) {
    t += "module(load=\"imtcp\" StreamDriver.Name=\"ossl\" StreamDriver.Mode=\"1\"\n"
         "       StreamDriver.AuthMode=\"" +
         in.auth + "\"" + (in.peer.empty() ? "" : " PermittedPeer=[\"" + in.peer + "\"]") + ")\n";
  } else {
    t += "module(load=\"imtcp\")\n";
  }
  // What rsyslog parsed out of an RFC 5424 message, or the message as sent.
  if (in.kind == RsyslogInput::kRfc5424) {
    t += "template(name=\"veldOut\" type=\"list\") {\n"
         "  constant(value=\"{\\\"raw\\\":\\\"\")\n";
    const char *fields[] = {"hostname", "app-name", "procid", "msgid", "msg"};
    for (const char *f : fields) {
      if (f != fields[0]) t += "  constant(value=\"|\")\n";
      t += std::string("  property(name=\"") + f + "\" format=\"json\")\n";
    }
    t += "  constant(value=\"\\\"}\\n\")\n}\n";
  } else {
    t += "template(name=\"veldOut\" type=\"list\") {\n"
         "  constant(value=\"{\\\"raw\\\":\\\"\")\n"
         "  property(name=\"rawmsg\" format=\"json\")\n"
         "  constant(value=\"\\\"}\\n\")\n}\n";
  }
  // A direct queue: the record is in the file before imrelp acknowledges it.
  t += std::string("ruleset(name=\"veldCollect\"") +
       (in.kind == RsyslogInput::kRelp ? " queue.type=\"Direct\"" : "") +
       ") {\n  action(type=\"omfile\" file=\"" + records +
       "\" template=\"veldOut\"\n         flushOnTXEnd=\"on\" asyncWriting=\"off\")\n}\n";
  // imrelp speaks TLS with its own settings: our certificate, agents named
  // `peer` (a certificate is then required of them).
  const std::string relp_tls = in.kind == RsyslogInput::kRelp && !in.cert.empty()
                                   ? " tls=\"on\" tls.cacert=\"" + in.ca + "\" tls.mycert=\"" +
                                         in.cert + "\" tls.myprivkey=\"" + in.key +
                                         "\" tls.authmode=\"name\" tls.permittedpeer=[\"" +
                                         in.peer + "\"]"
                                   : "";
  t += std::string("input(type=\"") + (in.kind == RsyslogInput::kRelp ? "imrelp" : "imtcp") +
       "\" address=\"127.0.0.1\" port=\"" + port + "\"" +
       (tls ? " supportOctetCountedFraming=\"off\"" : "") + relp_tls +
       " ruleset=\"veldCollect\")\n";
  t += "action(type=\"omfile\" file=\"" + internal +
       "\" flushOnTXEnd=\"on\" asyncWriting=\"off\")\n";
  return t;
}

// Where scripts/deps.sh test unpacks syslog-ng's package.
constexpr char kSyslogNgRoot[] = "/var/cache/veldagentd-tests/syslog-ng";
constexpr char kSyslogNgHint[] =
    "syslog-ng not unpacked under /var/cache/veldagentd-tests/syslog-ng: run sh scripts/deps.sh "
    "test";

// syslog-ng's configuration: its syslog() source (RFC 5424, octet counting
// over TCP) on the port, the parsed fields as JSON like InputText's.
std::string SyslogNgText(const std::string &records, const std::string &port) {
  return "@version: 3.38\n"
         "options { keep-hostname(yes); stats-freq(0); };\n"
         "source s { syslog(ip(\"127.0.0.1\") port(" +
         port +
         ") transport(\"tcp\")); };\n"
         "destination d { file(\"" +
         records +
         "\" template(\"$(format-json --scope none "
         "raw=\\\"${HOST}|${PROGRAM}|${PID}|${MSGID}|${MSG}\\\")\\n\")); };\n"
         "log { source(s); destination(d); };\n";
}

// Replaces every `from` in *s with `to`; the number replaced.
int ReplaceAll(std::string *s, const std::string &from, const std::string &to) {
  int n = 0;
  for (size_t at = s->find(from); at != std::string::npos; at = s->find(from, at + to.size())) {
    s->replace(at, from.size(), to);
    ++n;
  }
  return n;
}

// The host's stock main configuration, made to run beside any rsyslog the
// host runs: without the local-socket and kernel inputs (those belong to the
// host's own), and with its work directory, its rsyslog.d and its log files
// in `dir`.
bool StockConfigText(const std::string &dir, std::string *out, std::string *err) {
  const std::string stock = ReadFile("/etc/rsyslog.conf");
  if (stock.empty()) {
    *err = "cannot read /etc/rsyslog.conf (from the Debian package rsyslog)";
    return false;
  }
  out->clear();
  size_t start = 0;
  while (start < stock.size()) {
    size_t end = stock.find('\n', start);
    if (end == std::string::npos) end = stock.size();
    std::string line = stock.substr(start, end - start);
    start = end + 1;
    if (line.find("module(load=\"imuxsock\")") == 0 || line.find("module(load=\"imklog\")") == 0)
      continue;
    ReplaceAll(&line, "/var/spool/rsyslog", dir + "/work");
    ReplaceAll(&line, "/etc/rsyslog.d/", dir + "/rsyslog.d/");
    ReplaceAll(&line, "/var/log/", dir + "/");
    *out += line + "\n";
  }
  return true;
}

// Replaces every `head`<digits>`tail` in *s with `head``to``tail`.
int ReplaceNumbers(std::string *s, const std::string &head, const std::string &tail,
                   const std::string &to) {
  int n = 0;
  for (size_t at = s->find(head); at != std::string::npos; at = s->find(head, at + 1)) {
    size_t end = at + head.size();
    while (end < s->size() && (*s)[end] >= '0' && (*s)[end] <= '9') ++end;
    if (end == at + head.size() || s->compare(end, tail.size(), tail) != 0) continue;
    s->replace(at + head.size(), end - at - head.size(), to);
    ++n;
  }
  return n;
}

// The documented snippet with only its ports, its output file and its
// certificates' directory changed.
bool SnippetText(const std::string &snippet, const std::string &port, const std::string &records,
                 const std::string &tls_dir, std::string *out, std::string *err) {
  *out = ReadFile(snippet);
  const bool ng = out->find("source s_veldagentd") != std::string::npos;
  const int ports =
      ng ? ReplaceNumbers(out, "port(", ")", port) : ReplaceNumbers(out, "port=\"", "\"", port);
  const int files = ReplaceAll(out, "\"/var/log/veldagentd-records.log\"", "\"" + records + "\"");
  if (!tls_dir.empty()) ReplaceAll(out, "/etc/veldagentd/tls/", tls_dir + "/");
  if (ports < 1 || files != 1) {
    *err = snippet + " no longer names a port and its output file once";
    return false;
  }
  return true;
}

// A misspelt option does not stop rsyslogd, so a check run decides; false
// with *err holding what it said.
bool ConfigAccepted(const std::string &rsyslogd, const std::string &conf,
                    const std::string &check_out, std::string *err) {
  pid_t check = veldtest::Spawn({rsyslogd, "-N1", "-f", conf}, check_out);
  int status = 0;
  if (check < 0 || waitpid(check, &status, 0) != check || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    *err = "rsyslogd -N1 rejected the configuration:\n" + ReadFile(check_out);
    return false;
  }
  return true;
}

}  // namespace

bool RsyslogCollector::Start(std::string *err) {
  std::string scratch;
  if (err == nullptr) err = &scratch;
  if (pid_ > 0) return true;
  const std::string rsyslogd = FindRsyslogd();
  if (rsyslogd.empty()) {
    *err = kPackageHint;
    return false;
  }
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    if (StartOnce(rsyslogd, err)) return true;
  }
  return false;
}

bool RsyslogCollector::StartDocumented(const std::string &snippet, std::string *err) {
  snippet_ = snippet;
  return Start(err);
}

bool RsyslogCollector::StartDocumented(const std::string &snippet, const RsyslogInput &input,
                                       std::string *err) {
  snippet_ = snippet;
  return Start(input, err);
}

bool RsyslogCollector::Start(const RsyslogInput &input, std::string *err) {
  input_ = input;
  if (input.kind == RsyslogInput::kSyslogNg) return StartSyslogNg(err);
  return Start(err);
}

bool RsyslogCollector::StartSyslogNg(std::string *err) {
  const std::string root = kSyslogNgRoot;
  const std::string program = root + "/usr/sbin/syslog-ng";
  if (access(program.c_str(), X_OK) != 0) {
    *err = kSyslogNgHint;
    return false;
  }
  port_ = FreePort();
  const std::string conf = dir_ / "syslog-ng.conf";
  std::string text;
  if (snippet_.empty()) {
    text = SyslogNgText(dir_ / "records.json", std::to_string(port_));
  } else if (SnippetText(snippet_, std::to_string(port_), dir_ / "records.log", input_.tls_dir,
                         &text, err)) {
    text = "@version: 3.38\n" + text;
  } else {
    return false;
  }
  WriteFile(conf, text);
  pid_ = veldtest::Spawn({"env", "LD_LIBRARY_PATH=" + root + "/usr/lib/syslog-ng", program, "-F",
                          "--no-caps", "--module-path=" + root + "/usr/lib/syslog-ng/3.38", "-f",
                          conf, "-p", dir_ / "pid", "-c", dir_ / "ctl", "-R", dir_ / "persist"},
                         dir_ / "rsyslogd.out");
  for (int waited = 0; pid_ > 0 && waited < kBindTimeoutMs; waited += kPollMs) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) break;
    if (Owns(CommandOutput("ss -ltnp 2>&1"), port_, pid_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  *err = "syslog-ng did not start on 127.0.0.1:" + std::to_string(port_) + ":\n" + Diagnostics();
  Stop();
  return false;
}

void RsyslogCollector::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

bool RsyslogCollector::Restart(std::string *err) {
  if (pid_ > 0) return true;
  if (input_.kind == RsyslogInput::kSyslogNg) return StartSyslogNg(err);
  const std::string rsyslogd = FindRsyslogd();
  return !rsyslogd.empty() && Run(rsyslogd, err);
}

// Our own configuration, or the stock one with the documented snippet.
bool RsyslogCollector::WriteConfig(const std::string &conf, const std::string &port,
                                   std::string *err) {
  const std::string work = dir_ / "work";
  mkdir(work.c_str(), 0700);
  if (snippet_.empty()) {
    WriteFile(conf,
              input_.kind == RsyslogInput::kRaw
                  ? ConfigText(work, dir_ / "records.json", dir_ / "internal.log", port)
                  : InputText(input_, work, dir_ / "records.json", dir_ / "internal.log", port));
    return true;
  }
  std::string main, drop_in;
  mkdir((dir_ / "rsyslog.d").c_str(), 0755);
  if (!StockConfigText(dir_.path(), &main, err) ||
      !SnippetText(snippet_, port, dir_ / "records.log", input_.tls_dir, &drop_in, err))
    return false;
  WriteFile(conf, main);
  WriteFile(dir_ / "rsyslog.d/veldagentd.conf", drop_in);
  return true;
}

bool RsyslogCollector::StartOnce(const std::string &rsyslogd, std::string *err) {
  port_ = FreePort();
  if (port_ == 0) {
    *err = "no free port on 127.0.0.1";
    return false;
  }
  const std::string conf = dir_ / "rsyslog.conf";
  for (const char *f : {"rsyslogd.out", "records.json", "records.log", "internal.log", "syslog"})
    std::remove((dir_ / f).c_str());
  const std::string port = std::to_string(port_);
  if (!WriteConfig(conf, port, err) || !ConfigAccepted(rsyslogd, conf, dir_ / "check.out", err)) {
    port_ = 0;
    return false;
  }
  if (Run(rsyslogd, err)) return true;
  port_ = 0;
  return false;
}

bool RsyslogCollector::Run(const std::string &rsyslogd, std::string *err) {
  const std::string conf = dir_ / "rsyslog.conf";
  const std::string out = dir_ / "rsyslogd.out";
  const std::string port = std::to_string(port_);
  pid_ = veldtest::Spawn({rsyslogd, "-n", "-f", conf, "-i", dir_ / "rsyslogd.pid"}, out);
  if (pid_ < 0) {
    *err = "cannot start " + rsyslogd;
    return false;
  }
  const bool udp_too = input_.kind == RsyslogInput::kRaw &&
                       (snippet_.empty() || ReadFile(snippet_).find("imudp") != std::string::npos);
  const std::string tcp_cmd = "ss -ltnp 2>&1";
  const std::string udp_cmd = "ss -lunp 2>&1";
  for (int waited = 0; waited < kBindTimeoutMs; waited += kPollMs) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *err = "rsyslogd exited during start-up:\n" + Diagnostics();
      return false;
    }
    if (Owns(CommandOutput(tcp_cmd.c_str()), port_, pid_) &&
        (!udp_too || Owns(CommandOutput(udp_cmd.c_str()), port_, pid_)))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  *err = "rsyslogd did not bind 127.0.0.1:" + port + ":\n" + Diagnostics();
  Stop();
  return false;
}

std::vector<std::string> RsyslogCollector::Records() const {
  std::vector<std::string> records;
  const bool raw = !snippet_.empty();
  const std::string text = ReadFile(dir_ / (raw ? "records.log" : "records.json"));
  size_t start = 0;
  std::string rec;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // a line still being written
    std::string_view line = std::string_view(text).substr(start, end - start);
    if (raw) {
      records.emplace_back(line);
    } else if (DecodeLine(line, &rec)) {
      records.push_back(rec);
    }
    start = end + 1;
  }
  return records;
}

bool RsyslogCollector::WaitUntil(const std::function<bool(const std::vector<std::string> &)> &done,
                                 int timeout_ms) const {
  for (int waited = 0;; waited += kPollMs) {
    if (done(Records())) return true;
    if (waited >= timeout_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

bool RsyslogCollector::WaitForRecords(size_t n, int timeout_ms) const {
  return WaitUntil([n](const std::vector<std::string> &r) { return r.size() >= n; }, timeout_ms);
}

std::string RsyslogCollector::Diagnostics() const {
  return "rsyslogd output:\n" + ReadFile(dir_ / "rsyslogd.out") + "rsyslog messages:\n" +
         ReadFile(dir_ / (snippet_.empty() ? "internal.log" : "syslog"));
}

void RsyslogCollector::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int waited = 0; waited < kStopTimeoutMs; waited += kPollMs) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace veldtest
