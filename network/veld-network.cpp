// veld-network: the socket object.  NetSocket goes from nothing to a
// connected client or a listening server in one call and releases
// everything it made when any step fails, so a caller holds either a ready
// object or nothing.  Progress goes to the diagnostic log at priority 3;
// failures are reported only through the result and errno.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <memory>
#include <new>

#include <openssl/ssl.h>

#include "veld-diaglog.h"
#include "veld-network.h"

namespace {

constexpr int kProgress = 3;  // log priority of the progress messages
constexpr const char kMsgCreating[] = "Creating socket";
constexpr const char kMsgCreated[] = "Created socket";
constexpr const char kMsgConnecting[] = "Connecting socket";
constexpr const char kMsgConnected[] = "Connecting socket success";

constexpr unsigned int kMinBacklog = 11;        // smaller requests are taken as "no preference"
constexpr unsigned int kDefaultBacklog = 4096;  // the kernel's usual somaxconn

// Releases an object that failed to become ready, keeping the errno of the
// step that failed so that a caller can say why.
void Discard(P_ZUN_SOCKET s) {
  int saved = errno;
  NetSocketFree(s);
  errno = saved;
}

// A host name or dotted quad as an IPv4 address in network order, or the
// any-address for null and for what neither resolves nor parses.  Names are
// looked up first.  getaddrinfo rather than gethostbyname: it is reentrant,
// so this layer can be used beside the collector link's own lookups.
in_addr_t ResolveOrAny(const char *name) {
  if (name == nullptr) return htonl(INADDR_ANY);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
  addrinfo *found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) == 0 && found != nullptr) {
    in_addr_t addr = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return addr;
  }
  in_addr_t addr = inet_addr(name);
  return addr == INADDR_NONE ? htonl(INADDR_ANY) : addr;
}

sockaddr_in MakeAddress(const char *name, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port & 0xffff));
  sa.sin_addr.s_addr = ResolveOrAny(name);
  return sa;
}

// Turns a socket option on; false, with errno, when it cannot.
bool SetFlag(int fd, int level, int name) {
  int one = 1;
  return setsockopt(fd, level, name, &one, sizeof(one)) == 0;
}

// The socket type and protocol NetSocket makes for `ipProto`.
struct SocketKind {
  int type;
  int proto;
};
SocketKind KindOf(unsigned int ipProto) {
  if (ipProto == 0 || ipProto == IPPROTO_TCP) return {SOCK_STREAM, IPPROTO_TCP};
  if (ipProto == IPPROTO_UDP) return {SOCK_DGRAM, IPPROTO_UDP};
  return {SOCK_STREAM, static_cast<int>(ipProto)};
}

// A client's step: connect to `dest`.  False, with errno, when it fails.
bool ConnectClient(P_NETWORK_SOCKET_OPTS so, int proto) {
  // Small requests must leave at once rather than wait to coalesce.
  if (proto == IPPROTO_TCP && !SetFlag(so->sock, IPPROTO_TCP, TCP_NODELAY)) return false;
  Log(kProgress, kMsgConnecting);
  if (connect(so->sock, reinterpret_cast<sockaddr *>(&so->dest), sizeof(so->dest)) != 0)
    return false;
  Log(kProgress, kMsgConnected);
  return true;
}

// A server's step: bind to `source` and, for TCP, listen.  False, with
// errno, when it fails.
bool BindServer(P_NETWORK_SOCKET_OPTS so, int proto, unsigned int backLog) {
  // A restarted server must get its port back while connections of the
  // previous one still sit in TIME_WAIT.
  if (!SetFlag(so->sock, SOL_SOCKET, SO_REUSEADDR) ||
      bind(so->sock, reinterpret_cast<sockaddr *>(&so->source), sizeof(so->source)) != 0)
    return false;
  if (proto != IPPROTO_TCP) return true;
  unsigned int queue = backLog >= kMinBacklog ? backLog : kDefaultBacklog;
  if (queue > static_cast<unsigned int>(INT_MAX)) queue = INT_MAX;  // the kernel caps it anyway
  return listen(so->sock, static_cast<int>(queue)) == 0;
}

}  // namespace

