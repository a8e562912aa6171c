// veld-logfile-link: the agent's one outbound link to the collector: its
// start (LogInit), its connection and its close, and what it remembers of
// an outage.  Sending is in veld-logfile-send.cpp, what is spoken on the
// socket in the transports.
//
// LogInit opens the link once at start-up from RemoteHost, RemotePort and
// RemoteService, and sets the record format (veld-logfile-format.h).  A
// connection is a UDP socket connected to the collector (which fixes the
// peer) or a TCP stream, with TLS, RELP or both on it as the service says:
//   tcp, tcp-ssl  plain TCP (tcp-ssl has always meant that)
//   tls           TLS over TCP, the server's certificate always verified
//   relp          RELP over TCP: a record counts once acknowledged
//   relp-tls      RELP over TLS
//   anything else UDP  The name is resolved afresh at
// every attempt, so a moved collector is found at the next reconnection.
// After a failed connection attempt the link is not tried again for
// kRetryPause, so a collector that is away costs each producer one failed
// attempt, not one per record, and a host that swallows packets cannot hold
// the lock for a connect timeout on every record.
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
#include "veld-logfile-format.h"
#include "veld-logfile-link.h"
#include "veld-logfile-stats.h"
#include "veld-logfile-tls.h"
#include "veld-logfile-transport.h"
#include "veld-logfile.h"
#include "veld-threads.h"

P_SOCKET_DATA sockData = nullptr;  // the link record; set by LogInit, used under SocketMutex
P_MUTEX SocketMutex = nullptr;     // set by LogInit; held for every whole send

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
  bool refused = false;         // UDP: the collector refused what we sent
  Clock::time_point failed_at;  // when it failed
  unsigned long dropped = 0;    // SendLog records lost during this outage
};
LinkState g_link;
// Each failed attempt of an outage is counted; the first is said at once,
// the count when the link is back or every few minutes while it is not.
LogRepeat g_send_failed;

// Send buffer of a TCP link (the kernel doubles it; without the privilege to
// force it, the system's maximum applies, which is still ample).
constexpr int kSendBuffer = 1 << 20;

// Storage behind the two globals.  Static, so start-up cannot fail for want
// of memory; the initializer gives a mutex with default attributes (not
// recursive), the same as creating one with no attribute object.
pthread_mutex_t socket_mutex_store = PTHREAD_MUTEX_INITIALIZER;
SOCKET_DATA link_store;

struct AddrInfoFree {
  void operator()(addrinfo *ai) const { freeaddrinfo(ai); }
};

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

// The steps UDPConnect and TCPConnect share: the socket the link's
// transport asks for, connected, and the transport's session on it.  0
// connected, 1 not (socket then -1).
int LinkConnect(P_SOCKET_DATA d, Transport *t) {
  const int type = t->SocketType();
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
          0 ||
      !t->Open(*d)) {
    close(d->socket);
    d->socket = -1;
    return 1;
  }
  return 0;
}

}  // namespace

int NetClose(P_SOCKET_DATA op_data) {
  if (op_data == nullptr) return -1;
  int rc = -1;
  if (op_data->socket >= 0) {
    if (Transport *t = TransportFor(op_data->proto)) t->Close(*op_data);
    (void)shutdown(op_data->socket, SHUT_RDWR);
    rc = close(op_data->socket);
  }
  op_data->socket = -1;
  return rc;
}

int UDPConnect(P_SOCKET_DATA op_data) {
  return op_data == nullptr ? 1 : LinkConnect(op_data, TransportFor(kProtoUDP));
}

// The stream of the link's own kind: TLS, RELP or both ride on TCP.
int TCPConnect(P_SOCKET_DATA op_data) {
  if (op_data == nullptr) return 1;
  Transport *t = TransportFor(op_data->proto);
  if (t == nullptr || t->SocketType() != SOCK_STREAM) t = TransportFor(kProtoTCP);
  return LinkConnect(op_data, t);
}

bool logfile::LinkReconnect(SOCKET_DATA &d) {
  NetClose(&d);
  if (g_link.down && Clock::now() - g_link.failed_at < kRetryPause) return false;
  if (NetConnect(&d) == 0) {
    CountReconnect();
    // A UDP socket connects whether or not anyone listens: after a refusal
    // only records that go (LinkSent) end the outage.
    if (g_link.refused) {
      g_link.down = false;
      return true;
    }
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

void logfile::LinkDropped() {
  ++g_link.dropped;
  CountDropped(1);
}

bool logfile::LinkIsDatagram() { return sockData != nullptr && sockData->proto == kProtoUDP; }

void logfile::LinkRefused(SOCKET_DATA &d) {
  NetClose(&d);
  g_send_failed.Report(2, kMsgSendFailed, ServerName(d), d.port);
  g_link.refused = true;
}

void logfile::LinkSent(size_t records) {
  if (records == 0 || !g_link.refused) return;
  g_send_failed.Clear();
  if (g_link.dropped > 0) Log(2, kMsgMetricsDropped, g_link.dropped);
  g_link = LinkState{};
}

int NetConnect(P_SOCKET_DATA op_data) {
  if (op_data == nullptr) return 1;
  if (op_data->proto == kProtoUDP) return UDPConnect(op_data);
  if (op_data->proto >= kProtoTCP && op_data->proto <= kProtoRELPTLS) return TCPConnect(op_data);
  Log(1, "Protocol not supported\n");
  return 1;
}

namespace {

// RemoteService to a link kind; "TCP-SSL" is plain TCP, as it always was.
int ServiceKind(const char *service) {
  if (service == nullptr) return kProtoUDP;
  if (veld_stricmp(service, "TCP") == 0 || veld_stricmp(service, "TCP-SSL") == 0) return kProtoTCP;
  if (veld_stricmp(service, "TLS") == 0) return kProtoTLS;
  if (veld_stricmp(service, "RELP") == 0) return kProtoRELP;
  if (veld_stricmp(service, "RELP-TLS") == 0) return kProtoRELPTLS;
  return kProtoUDP;
}

}  // namespace

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
  g_send_failed.Clear();
  g_link = LinkState{};
  link_store = SOCKET_DATA{};
  link_store.socket = -1;
  link_store.server = host != nullptr ? strdup(host) : nullptr;
  // Base detection as strtol does it; only the low 16 bits reach the wire.
  link_store.port = port != nullptr ? static_cast<int>(std::strtol(port, nullptr, 0)) : 0;
  link_store.proto = ServiceKind(service);
  sockData = &link_store;
  // An unknown format or facility is a -t finding; the defaults serve.
  FormatConfigure(CfgHashGet(kCfgRecordFormat), CfgHashGet(kCfgRecordFacility));
  TlsConfigure(link_store.proto == kProtoTLS || link_store.proto == kProtoRELPTLS);

  if (NetConnect(sockData) == 0) return 1;
  Log(2, "Failed to connect to remote host %s:%d\n", host != nullptr ? host : ServerName(*sockData),
      sockData->port);
  return 0;
}
