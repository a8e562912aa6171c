// The socket object on real loopback sockets: clients, servers, accepted
// connections, datagrams, the protocol and backlog rules, and the release of
// everything a failed NetSocket made.

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "owned_socket.h"
#include "test_util.h"
#include "veld-agent.h"
#include "veld-network.h"

namespace {

constexpr const char kLoopback[] = "127.0.0.1";

class NetSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::snprintf(pLogFile, sizeof pLogFile, "%s", (dir_ / "veld.log").c_str());
  }
  std::string LogText() const {
    return veldtest::WithoutPids(veldtest::ReadFile(dir_ / "veld.log"));
  }

  veldtest::TempDir dir_;
};

using Owned = veldtest::OwnedSocket;

int Fd(const Owned &s) { return s->sockOpts->sock; }

sockaddr_in LocalAddress(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  return sa;
}

int LocalPort(int fd) { return ntohs(LocalAddress(fd).sin_port); }

int IntOption(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof(v);
  if (getsockopt(fd, level, name, &v, &len) != 0) return -1;
  return v;
}

int OpenDescriptors() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (d != nullptr && readdir(d) != nullptr) ++n;
  if (d != nullptr) closedir(d);
  return n;
}

// The accept-queue limit the kernel holds for a TCP listener on 127.0.0.1,
// asked of the socket-diagnostics interface; -1 when it cannot be learnt.
long ListenBacklog(int port) {
  int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (nl < 0) return -1;
  struct {
    nlmsghdr nlh;
    inet_diag_req_v2 req;
  } msg{};
  msg.nlh.nlmsg_len = sizeof(msg);
  msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  msg.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  msg.req.sdiag_family = AF_INET;
  msg.req.sdiag_protocol = IPPROTO_TCP;
  msg.req.idiag_states = 1u << 10;  // TCP_LISTEN
  long found = -1;
  if (send(nl, &msg, sizeof(msg), 0) == static_cast<ssize_t>(sizeof(msg))) {
    alignas(nlmsghdr) char buf[16384];
    bool done = false;
    while (!done) {
      ssize_t n = recv(nl, buf, sizeof(buf), 0);
      if (n <= 0) break;
      for (auto *h = reinterpret_cast<nlmsghdr *>(buf); NLMSG_OK(h, n); h = NLMSG_NEXT(h, n)) {
        if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
          done = true;
          break;
        }
        auto *m = static_cast<inet_diag_msg *>(NLMSG_DATA(h));
        if (ntohs(m->id.idiag_sport) == port) found = m->idiag_wqueue;
      }
    }
  }
  close(nl);
  return found;
}

long SysctlValue(const char *path) {
  std::string text = veldtest::ReadFile(path);
  return text.empty() ? -1 : std::stol(text);
}

Owned TcpServer(unsigned int backLog = 0) {
  return Owned(NetSocket(nullptr, 0, kLoopback, 0, 6, NET_MODE_SERVER, backLog));
}

// --- TCP clients, servers and accepted connections

