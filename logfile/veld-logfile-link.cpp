// veld-logfile-link: the agent's one outbound link to the collector.
//
// LogInit opens it once at start-up from RemoteHost, RemotePort and
// RemoteService; afterwards the tailer and the performance monitor hand every
// record to SendLog, which writes it whole onto the link, one datagram per
// record over UDP or onto the byte stream over TCP.  The link only sends: it
// reads nothing back (it only looks, before each TCP send, whether the
// collector has hung up), keeps no queue and adds no framing, so the line end a
// record carries is the producer's.  When a send fails the link is closed and
// opened again under the same lock, and the record gets one more chance on
// the new connection; if that does not work either it is dropped.  Nothing
// here ever retries on a timer: while the collector is away, each record
// costs exactly one connection attempt.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "veld-config-unix.h"
#include "veld-logfile.h"
#include "veld-threads.h"

P_SOCKET_DATA sockData = nullptr;  // the link record; set by LogInit, used under SocketMutex
P_MUTEX SocketMutex = nullptr;     // set by LogInit; held for every whole send

namespace {

constexpr int kProtoUDP = 0;
constexpr int kProtoTCP = 1;
constexpr char kDefaultServer[] = "127.0.0.1";  // when no host was ever set
// A TCP connect, or a record's send, that cannot finish within this long
// fails like any other: a collector that accepts but never reads, or a host
// that swallows packets, must not hold the tailer and the monitor (who wait
// on the lock) for ever.
constexpr time_t kStallSeconds = 15;
// Send buffer of a TCP link (the kernel doubles it; without the privilege to
// force it, the system's maximum applies, which is still ample).
constexpr int kSendBuffer = 1 << 20;

// Storage behind the two globals.  Static, so start-up cannot fail for want
// of memory; the initializer gives a mutex with default attributes (not
// recursive), the same as creating one with no attribute object.
pthread_mutex_t socket_mutex_store = PTHREAD_MUTEX_INITIALIZER;
SOCKET_DATA link_store;

// Holds SocketMutex for one whole send, through close and reconnection.
class LinkLock {
 public:
  LinkLock() { ThreadMutexLock(SocketMutex, nullptr, 0, nullptr); }
  ~LinkLock() { ThreadMutexUnlock(SocketMutex, nullptr, 0, nullptr); }
  LinkLock(const LinkLock &) = delete;
  LinkLock &operator=(const LinkLock &) = delete;
};

struct AddrInfoFree {
  void operator()(addrinfo *ai) const { freeaddrinfo(ai); }
};

const char *ServerName(const SOCKET_DATA &d) {
  return d.server != nullptr ? d.server : kDefaultServer;
}

// Creates the link's socket.  After daemonising the standard descriptors are
// closed, and a socket that took number 0, 1 or 2 would carry any stray write
// to stdout or stderr into the record stream; so it is moved above them.
int OpenLinkSocket(int type) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd >= 0 && fd <= STDERR_FILENO) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    fd = moved;
  }
  return fd < 0 ? -1 : fd;
}

// Name lookup first, then a dotted address.  Resolved afresh at every
// attempt so that a moved collector is found at the next reconnection.
// getaddrinfo is reentrant; the lock serialises us anyway.
bool ResolveCollector(const char *server, int type, in_addr *out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = type;
  addrinfo *found = nullptr;
  if (getaddrinfo(server, nullptr, &hints, &found) == 0 && found != nullptr) {
    std::unique_ptr<addrinfo, AddrInfoFree> owner(found);
    for (addrinfo *ai = found; ai != nullptr; ai = ai->ai_next) {
      if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
        *out = reinterpret_cast<const sockaddr_in *>(ai->ai_addr)->sin_addr;
        return true;
      }
    }
  }
  return inet_aton(server, out) != 0;
}

