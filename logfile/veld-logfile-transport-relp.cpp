// veld-logfile-transport-relp: records over RELP, on TCP or on TLS.  Each
// record is one syslog frame (without its line end); a burst goes out in one
// write and then every frame's response is awaited.  A record counts as
// sent only once the collector has answered it with 200, and only behind
// records that were answered so too: Send returns that many, and the file
// keeps the rest.  A session that breaks meanwhile leaves its unanswered
// records to be sent again on the next one, so the collector may see a
// record twice (it took it, and its answer was lost) but never misses one.
//
// The session opens with "open" offering syslog and closes with "close",
// not waiting for the answer.  Transaction numbers start at 1 in every
// session.  Everything waits at most the stall limit.

#include <fcntl.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <string>

#include "veld-config-unix.h"
#include "veld-logfile-format.h"
#include "veld-logfile-link.h"
#include "veld-logfile-record.h"
#include "veld-logfile-relp.h"
#include "veld-logfile-tls.h"
#include "veld-logfile-transport.h"

namespace logfile {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kOffer[] = "relp_version=0\nrelp_software=veldagentd\ncommands=syslog";
constexpr char kMsgOpenFailed[] = "RELP session with %s:%d could not be opened: %s";
constexpr char kMsgRefused[] = "RELP collector %s:%d did not take a record: %d %s";
constexpr int kCodeOk = 200;  // the answer to a command that succeeded

LogRepeat g_relp_failed;  // sessions that do not open, records refused

Deadline StallDeadline() { return Clock::now() + std::chrono::seconds(kStallSeconds); }

class RelpStreamTransport final : public Transport {
 public:
  explicit RelpStreamTransport(bool tls) : tls_(tls) {}
  int SocketType() const override { return SOCK_STREAM; }
  bool Open(SOCKET_DATA &d) override;
  void Close(SOCKET_DATA &d) override;
  bool HungUp(const SOCKET_DATA &d) override { return PipeOf(d).HungUp(); }
  size_t Send(SOCKET_DATA &d, iovec *v, size_t n) override;

 private:
  Pipe PipeOf(const SOCKET_DATA &d) { return Pipe{d.socket, tls_ ? &session_ : nullptr}; }
  // Lays one frame behind those in buf_.
  void Frame(uint32_t txnr, const char *command, const char *data, size_t len);
  // The next frame from the server; false when none came whole in time.
  bool Await(Pipe &p, Deadline deadline, RelpFrame *f);

  const bool tls_;
  TlsSession session_;
  RelpReader reader_;
  uint32_t txnr_ = 1;  // the next transaction number
  std::string buf_;    // the frames of a burst; keeps its room
  uint32_t txnrs_[kBurstRecords];
  bool answered_[kBurstRecords];
  bool taken_[kBurstRecords];
  char in_[4096];  // what the server sent, not yet read as frames
  size_t in_len_ = 0, in_at_ = 0;
};

void RelpStreamTransport::Frame(uint32_t txnr, const char *command, const char *data, size_t len) {
  char head[kRelpHeaderMax];
  buf_.append(head, RelpFrameHeader(head, txnr, command, len));
  buf_.append(data, len);
  buf_.push_back('\n');
}

bool RelpStreamTransport::Await(Pipe &p, Deadline deadline, RelpFrame *f) {
  for (;;) {
    if (in_at_ < in_len_) {
      const char *q = in_ + in_at_;
      RelpReader::Result r = reader_.Take(&q, in_ + in_len_, f);
      in_at_ = static_cast<size_t>(q - in_);
      if (r == RelpReader::Result::kFrame) return true;
      if (r == RelpReader::Result::kError) return false;
      continue;
    }
    ssize_t k = p.Read(in_, sizeof in_, deadline);
    if (k <= 0) return false;
    in_len_ = static_cast<size_t>(k);
    in_at_ = 0;
  }
}

bool RelpStreamTransport::Open(SOCKET_DATA &d) {
  reader_.Reset();
  in_len_ = in_at_ = 0;
  txnr_ = 1;
  if (tls_) {
    if (!session_.Open(d)) return false;
  } else {
    const int flags = fcntl(d.socket, F_GETFL);
    if (flags < 0 || fcntl(d.socket, F_SETFL, flags | O_NONBLOCK) != 0) {
      LogErrno(2, "fcntl", "RELP session with %s:%d", ServerName(d), d.port);
      return false;
    }
  }
  buf_.clear();
  Frame(txnr_, "open", kOffer, sizeof kOffer - 1);
  const Deadline deadline = StallDeadline();
  Pipe p = PipeOf(d);
  RelpFrame f;
  const char *why = nullptr;
  if (p.Write(buf_.data(), buf_.size(), deadline) != buf_.size()) {
    why = "the offer could not be sent";
  } else if (!Await(p, deadline, &f)) {
    why = "no answer came";
  } else if (std::strcmp(f.command, "rsp") != 0 || f.txnr != txnr_ || f.code != kCodeOk) {
    why = f.text[0] != '\0' ? f.text : "the answer was no success";
  }
  if (why != nullptr) {
    g_relp_failed.Report(2, kMsgOpenFailed, ServerName(d), d.port, why);
    session_.Close();
    return false;
  }
  g_relp_failed.Clear();
  txnr_ = RelpNextTxnr(txnr_);
  return true;
}

void RelpStreamTransport::Close(SOCKET_DATA &d) {
  buf_.clear();
  Frame(txnr_, "close", "", 0);
  // One try, no wait: the session ends whatever the server says.
  (void)PipeOf(d).Write(buf_.data(), buf_.size(), Clock::now());
  session_.Close();
}

size_t RelpStreamTransport::Send(SOCKET_DATA &d, iovec *v, size_t n) {
  n = std::min<size_t>(n, kBurstRecords);
  const bool strip = CurrentFormat() == RecordFormat::kPlain;
  const uint32_t first = txnr_;
  buf_.clear();
  for (size_t i = 0; i < n; ++i) {
    const char *data = static_cast<const char *>(v[i].iov_base);
    size_t len = v[i].iov_len;
    if (strip && len > 0 && data[len - 1] == '\n') --len;  // a frame, not a line
    txnrs_[i] = txnr_;
    answered_[i] = taken_[i] = false;
    Frame(txnr_, "syslog", data, len);
    txnr_ = RelpNextTxnr(txnr_);
  }
  const Deadline deadline = StallDeadline();
  Pipe p = PipeOf(d);
  // What went whole is answered even when the rest did not go.
  (void)p.Write(buf_.data(), buf_.size(), deadline);
  size_t answers = 0;
  RelpFrame f;
  while (answers < n && Await(p, deadline, &f)) {
    if (std::strcmp(f.command, "rsp") != 0) break;  // serverclose, or no RELP of ours
    const uint32_t i = f.txnr >= first ? f.txnr - first : f.txnr + kRelpTxnrMax - first;
    if (i >= n || txnrs_[i] != f.txnr || answered_[i]) break;
    answered_[i] = true;
    taken_[i] = f.code == kCodeOk;
    if (!taken_[i]) g_relp_failed.Report(2, kMsgRefused, ServerName(d), d.port, f.code, f.text);
    ++answers;
  }
  size_t sent = 0;
  while (sent < n && taken_[sent]) ++sent;
  return sent;
}

}  // namespace

Transport *RelpTransport(bool tls) {
  static RelpStreamTransport relp(false);     // under SocketMutex
  static RelpStreamTransport relp_tls(true);  // under SocketMutex
  return tls ? &relp_tls : &relp;
}

}  // namespace logfile
