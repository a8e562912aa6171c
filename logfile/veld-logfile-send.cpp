// veld-logfile-send: putting records on the link.  Every producer's records
// leave here, under SocketMutex: the monitor's one at a time through
// SendLog, the tailer's a burst at a time through LinkSendBatch, which makes
// one system call of a burst (a TCP send of the records laid end to end, or
// a sendmmsg of one datagram each); the bytes the collector sees are the
// same as record by record.
//
// A record goes whole or not at all.  Before a TCP burst the link looks once
// whether the collector has hung up, since our kernel would accept records
// into the dead connection and they would be lost.  When a send fails the
// link is closed and opened again under the same lock and the records not
// sent get one more chance on the new connection; what still does not go is
// reported to the caller, which keeps it (the tailer stops and tries again
// at its next pass; the monitor's record is counted as dropped).  After a
// failed connection attempt the link is not tried again for kRetryPause, so
// a collector that is away costs each producer one failed attempt, not one
// per record, and a host that swallows packets cannot hold the lock for a
// connect timeout on every record.

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "veld-config-unix.h"
#include "veld-logfile-internal.h"
#include "veld-logfile.h"
#include "veld-threads.h"

using namespace logfile;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kRetryPause = std::chrono::seconds(2);

constexpr char kMsgSendFailed[] = "Failed to send message to host: %s:%d";
constexpr char kMsgMetricsDropped[] =
    "%lu metric records were dropped while the collector could not be reached";

// Link state besides sockData, under SocketMutex.
struct LinkState {
  bool down = false;            // the last connection attempt failed
  Clock::time_point failed_at;  // when it failed
  unsigned long dropped = 0;    // SendLog records lost during this outage
};
LinkState g_link;
// Each failed attempt of an outage is counted; the first is said at once,
// the count when the link is back or every few minutes while it is not.
LogRepeat g_send_failed;

// Holds SocketMutex for one whole send, through close and reconnection.
class LinkLock {
 public:
  LinkLock() { ThreadMutexLock(SocketMutex, nullptr, 0, nullptr); }
  ~LinkLock() { ThreadMutexUnlock(SocketMutex, nullptr, 0, nullptr); }
  LinkLock(const LinkLock &) = delete;
  LinkLock &operator=(const LinkLock &) = delete;
};

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

// True when the collector has already ended the TCP connection.  The
// collector never writes to us, so a readable socket means its FIN or reset
// has arrived.  One non-blocking peek; a UDP link has nothing to look at.
bool PeerHasClosed(const SOCKET_DATA &d) {
  if (d.proto != kProtoTCP || d.socket < 0) return false;
  char byte;
  ssize_t n;
  do {
    n = recv(d.socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return true;
  return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
}

// Records `v[0..n)` onto the stream, each whole, within the stall limit.
// Nothing is handed over before the socket says it is writable: a record
// that started to go out and then missed the limit would leave its head on
// the collector's stream, glued to whatever comes next.  With the send
// buffer LinkConnect sets, writable means room for far more than a burst,
// so a burst that starts goes whole.  The number of records sent whole.
size_t SendStream(int fd, iovec *v, size_t n) {
  const auto deadline = Clock::now() + std::chrono::seconds(kStallSeconds);
  size_t whole = 0;
  while (whole < n) {
    if (!WaitWritable(fd, deadline)) return whole;
    msghdr m{};
    m.msg_iov = v + whole;
    m.msg_iovlen = std::min<size_t>(n - whole, IOV_MAX);
    ssize_t sent = sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
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

// One datagram per record; the number sent.
size_t SendDatagrams(int fd, iovec *v, size_t n) {
  static mmsghdr msgs[kRecordsPerPause];  // under SocketMutex
  size_t sent = 0;
  while (sent < n) {
    size_t k = std::min<size_t>(n - sent, kRecordsPerPause);
    for (size_t i = 0; i < k; ++i) {
      msgs[i] = mmsghdr{};
      msgs[i].msg_hdr.msg_iov = &v[sent + i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int r = sendmmsg(fd, msgs, static_cast<unsigned>(k), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return sent;
    sent += static_cast<size_t>(r);
  }
  return sent;
}

size_t SendOnce(SOCKET_DATA &d, iovec *v, size_t n) {
  if (d.socket < 0 || PeerHasClosed(d)) return 0;
  return d.proto == kProtoTCP ? SendStream(d.socket, v, n) : SendDatagrams(d.socket, v, n);
}

// Opens the link afresh unless an attempt failed a moment ago.
bool Reconnect(SOCKET_DATA &d) {
  NetClose(&d);
  if (g_link.down && Clock::now() - g_link.failed_at < kRetryPause) return false;
  if (NetConnect(&d) == 0) {
    g_send_failed.Clear();
    if (g_link.down && g_link.dropped > 0) Log(2, kMsgMetricsDropped, g_link.dropped);
    g_link = LinkState{};
    return true;
  }
  g_send_failed.Report(2, kMsgSendFailed, ServerName(d), d.port);
  g_link.down = true;
  g_link.failed_at = Clock::now();
  return false;
}

// Sends `rec[0..n)` in order with one retry on a fresh connection for what
// did not go; the number of records sent.  A record of which a piece went out
// on a connection that then broke goes again whole on the new one.
size_t SendRecords(SOCKET_DATA &d, const iovec *rec, size_t n) {
  static iovec work[kRecordsPerPause];  // under SocketMutex; the send steps through it
  n = std::min<size_t>(n, kRecordsPerPause);
  std::copy(rec, rec + n, work);
  size_t sent = SendOnce(d, work, n);
  if (sent == n || !Reconnect(d)) return sent;
  std::copy(rec + sent, rec + n, work);
  size_t more = SendOnce(d, work, n - sent);
  if (sent + more < n) NetClose(&d);  // broken again at once: the next send reconnects
  return sent + more;
}

}  // namespace

void logfile::LinkStateReset() {
  g_send_failed.Clear();
  g_link = LinkState{};
}

size_t logfile::LinkSendBatch(const Batch &b) {
  if (b.count == 0 || sockData == nullptr || SocketMutex == nullptr) return 0;
  iovec v[kRecordsPerPause];
  for (size_t i = 0; i < b.count; ++i)
    v[i] = iovec{const_cast<char *>(b.bytes) + b.entries[i].start, b.entries[i].len};
  LinkLock lock;
  return SendRecords(*sockData, v, b.count);
}

int NetSend(P_SOCKET_DATA data, const char *payload) {
  if (data == nullptr || payload == nullptr || SocketMutex == nullptr) return 1;
  // The lock covers the close and the reconnection too: no other producer
  // may send on, close or reopen the link while it is being replaced, and
  // the link never has two descriptors at once.
  LinkLock lock;
  iovec v{const_cast<char *>(payload), std::strlen(payload)};
  // An empty record fails for want of bytes; the link is renewed all the same.
  if (v.iov_len == 0) {
    Reconnect(*data);
    return 1;
  }
  if (SendRecords(*data, &v, 1) == 1) return 0;
  ++g_link.dropped;
  return 1;
}

int SendLog(const char *msg) {
  if (msg == nullptr || sockData == nullptr) return 0;
  return NetSend(sockData, msg) == 0 ? 1 : 0;
}