TEST_F(NetSocketTest, TcpClientReachesServerAndBytesArriveThroughNetRead) {
  Owned server = TcpServer();
  ASSERT_TRUE(server);
  EXPECT_EQ(IntOption(Fd(server), SOL_SOCKET, SO_ACCEPTCONN), 1);
  int port = LocalPort(Fd(server));

  Owned client(NetSocket(kLoopback, port, nullptr, 0, 6, NET_MODE_CLIENT, 0));
  ASSERT_TRUE(client);
  EXPECT_EQ(IntOption(Fd(client), IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(ntohs(client->sockOpts->dest.sin_port), port);
  EXPECT_EQ(client->sockOpts->dest.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

  Owned conn(NetAccept(server.get()));
  ASSERT_TRUE(conn);
  // The accepted object names its peer: the client's own local end.
  sockaddr_in peer = LocalAddress(Fd(client));
  EXPECT_EQ(conn->sockOpts->source.sin_port, peer.sin_port);
  EXPECT_EQ(conn->sockOpts->source.sin_addr.s_addr, peer.sin_addr.s_addr);
  EXPECT_EQ(conn->sslOpts->ssl, nullptr);
  EXPECT_EQ(conn->sslOpts->context, nullptr);

  ASSERT_EQ(send(Fd(client), "hello\n", 6, 0), 6);
  char buf[64];
  unsigned int got = 0;
  ASSERT_EQ(NetRead(conn.get(), buf, sizeof(buf), &got), 1);
  EXPECT_EQ(std::string(buf, got), "hello\n");

  // The log shows the four progress steps of the client, all at priority 3.
  std::string log = LogText();
  for (const char *m : {"[3]: Creating socket\n", "[3]: Created socket\n",
                        "[3]: Connecting socket\n", "[3]: Connecting socket success\n"})
    EXPECT_NE(log.find(m), std::string::npos) << m;
}

TEST_F(NetSocketTest, PeerCloseGivesZeroWithCountZero) {
  Owned server = TcpServer();
  ASSERT_TRUE(server);
  P_ZUN_SOCKET client =
      NetSocket(kLoopback, LocalPort(Fd(server)), nullptr, 0, 6, NET_MODE_CLIENT, 0);
  ASSERT_NE(client, nullptr);
  Owned conn(NetAccept(server.get()));
  ASSERT_TRUE(conn);
  EXPECT_EQ(NetSocketFree(client), 1);  // closes the client's descriptor

  char buf[16];
  unsigned int got = 12345;
  EXPECT_EQ(NetRead(conn.get(), buf, sizeof(buf), &got), 0);
  EXPECT_EQ(got, 0u);
}

TEST_F(NetSocketTest, ReceiveWithoutDescriptorGivesAllBitsSetCount) {
  Owned s(NetSocketCreate());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->sockOpts->sock, -1);
  char buf[16];
  unsigned int got = 0;
  EXPECT_EQ(NetRead(s.get(), buf, sizeof(buf), &got), 0);
  EXPECT_EQ(got, UINT_MAX);
  got = 0;
  EXPECT_EQ(NetReadFrom(s.get(), buf, sizeof(buf), &got), 0);
  EXPECT_EQ(got, UINT_MAX);
}

TEST_F(NetSocketTest, NullArgumentsAreRefusedWithoutReceiving) {
  Owned s(NetSocketCreate());
  char buf[4];
  unsigned int got = 7;
  EXPECT_EQ(NetRead(nullptr, buf, sizeof(buf), &got), 0);
  EXPECT_EQ(NetRead(s.get(), nullptr, sizeof(buf), &got), 0);
  EXPECT_EQ(NetRead(s.get(), buf, sizeof(buf), nullptr), 0);
  EXPECT_EQ(NetReadFrom(nullptr, buf, sizeof(buf), &got), 0);
  EXPECT_EQ(got, 7u);
  EXPECT_EQ(NetAccept(nullptr), nullptr);
  EXPECT_EQ(NetSocketFree(nullptr), 0);
}

// --- Datagrams

TEST_F(NetSocketTest, UdpReadFromRecordsSenderAndLocalAddress) {
  Owned server(NetSocket(nullptr, 0, kLoopback, 0, 17, NET_MODE_SERVER, 0));
  ASSERT_TRUE(server);
  EXPECT_EQ(IntOption(Fd(server), SOL_SOCKET, SO_TYPE), SOCK_DGRAM);
  EXPECT_EQ(IntOption(Fd(server), SOL_SOCKET, SO_ACCEPTCONN), 0);
  sockaddr_in to = LocalAddress(Fd(server));

  int sender = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(sender, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(sender, reinterpret_cast<sockaddr *>(&from), sizeof(from)), 0);
  from = LocalAddress(sender);
  ASSERT_EQ(sendto(sender, "one datagram", 12, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to)),
            12);

  char buf[64];
  unsigned int got = 0;
  ASSERT_EQ(NetReadFrom(server.get(), buf, sizeof(buf), &got), 1);
  EXPECT_EQ(std::string(buf, got), "one datagram");
  EXPECT_EQ(server->sockOpts->source.sin_port, from.sin_port);
  EXPECT_EQ(server->sockOpts->source.sin_addr.s_addr, from.sin_addr.s_addr);
  EXPECT_EQ(server->sockOpts->dest.sin_port, to.sin_port);
  EXPECT_EQ(server->sockOpts->dest.sin_addr.s_addr, to.sin_addr.s_addr);
  close(sender);
}

// --- Protocol choice, modes and the backlog rule

TEST_F(NetSocketTest, ProtocolZeroAndSixGiveTcpAndSeventeenGivesUdp) {
  for (unsigned int proto : {0u, 6u}) {
    Owned s(NetSocket(kLoopback, 9, nullptr, 0, proto, 0, 0));
    ASSERT_TRUE(s) << proto;
    EXPECT_EQ(IntOption(Fd(s), SOL_SOCKET, SO_TYPE), SOCK_STREAM);
    EXPECT_EQ(IntOption(Fd(s), SOL_SOCKET, SO_PROTOCOL), IPPROTO_TCP);
  }
  Owned udp(NetSocket(kLoopback, 9, nullptr, 0, 17, 0, 0));
  ASSERT_TRUE(udp);
  EXPECT_EQ(IntOption(Fd(udp), SOL_SOCKET, SO_TYPE), SOCK_DGRAM);
  EXPECT_EQ(IntOption(Fd(udp), SOL_SOCKET, SO_PROTOCOL), IPPROTO_UDP);
}

TEST_F(NetSocketTest, OtherProtocolGivesStreamSocketThatServerModeBindsButDoesNotListen) {
  // 262 is multipath TCP, 132 SCTP; the kernel may lack either, and then
  // NetSocket must fail like socket(2) does.
  for (unsigned int proto : {132u, 262u}) {
    int probe = socket(AF_INET, SOCK_STREAM, static_cast<int>(proto));
    bool available = probe >= 0;
    if (available) close(probe);
    Owned s(NetSocket(nullptr, 0, kLoopback, 0, proto, NET_MODE_SERVER, 0));
    if (!available) {
      EXPECT_FALSE(s) << proto;
      continue;
    }
    ASSERT_TRUE(s) << proto;
    EXPECT_EQ(IntOption(Fd(s), SOL_SOCKET, SO_TYPE), SOCK_STREAM);
    EXPECT_EQ(IntOption(Fd(s), SOL_SOCKET, SO_PROTOCOL), static_cast<int>(proto));
    EXPECT_NE(LocalPort(Fd(s)), 0);  // bound
    EXPECT_EQ(IntOption(Fd(s), SOL_SOCKET, SO_ACCEPTCONN), 0);
  }
}

TEST_F(NetSocketTest, OtherModeLeavesSocketUnboundAndUnconnectedWithAddressesFilled) {
  Owned s(NetSocket(kLoopback, 0x12345, "127.0.0.2", 4321, 6, 7, 0));
  ASSERT_TRUE(s);
  EXPECT_EQ(LocalPort(Fd(s)), 0);
  EXPECT_EQ(s->sockOpts->dest.sin_family, AF_INET);
  EXPECT_EQ(ntohs(s->sockOpts->dest.sin_port), 0x2345);  // low 16 bits
  EXPECT_EQ(s->sockOpts->dest.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(ntohs(s->sockOpts->source.sin_port), 4321);
  EXPECT_EQ(s->sockOpts->source.sin_addr.s_addr, inet_addr("127.0.0.2"));
  EXPECT_EQ(LogText().find("Connecting socket"), std::string::npos);
}

TEST_F(NetSocketTest, BacklogOfTenOrLessMeans4096AndElevenOrMoreIsKept) {
  long somaxconn = SysctlValue("/proc/sys/net/core/somaxconn");
  ASSERT_GT(somaxconn, 11);
  long expected_default = somaxconn < 4096 ? somaxconn : 4096;
  for (unsigned int asked : {0u, 10u, 11u, 100u}) {
    Owned s = TcpServer(asked);
    ASSERT_TRUE(s);
    long want = asked >= 11 ? static_cast<long>(asked) : expected_default;
    EXPECT_EQ(ListenBacklog(LocalPort(Fd(s))), want) << "backLog " << asked;
  }
}

TEST_F(NetSocketTest, ServerRebindsItsPortWhileOldConnectionsWaitToClose) {
  int port;
  {
    Owned server = TcpServer();
    ASSERT_TRUE(server);
    EXPECT_EQ(IntOption(Fd(server), SOL_SOCKET, SO_REUSEADDR), 1);
    port = LocalPort(Fd(server));
    Owned client(NetSocket(kLoopback, port, nullptr, 0, 6, NET_MODE_CLIENT, 0));
    ASSERT_TRUE(client);
    Owned conn(NetAccept(server.get()));
    ASSERT_TRUE(conn);
    // The server side closes first, so its end of the connection (on the
    // server's port) enters TIME_WAIT.
    close(conn->sockOpts->sock);
    conn->sockOpts->sock = -1;
    char c;
    unsigned int got;
    NetRead(client.get(), &c, 1, &got);
  }
  Owned again(NetSocket(nullptr, 0, kLoopback, port, 6, NET_MODE_SERVER, 0));
  EXPECT_TRUE(again);
}

TEST_F(NetSocketTest, PortInUseFailsReleasingDescriptorAndKeepingErrno) {
  Owned server = TcpServer();
  ASSERT_TRUE(server);
  int before = OpenDescriptors();
  errno = 0;
  P_ZUN_SOCKET second =
      NetSocket(nullptr, 0, kLoopback, LocalPort(Fd(server)), 6, NET_MODE_SERVER, 0);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(errno, EADDRINUSE);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(NetSocketTest, RefusedConnectionFailsReleasingDescriptor) {
  int port;
  {
    Owned gone = TcpServer();
    ASSERT_TRUE(gone);
    port = LocalPort(Fd(gone));
  }
  int before = OpenDescriptors();
  errno = 0;
  EXPECT_EQ(NetSocket(kLoopback, port, nullptr, 0, 6, NET_MODE_CLIENT, 0), nullptr);
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(LogText().find("Connecting socket success"), std::string::npos);
}

// --- Address resolution

TEST_F(NetSocketTest, HostNameResolvesAndUnresolvableNameGoesToLocalHost) {
  // Listening on every address, so that address 0 (what an unresolvable
  // name becomes) reaches it.
  Owned server(NetSocket(nullptr, 0, nullptr, 0, 6, NET_MODE_SERVER, 0));
  ASSERT_TRUE(server);
  EXPECT_EQ(LocalAddress(Fd(server)).sin_addr.s_addr, htonl(INADDR_ANY));
  int port = LocalPort(Fd(server));

  Owned named(NetSocket("localhost", port, nullptr, 0, 6, NET_MODE_CLIENT, 0));
  ASSERT_TRUE(named);
  EXPECT_EQ(named->sockOpts->dest.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  Owned a(NetAccept(server.get()));
  EXPECT_TRUE(a);

  Owned nowhere(NetSocket("no-such-host.invalid", port, nullptr, 0, 6, NET_MODE_CLIENT, 0));
  ASSERT_TRUE(nowhere);
  EXPECT_EQ(nowhere->sockOpts->dest.sin_addr.s_addr, htonl(INADDR_ANY));
  Owned b(NetAccept(server.get()));
  EXPECT_TRUE(b);
}

}  // namespace
