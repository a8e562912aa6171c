// veldcollect: a small collector for watching what veldagentd sends.  It
// listens on one IPv4 address and port, over TCP (any number of agents at
// once, as many as its descriptor limit allows; with TLS when given a
// certificate, veldcollect-tls.cpp) or UDP, and copies every record it
// receives to standard output as it arrives.
//
// Bytes are copied unchanged.  Over TCP a connection's bytes are written up
// to the last line end received, so records of two agents never interleave
// inside a line; a partial line is held back until its end arrives, its
// connection closes, or kHoldMs pass without more.  Each UDP datagram is
// written as it came.  SIGINT and SIGTERM end it cleanly, with whatever was
// held back, and whatever had already reached our socket buffers, written
// first: the agents took those bytes as delivered.  A second signal ends it
// at once, for when standard output is blocked.
//
// The command line is read in veldcollect-options.cpp and a TCP agent's
// partial line held in veldcollect-stream.cpp; this file is the loop.

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "veld-diaglog.h"
#include "veld-network.h"
#include "veldcollect-options.h"
#include "veldcollect-stream.h"
#include "veldcollect-tls.h"

namespace {

constexpr size_t kBufSize = 65536;  // one UDP datagram at most; per TCP agent
constexpr size_t kSpareFds = 16;    // kept free of agents for everything else
constexpr int kHoldMs = 500;        // how long a partial line may wait for its end
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

// Stop signals received so far (counting to 2), written by the signal
// handler.  The first asks for a clean stop; a second, for a stop now, even
// when standard output is blocked and what is left cannot be written.
volatile sig_atomic_t g_stop = 0;
// Write end of the pipe that wakes poll when a signal arrives.
int g_wake_fd = -1;

void OnSignal(int) {
  if (g_stop < 2) g_stop = g_stop + 1;
  int saved = errno;
  if (write(g_wake_fd, "x", 1) < 0) {
    // The pipe is full, so poll will wake anyway.
  }
  errno = saved;
}

struct SocketCloser {
  void operator()(ZUN_SOCKET *s) const { NetSocketFree(s); }
};
using Socket = std::unique_ptr<ZUN_SOCKET, SocketCloser>;

// Writes all of data to standard output; false when it cannot (reader gone).
bool WriteOut(const char *data, size_t len) {
  while (len > 0) {
    ssize_t n = write(STDOUT_FILENO, data, len);
    if (n < 0) {
      if (errno == EINTR && g_stop < 2) continue;
      if (errno == EINTR) return false;
      std::fprintf(stderr, "veldcollect: write to standard output: %s\n", std::strerror(errno));
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// One connected agent and the partial line it has sent so far.
struct Agent {
  Socket sock;
  collect::LineStream lines{kBufSize, WriteOut};
};

enum class Served { kOpen, kClosed, kOutputFailed };

// Reads what one agent sent and writes every complete line.
Served ServeAgent(Agent &a) {
  unsigned int got = 0;
  if (!collect::AgentRead(a.sock.get(), a.lines.space(), static_cast<unsigned int>(a.lines.room()),
                          &got)) {
    if (got != 0 && errno == EINTR) return Served::kOpen;
    return a.lines.Flush() ? Served::kClosed : Served::kOutputFailed;
  }
  return a.lines.Take(got) ? Served::kOpen : Served::kOutputFailed;
}

// At a stop: writes what the agent had already sent when the stop came (the
// bytes in our receive queue), then what is held back.  Bounded by the queue
// at that moment, so an agent that keeps sending cannot hold the stop up.
bool DrainAgent(Agent &a) {
  int fd = a.sock->sockOpts->sock;
  if (a.sock->sslOpts->ssl != nullptr) {
    // Through the session: what is decrypted or already in our buffers.
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    unsigned int got = 0;
    for (int k = 0; k < 4096 && collect::AgentRead(a.sock.get(), a.lines.space(),
                                                   static_cast<unsigned int>(a.lines.room()), &got);
         ++k) {
      if (!a.lines.Take(got)) return false;
    }
    return a.lines.Flush();
  }
  int queued = 0;
  if (ioctl(fd, FIONREAD, &queued) != 0) queued = 0;
  size_t left = queued > 0 ? static_cast<size_t>(queued) : 0;
  while (left > 0) {
    ssize_t n = recv(fd, a.lines.space(), std::min(a.lines.room(), left), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    left -= static_cast<size_t>(n);
    if (!a.lines.Take(static_cast<size_t>(n))) return false;
  }
  return a.lines.Flush();
}

// How many agents may be connected at once: what the descriptor limit leaves
// after a few for standard streams, the listener and the wake pipe.
size_t MaxAgents() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return 4096;
  return lim.rlim_cur > kSpareFds + 1 ? static_cast<size_t>(lim.rlim_cur - kSpareFds) : 1;
}

// Takes the agent waiting on `listener`, or refuses it when `max_agents` are
// connected already.
void AcceptAgent(ZUN_SOCKET *listener, size_t max_agents, std::vector<Agent> *agents) {
  Socket s(NetAccept(listener));
  if (s && agents->size() >= max_agents) {
    // Refused, not left waiting: an agent whose connection is accepted by
    // the kernel but never read would block once its buffers fill.
    s.reset();
  } else if (s && listener->sslOpts->context != nullptr && !collect::TlsAccept(listener, s.get())) {
    s.reset();
  } else if (s) {
    agents->push_back(Agent{});
    agents->back().sock = std::move(s);
  } else if (errno == EMFILE || errno == ENFILE) {
    std::fprintf(stderr, "veldcollect: accept: %s\n", std::strerror(errno));
    usleep(100000);  // let agents leave before trying again
  }
}

int RunTcp(Socket listener, int wake) {
  std::vector<Agent> agents;
  std::vector<pollfd> fds;
  const size_t max_agents = MaxAgents();
  bool ok = true;
  while (ok && !g_stop) {
    fds.clear();
    fds.push_back({wake, POLLIN, 0});
    fds.push_back({listener->sockOpts->sock, POLLIN, 0});
    int timeout = -1;
    for (const Agent &a : agents) {
      fds.push_back({a.sock->sockOpts->sock, POLLIN, 0});
      if (a.lines.held() > 0) timeout = kHoldMs;
      if (collect::TlsPending(a.sock.get())) timeout = 0;  // decrypted, waiting for us
    }
    if (poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "veldcollect: poll: %s\n", std::strerror(errno));
      ok = false;
      break;
    }
    if (g_stop) break;
    // Serve the agents first: the vector may grow below and move them.
    auto now = collect::Clock::now();
    for (size_t i = 0; i < agents.size() && ok; ++i) {
      Agent &a = agents[i];
      Served state = fds[i + 2].revents != 0 || collect::TlsPending(a.sock.get()) ? ServeAgent(a)
                                                                                  : Served::kOpen;
      if (state == Served::kOutputFailed) ok = false;
      if (state == Served::kOpen && a.lines.Overdue(now, std::chrono::milliseconds(kHoldMs)))
        ok = a.lines.Flush();
      if (state == Served::kClosed) a.sock.reset();
    }
    std::erase_if(agents, [](const Agent &a) { return !a.sock; });
    if (ok && (fds[1].revents & POLLIN)) AcceptAgent(listener.get(), max_agents, &agents);
  }
  for (Agent &a : agents) {
    if (ok) ok = DrainAgent(a);
  }
  // A stop that cut a write short is still a clean stop.
  return ok || g_stop ? 0 : kExitFailure;
}

int RunUdp(Socket sock, int wake) {
  std::unique_ptr<char[]> buf(new char[kBufSize]);
  pollfd fds[2] = {{wake, POLLIN, 0}, {sock->sockOpts->sock, POLLIN, 0}};
  while (!g_stop) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "veldcollect: poll: %s\n", std::strerror(errno));
      return kExitFailure;
    }
    if (g_stop) break;
    if (!(fds[1].revents & POLLIN)) continue;
    unsigned int got = 0;
    if (NetReadFrom(sock.get(), buf.get(), kBufSize, &got) && !WriteOut(buf.get(), got))
      return g_stop ? 0 : kExitFailure;
  }
  // Datagrams that had arrived before the stop are written too; a bound on
  // their number keeps a flood from holding the stop up.
  for (int k = 0; k < 65536; ++k) {
    ssize_t n = recv(sock->sockOpts->sock, buf.get(), kBufSize, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || !WriteOut(buf.get(), static_cast<size_t>(n))) break;
  }
  return 0;
}

