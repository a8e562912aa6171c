// veld-logfile-transport-plain: records as they are, on a TCP stream or one
// UDP datagram each.  Nothing is read from the collector, and the bytes it
// sees are the records laid end to end (rfc5424 messages each behind its
// octet count).  A UDP collector that is not there is heard of only through
// the refusals its host sends back, read from the socket's error queue.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>

#include "veld-logfile-format.h"
#include "veld-logfile-link.h"
#include "veld-logfile-record.h"
#include "veld-logfile-transport.h"

namespace logfile {

namespace {

using Clock = std::chrono::steady_clock;

// Waits until `fd` is writable, at most until `deadline`.
bool WaitWritable(int fd, Clock::time_point deadline) {
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLOUT, 0};
    int n = poll(&p, 1, static_cast<int>(std::max<decltype(left)>(left, 0)));
    if (n > 0) return (p.revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
    if (n == 0 || errno != EINTR) return false;
  }
}

class StreamTransport final : public Transport {
 public:
  int SocketType() const override { return SOCK_STREAM; }
  bool Open(SOCKET_DATA &) override { return true; }
  void Close(SOCKET_DATA &) override {}

  // The collector never writes to us, so a readable socket means its FIN or
  // reset has arrived.  One non-blocking peek.
  bool HungUp(const SOCKET_DATA &d) override {
    char byte;
    ssize_t n;
    do {
      n = recv(d.socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return true;
    return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
  }

  // Nothing is handed over before the socket says it is writable: a record
  // that started to go out and then missed the stall limit would leave its
  // head on the collector's stream, glued to whatever comes next.  With the
  // send buffer the link sets, writable means room for far more than a
  // burst, so a burst that starts goes whole.
  // An octet-counted record is two iovecs, its header and itself.
  size_t Send(SOCKET_DATA &d, iovec *v, size_t n) override {
    n = std::min<size_t>(n, kBurstRecords);
    iovec *w = v;
    size_t parts = n;
    if (FrameHeader(heads_[0], 0) > 0) {
      for (size_t i = 0; i < n; ++i) {
        work_[2 * i] = iovec{heads_[i], FrameHeader(heads_[i], v[i].iov_len)};
        work_[2 * i + 1] = v[i];
      }
      w = work_;
      parts = 2 * n;
    }
    const size_t per = parts / (n == 0 ? 1 : n);
    const auto deadline = Clock::now() + std::chrono::seconds(kStallSeconds);
    size_t whole = 0;  // iovecs gone whole
    while (whole < parts) {
      if (!WaitWritable(d.socket, deadline)) break;
      msghdr m{};
      m.msg_iov = w + whole;
      m.msg_iovlen = std::min<size_t>(parts - whole, IOV_MAX);
      ssize_t sent = sendmsg(d.socket, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (sent <= 0) break;
      // Step over the iovecs that went; a piece of one stays in its iovec.
      for (size_t left = static_cast<size_t>(sent); left > 0;) {
        size_t take = std::min(left, w[whole].iov_len);
        w[whole].iov_base = static_cast<char *>(w[whole].iov_base) + take;
        w[whole].iov_len -= take;
        left -= take;
        if (w[whole].iov_len == 0) ++whole;
      }
      while (whole < parts && w[whole].iov_len == 0) ++whole;  // empty records
    }
    return whole / per;
  }

 private:
  char heads_[kBurstRecords][kFrameHeaderMax];
  iovec work_[2 * kBurstRecords];
};

// Whether a refusal (ICMP port or host unreachable) waits on the socket:
// its pending error, or an entry in its error queue, where IP_RECVERR keeps
// each refusal even after a send has taken the pending error.  Reads them
// all, so one refusal is acted on once.
bool TakeRefusal(int fd) {
  bool refused = false;
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) refused = true;
  for (int i = 0; i < 64; ++i) {  // bounded: a flood of errors must not hold the lock
    char data[64];
    char control[256];
    iovec io{data, sizeof data};
    msghdr m{};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    if (recvmsg(fd, &m, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break;
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) refused = true;
    }
  }
  return refused;
}

class DatagramTransport final : public Transport {
 public:
  int SocketType() const override { return SOCK_DGRAM; }
  // Refusals are queued for us to read, so none is lost to a send that
  // consumed the pending error without saying so (sendmmsg does that).
  bool Open(SOCKET_DATA &d) override {
    int one = 1;
    (void)setsockopt(d.socket, IPPROTO_IP, IP_RECVERR, &one, sizeof one);
    refused_ = false;
    return true;
  }
  void Close(SOCKET_DATA &) override {}
  bool HungUp(const SOCKET_DATA &) override { return false; }
  bool Refused() const override { return refused_; }

  // One datagram per record, one sendmmsg per burst.  A refusal seen before,
  // during or right after the burst fails all of it: the datagrams that went
  // since the collector's port closed were lost, and the file must keep them.
  // (On loopback the refusal comes back inside the send; from afar it comes
  // a round trip later, and the burst it finds pays.)
  size_t Send(SOCKET_DATA &d, iovec *v, size_t n) override {
    refused_ = TakeRefusal(d.socket);
    size_t sent = 0;
    while (sent < n && !refused_) {
      size_t k = std::min<size_t>(n - sent, kBurstRecords);
      for (size_t i = 0; i < k; ++i) {
        msgs_[i] = mmsghdr{};
        msgs_[i].msg_hdr.msg_iov = &v[sent + i];
        msgs_[i].msg_hdr.msg_iovlen = 1;
      }
      int r = sendmmsg(d.socket, msgs_, static_cast<unsigned>(k), 0);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno == ECONNREFUSED) refused_ = true;
      if (r <= 0) break;
      sent += static_cast<size_t>(r);
      if (static_cast<size_t>(r) < k) refused_ = true;  // an error cut the burst short
    }
    if (!refused_) refused_ = TakeRefusal(d.socket);
    return refused_ ? 0 : sent;
  }

 private:
  mmsghdr msgs_[kBurstRecords];
  bool refused_ = false;
};

}  // namespace

size_t FrameHeader(char *out, size_t len) {
  if (CurrentFormat() != RecordFormat::kRfc5424) return 0;
  int n = std::snprintf(out, kFrameHeaderMax, "%zu ", len);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

Transport *TransportFor(int proto) {
  static StreamTransport stream;      // under SocketMutex
  static DatagramTransport datagram;  // under SocketMutex
  switch (proto) {
    case kProtoTCP:
      return &stream;
    case kProtoUDP:
      return &datagram;
    case kProtoTLS:
      return TlsTransport();
    case kProtoRELP:
      return RelpTransport(false);
    case kProtoRELPTLS:
      return RelpTransport(true);
    default:
      return nullptr;
  }
}

}  // namespace logfile
