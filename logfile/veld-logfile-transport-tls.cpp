// veld-logfile-transport-tls: records over a TLS session on TCP, the bytes
// the collector decrypts being exactly those a plain stream would carry
// (rfc5424 messages each behind its octet count).  A burst is laid out once
// in one buffer and written through the session, which cuts it into TLS
// records; each record counts as sent once all of its bytes went.  As on a
// plain stream, a burst is written only into a socket that has room for far
// more (the link's send buffer), so one that starts goes whole.

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "veld-logfile-link.h"
#include "veld-logfile-record.h"
#include "veld-logfile-tls.h"
#include "veld-logfile-transport.h"

namespace logfile {

namespace {

class TlsStreamTransport final : public Transport {
 public:
  int SocketType() const override { return SOCK_STREAM; }
  bool Open(SOCKET_DATA &d) override { return session_.Open(d); }
  void Close(SOCKET_DATA &) override { session_.Close(); }
  bool HungUp(const SOCKET_DATA &d) override { return Pipe{d.socket, &session_}.HungUp(); }

  size_t Send(SOCKET_DATA &d, iovec *v, size_t n) override {
    n = std::min<size_t>(n, kBurstRecords);
    buf_.clear();  // keeps its room: no allocation once it has held a burst
    char head[kFrameHeaderMax];
    for (size_t i = 0; i < n; ++i) {
      buf_.append(head, FrameHeader(head, v[i].iov_len));
      buf_.append(static_cast<const char *>(v[i].iov_base), v[i].iov_len);
      ends_[i] = buf_.size();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStallSeconds);
    const size_t went = Pipe{d.socket, &session_}.Write(buf_.data(), buf_.size(), deadline);
    return static_cast<size_t>(std::upper_bound(ends_, ends_ + n, went) - ends_);
  }

 private:
  TlsSession session_;
  std::string buf_;
  size_t ends_[kBurstRecords];  // where each record's bytes end in buf_
};

}  // namespace

Transport *TlsTransport() {
  static TlsStreamTransport tls;  // under SocketMutex
  return &tls;
}

}  // namespace logfile
