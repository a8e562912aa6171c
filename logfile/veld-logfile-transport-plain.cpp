// veld-logfile-transport-plain: records as they are, on a TCP stream or one
// UDP datagram each.  Nothing is read from the collector, and the bytes it
// sees are the records laid end to end.

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

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
  size_t Send(SOCKET_DATA &d, iovec *v, size_t n) override {
    const auto deadline = Clock::now() + std::chrono::seconds(kStallSeconds);
    size_t whole = 0;
    while (whole < n) {
      if (!WaitWritable(d.socket, deadline)) return whole;
      msghdr m{};
      m.msg_iov = v + whole;
      m.msg_iovlen = std::min<size_t>(n - whole, IOV_MAX);
      ssize_t sent = sendmsg(d.socket, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (sent <= 0) return whole;
      // Step over the records that went; a piece of one stays in its iovec.
      for (size_t left = static_cast<size_t>(sent); left > 0;) {
        size_t take = std::min(left, v[whole].iov_len);
        v[whole].iov_base = static_cast<char *>(v[whole].iov_base) + take;
        v[whole].iov_len -= take;
        left -= take;
        if (v[whole].iov_len == 0) ++whole;
      }
    }
    return whole;
  }
};

class DatagramTransport final : public Transport {
 public:
  int SocketType() const override { return SOCK_DGRAM; }
  bool Open(SOCKET_DATA &) override { return true; }
  void Close(SOCKET_DATA &) override {}
  bool HungUp(const SOCKET_DATA &) override { return false; }

  // One datagram per record, one sendmmsg per burst.
  size_t Send(SOCKET_DATA &d, iovec *v, size_t n) override {
    size_t sent = 0;
    while (sent < n) {
      size_t k = std::min<size_t>(n - sent, kBurstRecords);
      for (size_t i = 0; i < k; ++i) {
        msgs_[i] = mmsghdr{};
        msgs_[i].msg_hdr.msg_iov = &v[sent + i];
        msgs_[i].msg_hdr.msg_iovlen = 1;
      }
      int r = sendmmsg(d.socket, msgs_, static_cast<unsigned>(k), 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return sent;
      sent += static_cast<size_t>(r);
    }
    return sent;
  }

 private:
  mmsghdr msgs_[kBurstRecords];
};

}  // namespace

Transport *TransportFor(int proto) {
  static StreamTransport stream;      // under SocketMutex
  static DatagramTransport datagram;  // under SocketMutex
  if (proto == kProtoTCP) return &stream;
  if (proto == kProtoUDP) return &datagram;
  return nullptr;
}

}  // namespace logfile