P_ZUN_SOCKET NetSocketCreate() {
  std::unique_ptr<ZUN_SOCKET> s(new (std::nothrow) ZUN_SOCKET{});
  if (!s) return nullptr;
  std::unique_ptr<NETWORK_SOCKET_OPTS> so(new (std::nothrow) NETWORK_SOCKET_OPTS{});
  std::unique_ptr<NETWORK_SSL_OPTS> ssl(new (std::nothrow) NETWORK_SSL_OPTS{});
  if (!so || !ssl) return nullptr;
  so->sock = -1;
  s->sockOpts = so.release();
  s->sslOpts = ssl.release();
  return s.release();
}

int NetSocketFree(P_ZUN_SOCKET sock) {
  if (sock == nullptr) return 0;
  if (sock->sockOpts != nullptr && sock->sockOpts->sock >= 0) close(sock->sockOpts->sock);
  if (sock->sslOpts != nullptr) {
    // The object owns its TLS state; a connection still open here was
    // abandoned by its caller and ends without a close notification.
    SSL_free(sock->sslOpts->ssl);
    SSL_CTX_free(sock->sslOpts->context);
  }
  delete sock->sslOpts;
  delete sock->sockOpts;
  delete sock;
  return 1;
}

P_ZUN_SOCKET NetSocket(const char *destAddr, int destPort, const char *srcAddr, int srcPort,
                       unsigned int ipProto, int mode, unsigned int backLog) {
  P_ZUN_SOCKET s = NetSocketCreate();
  if (s == nullptr) return nullptr;
  Log(kProgress, kMsgCreating);

  SocketKind kind = KindOf(ipProto);
  // Close-on-exec: key generation starts child processes, which must not
  // inherit a listening or connected socket.
  int fd = socket(AF_INET, kind.type | SOCK_CLOEXEC, kind.proto);
  if (fd < 0) {
    Discard(s);
    return nullptr;
  }
  P_NETWORK_SOCKET_OPTS so = s->sockOpts;
  so->sock = fd;
  // A peer that went away must cost a write error, not the process.
  signal(SIGPIPE, SIG_IGN);
  Log(kProgress, kMsgCreated);

  so->dest = MakeAddress(destAddr, destPort);
  so->source = MakeAddress(srcAddr, srcPort);

  bool ready = true;
  if (mode == NET_MODE_CLIENT)
    ready = ConnectClient(so, kind.proto);
  else if (mode == NET_MODE_SERVER)
    ready = BindServer(so, kind.proto, backLog);
  if (!ready) {
    Discard(s);
    return nullptr;
  }
  return s;
}

P_ZUN_SOCKET NetAccept(P_ZUN_SOCKET sock) {
  if (sock == nullptr || sock->sockOpts == nullptr) return nullptr;
  P_ZUN_SOCKET s = NetSocketCreate();
  if (s == nullptr) return nullptr;
  socklen_t len = sizeof(s->sockOpts->source);
  int fd = accept4(sock->sockOpts->sock, reinterpret_cast<sockaddr *>(&s->sockOpts->source), &len,
                   SOCK_CLOEXEC);
  if (fd < 0) {
    Discard(s);
    return nullptr;
  }
  s->sockOpts->sock = fd;
  return s;
}

int NetRead(P_ZUN_SOCKET sock, char *data, unsigned int size, unsigned int *bytes_read) {
  if (data == nullptr || sock == nullptr || bytes_read == nullptr || sock->sockOpts == nullptr)
    return 0;
  ssize_t n = recv(sock->sockOpts->sock, data, size, 0);
  *bytes_read = static_cast<unsigned int>(n);
  return n > 0 ? 1 : 0;
}

int NetReadFrom(P_ZUN_SOCKET sock, char *data, unsigned int size, unsigned int *bytes_read) {
  if (data == nullptr || sock == nullptr || bytes_read == nullptr || sock->sockOpts == nullptr)
    return 0;
  P_NETWORK_SOCKET_OPTS so = sock->sockOpts;
  socklen_t len = sizeof(so->source);
  ssize_t n = recvfrom(so->sock, data, size, 0, reinterpret_cast<sockaddr *>(&so->source), &len);
  *bytes_read = static_cast<unsigned int>(n);
  if (n <= 0) return 0;
  len = sizeof(so->dest);
  getsockname(so->sock, reinterpret_cast<sockaddr *>(&so->dest), &len);
  return 1;
}