// The steps UDPConnect and TCPConnect share; type is SOCK_DGRAM or
// SOCK_STREAM.  0 connected, 1 not (socket then -1).
int LinkConnect(P_SOCKET_DATA d, int type) {
  const bool tcp = type == SOCK_STREAM;
  d->socket = OpenLinkSocket(type);
  if (d->socket < 0) {
    if (tcp) Log(1, "Failed to create our socket");
    return 1;
  }
  // A send on a connection the collector has dropped must come back as an
  // error we can act on, not end the process.
  if (tcp) signal(SIGPIPE, SIG_IGN);
  if (d->server == nullptr) d->server = strdup(kDefaultServer);

  in_addr addr{};
  if (!ResolveCollector(ServerName(*d), type, &addr)) {
    Log(2, "could not resolve address[%s]", ServerName(*d));
    close(d->socket);
    d->socket = -1;
    return 1;
  }
  std::memset(&d->sockaddr, 0, sizeof d->sockaddr);
  d->sockaddr.sin_family = AF_INET;
  d->sockaddr.sin_port = htons(static_cast<uint16_t>(d->port & 0xffff));
  d->sockaddr.sin_addr = addr;

  // Each record is a complete unit for the collector: let it leave at once
  // instead of waiting to be coalesced with the next one.
  if (tcp) {
    int one = 1;
    (void)setsockopt(d->socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval stall{kStallSeconds, 0};
    (void)setsockopt(d->socket, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
    // The kernel reports a stream writable once a third of its send buffer
    // is free; sized so, that third holds any record (and any burst) whole.
    // Fixing the size also keeps memory pressure from shrinking it.
    int room = kSendBuffer;
    if (setsockopt(d->socket, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room) != 0)
      (void)setsockopt(d->socket, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  }
  // UDP is connected too: it fixes the peer, and a refusal by the collector's
  // host comes back as an error on a later send.
  if (connect(d->socket, reinterpret_cast<const sockaddr *>(&d->sockaddr), sizeof d->sockaddr) !=
      0) {
    close(d->socket);
    d->socket = -1;
    return 1;
  }
  return 0;
}

// Waits until `fd` is writable, at most until `deadline`.
bool WaitWritable(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left < 0) left = 0;
    pollfd p{fd, POLLOUT, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) return (p.revents & POLLOUT) != 0 || (p.revents & (POLLERR | POLLHUP)) != 0;
    if (n == 0 || errno != EINTR) return false;
  }
}

// Puts one record on the link; true when all of it went out.  A datagram
// goes whole or not at all.  A stream may take a record in pieces, and a
// piece left behind would glue a cut record to the next one, so the rest is
// sent until it is all out; only an error or a send that takes nothing
// fails.  In the normal case this is one system call.
bool SendWhole(const SOCKET_DATA &d, const char *bytes, size_t len) {
  if (d.socket < 0 || len == 0) return false;
  if (d.proto == kProtoUDP) {
    ssize_t n;
    do {
      n = sendto(d.socket, bytes, len, 0, reinterpret_cast<const sockaddr *>(&d.sockaddr),
                 sizeof d.sockaddr);
    } while (n < 0 && errno == EINTR);
    return n > 0;
  }
  // The whole record must be handed over within the stall limit; waiting
  // for room is done in poll, so the limit counts for the record, not for
  // each piece of it.  Nothing is handed over before the socket says it is
  // writable: a record that started to go out and then missed the limit
  // would leave its head on the collector's stream, glued to whatever comes
  // next.  With the send buffer sized as LinkConnect sizes it, writable
  // means room for far more than a record, so a record that starts goes
  // whole.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStallSeconds);
  if (!WaitWritable(d.socket, deadline)) return false;
  size_t done = 0;
  while (done < len) {
    ssize_t n = send(d.socket, bytes + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    if (!WaitWritable(d.socket, deadline)) return false;
  }
  return true;
}

// True when the collector has already ended the TCP connection.  The
// collector never writes to us, so a readable socket means its FIN or reset
// has arrived; a record sent into such a connection would be accepted by our
// kernel and then lost, so the link is renewed before the send instead.
// One non-blocking peek; a UDP link has nothing to look at.
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

}  // namespace

int NetClose(P_SOCKET_DATA op_data) {
  if (op_data == nullptr) return -1;
  int rc = -1;
  if (op_data->socket >= 0) {
    (void)shutdown(op_data->socket, SHUT_RDWR);
    rc = close(op_data->socket);
  }
  op_data->socket = -1;
  return rc;
}

int UDPConnect(P_SOCKET_DATA op_data) {
  return op_data == nullptr ? 1 : LinkConnect(op_data, SOCK_DGRAM);
}

int TCPConnect(P_SOCKET_DATA op_data) {
  return op_data == nullptr ? 1 : LinkConnect(op_data, SOCK_STREAM);
}

int NetConnect(P_SOCKET_DATA op_data) {
  if (op_data == nullptr) return 1;
  if (op_data->proto == kProtoUDP) return UDPConnect(op_data);
  if (op_data->proto == kProtoTCP) return TCPConnect(op_data);
  Log(1, "Protocol not supported\n");
  return 1;
}

int NetSend(P_SOCKET_DATA data, const char *payload) {
  if (data == nullptr || payload == nullptr || SocketMutex == nullptr) return 1;
  // The lock covers the close and the reconnection too: no other producer
  // may send on, close or reopen the link while it is being replaced, and
  // the link never has two descriptors at once.
  LinkLock lock;
  const size_t len = std::strlen(payload);
  if (!PeerHasClosed(*data) && SendWhole(*data, payload, len)) return 0;

  NetClose(data);
  if (NetConnect(data) != 0) {
    Log(2, "Failed to send message to host: %s:%d", ServerName(*data), data->port);
    return 1;
  }
  // An empty record failed for want of bytes, not for a broken link.
  if (len == 0) return 1;
  // The link was broken, not the record: give it the new connection once.
  // Nothing is queued.
  if (SendWhole(*data, payload, len)) return 0;
  // Broken again at once: leave the link closed, so the next record makes
  // the next connection attempt.
  NetClose(data);
  return 1;
}

int SendLog(const char *msg) {
  if (msg == nullptr || sockData == nullptr) return 0;
  return NetSend(sockData, msg) == 0 ? 1 : 0;
}

int LogInit() {
  const char *service = CfgHashGet(kCfgRemoteService);
  const char *host = CfgHashGet(kCfgRemoteHost);
  const char *port = CfgHashGet(kCfgRemotePort);

  SocketMutex = &socket_mutex_store;
  // Start-up calls this once.  A repeated call (tests do) replaces the
  // previous link instead of leaking its descriptor and host copy.
  if (sockData != nullptr) {
    NetClose(sockData);
    free(sockData->server);
  }
  link_store = SOCKET_DATA{};
  link_store.socket = -1;
  link_store.server = host != nullptr ? strdup(host) : nullptr;
  // Base detection as strtol does it; only the low 16 bits reach the wire.
  link_store.port = port != nullptr ? static_cast<int>(std::strtol(port, nullptr, 0)) : 0;
  // "TCP-SSL" means plain TCP as well: the link never speaks TLS.
  const bool tcp = service != nullptr &&
                   (veld_stricmp(service, "TCP") == 0 || veld_stricmp(service, "TCP-SSL") == 0);
  link_store.proto = tcp ? kProtoTCP : kProtoUDP;
  sockData = &link_store;

  if (NetConnect(sockData) == 0) return 1;
  Log(3, "Failed to connect to remote host %s:%d\n", host != nullptr ? host : ServerName(*sockData),
      sockData->port);
  return 0;
}