// Makes the listening socket; on failure *failed names the call.  A UDP
// socket is bound here rather than by NetSocket, whose SO_REUSEADDR would let
// two collectors share a UDP port silently, each seeing only part of the
// traffic.
Socket Listen(const collect::Options &o, const char **failed) {
  *failed = "NetSocket";
  if (!o.udp)
    return Socket(NetSocket(nullptr, 0, o.address, o.port, IPPROTO_TCP, NET_MODE_SERVER, 0));
  Socket s(NetSocket(nullptr, 0, o.address, o.port, IPPROTO_UDP, 0, 0));
  if (s && bind(s->sockOpts->sock, reinterpret_cast<sockaddr *>(&s->sockOpts->source),
                sizeof(s->sockOpts->source)) != 0) {
    int saved = errno;
    *failed = "bind";
    s.reset();
    errno = saved;
  }
  return s;
}

// The listening socket, announced with its port on standard error (the
// port 0 asks for is learnt only here); null once the failure is reported.
Socket OpenListener(const collect::Options &o) {
  const char *proto = o.udp ? "udp" : "tcp";
  const char *failed = nullptr;
  Socket sock = Listen(o, &failed);
  if (!sock) {
    std::fprintf(stderr, "veldcollect: %s: cannot listen on %s:%d/%s: %s\n", failed, o.address,
                 o.port, proto, std::strerror(errno));
    return sock;
  }
  sockaddr_in bound{};
  socklen_t len = sizeof(bound);
  getsockname(sock->sockOpts->sock, reinterpret_cast<sockaddr *>(&bound), &len);
  std::fprintf(stderr, "veldcollect: listening on %s:%u/%s\n", o.address, ntohs(bound.sin_port),
               proto);
  std::fflush(stderr);
  return sock;
}

// Makes the pipe that wakes poll and sends SIGINT and SIGTERM to OnSignal;
// false once the failure is reported.
bool CatchStopSignals(int wake[2]) {
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::fprintf(stderr, "veldcollect: pipe: %s\n", std::strerror(errno));
    return false;
  }
  g_wake_fd = wake[1];
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocked write must see the stop too
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  // The socket layer writes its progress to the agent's diagnostic log;
  // the collector is not the agent and keeps no such log.
  std::snprintf(pLogFile, sizeof pLogFile, "%s", "/dev/null");
  collect::Options o;
  switch (collect::ParseOptions(argc, argv, &o)) {
    case collect::Parsed::kRun:
      break;
    case collect::Parsed::kHelp:
      return 0;
    case collect::Parsed::kRefused:
      return kExitUsage;
  }
  int wake[2];
  if (!CatchStopSignals(wake)) return kExitFailure;
  Socket sock = OpenListener(o);
  if (!sock || (o.cert != nullptr && !collect::TlsListen(o, sock.get()))) return kExitFailure;
  int rc = o.udp ? RunUdp(std::move(sock), wake[0]) : RunTcp(std::move(sock), wake[0]);
  close(wake[0]);
  close(wake[1]);
  return rc;
}
