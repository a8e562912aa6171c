// Collector link: real TCP and UDP listeners on 127.0.0.1 written here, the
// link opened from the three settings, and each scenario checking the exact
// bytes that reach the listener and the exact diagnostic entries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"
#include "veld-agent.h"
#include "veld-config-unix.h"
#include "veld-hash.h"
#include "veld-logfile.h"

using veldtest::ReadFile;
using veldtest::TempDir;

namespace {

constexpr int kWaitMs = 3000;

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
  Fd &operator=(Fd &&o) noexcept {
    std::swap(fd, o.fd);
    return *this;
  }
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// A socket bound to 127.0.0.1:port (0 picks one), not yet listening, so a
// TCP connect to it is refused until Listen().
Fd BoundSocket(int type, int port = 0) {
  Fd s(socket(AF_INET, type, 0));
  int one = 1;
  setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(s.fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << "port " << port;
  return s;
}

int PortOf(const Fd &s) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(s.fd, reinterpret_cast<sockaddr *>(&a), &len);
  return ntohs(a.sin_port);
}

bool Readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

Fd Accept(const Fd &listener) {
  if (!Readable(listener.fd, kWaitMs)) return Fd();
  return Fd(accept(listener.fd, nullptr, nullptr));
}

// Reads until n bytes, end of stream or timeout.
std::string ReadStream(const Fd &conn, size_t n, int timeout_ms = kWaitMs) {
  std::string out;
  char buf[65536];
  while (out.size() < n && Readable(conn.fd, timeout_ms)) {
    ssize_t got = recv(conn.fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (got <= 0) break;
    out.append(buf, static_cast<size_t>(got));
  }
  return out;
}

// One datagram, or "<none>" when none comes in time.
std::string ReadDatagram(const Fd &s, int timeout_ms = kWaitMs) {
  static char buf[70000];
  if (!Readable(s.fd, timeout_ms)) return "<none>";
  ssize_t got = recv(s.fd, buf, sizeof buf, 0);
  return got < 0 ? "<error>" : std::string(buf, static_cast<size_t>(got));
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GlobalConfigHash = hashtable_alloc(1, 0);
    ExpandEnvironment();
    std::snprintf(pLogFile, sizeof pLogFile, "%s", (dir_ / "veld.log").c_str());
  }
  void TearDown() override {
    if (sockData != nullptr) NetClose(sockData);
    hashtable_free(GlobalConfigHash);
    GlobalConfigHash = nullptr;
  }
  int Init(const char *service, const std::string &port, const char *host = "127.0.0.1") {
    CfgHashAdd("RemoteService", service);
    CfgHashAdd("RemoteHost", host);
    CfgHashAdd("RemotePort", port.c_str());
    return LogInit();
  }
  std::string DiagLog() const { return veldtest::WithoutPids(ReadFile(pLogFile)); }
  static size_t Count(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
  }

  TempDir dir_;
};

// ---- What goes on the wire ------------------------------------------------

// Records reach a TCP listener byte for byte, nothing added between them,
// and the stream is set up for prompt single-record segments.
TEST_F(LinkTest, TcpCarriesRecordsByteExact) {
  Fd listener = BoundSocket(SOCK_STREAM);
  ASSERT_EQ(listen(listener.fd, 4), 0);
  ASSERT_EQ(Init("tcp", std::to_string(PortOf(listener))), 1);
  Fd conn = Accept(listener);
  ASSERT_GE(conn.fd, 0);

  const std::vector<std::string> records = {
      "1700000000 VELDUnixLog: tab\there \"q\" \\ cr\r\n",
      "1700000000 VELDUnixLog: no newline yet",
      "1700000000 VELDUnixLog: " + std::string(4093 - 25, 'x'),
      "\n",
  };
  std::string expected;
  for (const std::string &r : records) {
    EXPECT_EQ(SendLog(r.c_str()), 1);
    expected += r;
  }
  EXPECT_EQ(ReadStream(conn, expected.size() + 1, 300), expected);

  int nodelay = 0;
  socklen_t len = sizeof nodelay;
  getsockopt(sockData->socket, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
  EXPECT_EQ(nodelay, 1);
  EXPECT_EQ(DiagLog(), "");
}

// Over UDP every record is exactly one datagram, even with line ends inside.
TEST_F(LinkTest, UdpSendsOneDatagramPerRecord) {
  Fd server = BoundSocket(SOCK_DGRAM);
  ASSERT_EQ(Init("udp", std::to_string(PortOf(server))), 1);
  for (const std::string &r : {std::string("1 VELDUnixLog: a\n"), std::string("2 two\n\nlines"),
                               std::string(60000, 'u')}) {
    EXPECT_EQ(SendLog(r.c_str()), 1);
    EXPECT_EQ(ReadDatagram(server), r);
  }
  EXPECT_EQ(ReadDatagram(server, 100), "<none>");
}

// TCP and TCP-SSL in any case give a plain stream (no TLS: the listener sees
// the record itself) and ignore SIGPIPE; everything else is UDP and leaves
// SIGPIPE alone.
TEST_F(LinkTest, ServiceSelectsTransport) {
  Fd listener = BoundSocket(SOCK_STREAM);
  ASSERT_EQ(listen(listener.fd, 8), 0);
  const std::string port = std::to_string(PortOf(listener));
  for (const char *svc : {"tcp", "Tcp", "tcp-ssl", "TCP-SSL"}) {
    SCOPED_TRACE(svc);
    signal(SIGPIPE, SIG_DFL);
    ASSERT_EQ(Init(svc, port), 1);
    EXPECT_EQ(sockData->proto, 1);
    Fd conn = Accept(listener);
    EXPECT_EQ(SendLog("plain\n"), 1);
    EXPECT_EQ(ReadStream(conn, 6), "plain\n");
    struct sigaction sa {};
    sigaction(SIGPIPE, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_IGN);
  }
  for (const char *svc : {"udp", "UDP", "ssl", "TCPS", ""}) {
    SCOPED_TRACE(svc);
    signal(SIGPIPE, SIG_DFL);
    ASSERT_EQ(Init(svc, port), 1);
    EXPECT_EQ(sockData->proto, 0);
    int type = 0;
    socklen_t len = sizeof type;
    getsockopt(sockData->socket, SOL_SOCKET, SO_TYPE, &type, &len);
    EXPECT_EQ(type, SOCK_DGRAM);
    struct sigaction sa {};
    sigaction(SIGPIPE, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_DFL);
  }
}

// The port is read with base detection and only its low 16 bits reach the
// wire: decimal, hexadecimal, octal and port+65536 all reach the listener.
TEST_F(LinkTest, PortParsingAndLowSixteenBits) {
  struct Case {
    const char *text;
    int port;
  };
  for (Case c : {Case{"514", 514}, Case{"0x202", 514}, Case{"01002", 514}, Case{"abc", 0},
                 Case{"66050", 66050}}) {
    SCOPED_TRACE(c.text);
    Init("udp", c.text);
    EXPECT_EQ(sockData->port, c.port);
    EXPECT_EQ(ntohs(sockData->sockaddr.sin_port), c.port & 0xffff);
  }
  Fd server = BoundSocket(SOCK_DGRAM);
  const int p = PortOf(server);
  char hex[16], oct[16];
  std::snprintf(hex, sizeof hex, "0x%x", p);
  std::snprintf(oct, sizeof oct, "0%o", p);
  for (const std::string &text : {std::string(hex), std::string(oct), std::to_string(p + 65536)}) {
    SCOPED_TRACE(text);
    ASSERT_EQ(Init("udp", text), 1);
    EXPECT_EQ(SendLog(text.c_str()), 1);
    EXPECT_EQ(ReadDatagram(server), text);
  }
}

// Host names are looked up first (localhost), dotted addresses parsed.
TEST_F(LinkTest, ResolvesNamesAndDottedAddresses) {
  Fd server = BoundSocket(SOCK_DGRAM);
  for (const char *host : {"localhost", "127.0.0.1", "127.1"}) {
    SCOPED_TRACE(host);
    ASSERT_EQ(Init("udp", std::to_string(PortOf(server)), host), 1);
    EXPECT_EQ(SendLog(host), 1);
    EXPECT_EQ(ReadDatagram(server), host);
  }
}

// ---- Failures and reconnection ----------------------------------------------

// Collector down at start: LogInit reports 0 with the start-up message; the
// first record, once the collector is up, reconnects and is itself delivered.
TEST_F(LinkTest, CollectorDownAtStartThenUp) {
  Fd listener = BoundSocket(SOCK_STREAM);
  const int p = PortOf(listener);
  EXPECT_EQ(Init("tcp", std::to_string(p)), 0);
  EXPECT_EQ(sockData->socket, -1);
  EXPECT_NE(DiagLog().find("VELDAgent [2]: Failed to connect to remote host 127.0.0.1:" +
                           std::to_string(p) + "\n\n"),
            std::string::npos)
      << DiagLog();

  ASSERT_EQ(listen(listener.fd, 4), 0);
  EXPECT_EQ(SendLog("first\n"), 1);
  EXPECT_EQ(SendLog("second\n"), 1);
  Fd conn = Accept(listener);
  EXPECT_EQ(ReadStream(conn, 13), "first\nsecond\n");
  EXPECT_EQ(Count(DiagLog(), "Failed to send message"), 0u);
}

// While nobody listens a record is dropped, the link tries again only after
// a pause (a collector that swallows packets must not cost a connect
// timeout per record), and nothing is queued for later.
TEST_F(LinkTest, CollectorStaysDownOneAttemptPerRetryPauseNoQueue) {
  Fd listener = BoundSocket(SOCK_STREAM);
  const std::string p = std::to_string(PortOf(listener));
  EXPECT_EQ(Init("TCP", p), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(SendLog("dropped\n"), 0);
  // The outage is said once, not once per record.
  EXPECT_EQ(
      Count(DiagLog(), "VELDAgent [2]: Failed to send message to host: 127.0.0.1:" + p + "\n"), 1u);

  EXPECT_EQ(SendLog("too soon\n"), 0);  // within the pause after a failed attempt
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(SendLog("tried again, still down\n"), 0);
  ASSERT_EQ(listen(listener.fd, 4), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(SendLog("kept\n"), 1);
  Fd conn = Accept(listener);
  EXPECT_EQ(ReadStream(conn, 100, 300), "kept\n");
  // When it is over, the failed attempts after the first and the records it
  // cost are each counted once.
  const std::string log = DiagLog();
  EXPECT_EQ(Count(log, "VELDAgent [2]: Failed to send message to host: 127.0.0.1:" + p +
                           " repeated 1 times\n"),
            1u)
      << log;
  EXPECT_EQ(Count(log,
                  "VELDAgent [2]: 5 metric records were dropped while the collector "
                  "could not be reached\n"),
            1u);
}

// The collector hangs up (a restart, say).  Our kernel would still accept a
// record into the dead connection and lose it, so the hang-up is noticed
// before the send: the first record after it already travels on the new
// connection, and nothing is lost.
TEST_F(LinkTest, CollectorHangUpLosesNoRecord) {
  Fd listener = BoundSocket(SOCK_STREAM);
  ASSERT_EQ(listen(listener.fd, 4), 0);
  ASSERT_EQ(Init("tcp", std::to_string(PortOf(listener))), 1);
  {
    Fd first = Accept(listener);
    EXPECT_EQ(SendLog("one\n"), 1);
    EXPECT_EQ(ReadStream(first, 4), "one\n");
  }                                                            // the collector hangs up
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // its FIN arrives
  EXPECT_EQ(SendLog("first after the hang-up\n"), 1);
  EXPECT_EQ(SendLog("after\n"), 1);
  Fd second = Accept(listener);
  ASSERT_GE(second.fd, 0);
  EXPECT_EQ(ReadStream(second, 100, 300), "first after the hang-up\nafter\n");
  EXPECT_EQ(Count(DiagLog(), "Failed to send message"), 0u);
}

// A collector that accepts but stops reading: once the buffers are full a
// record waits for room at most the stall limit (then it squeezes in or
// fails like any other send), instead of holding the tailer, and the
// monitor waiting on the lock, for ever.
TEST_F(LinkTest, CollectorThatStopsReadingHoldsASendOnlyForTheStallLimit) {
  Fd listener = BoundSocket(SOCK_STREAM);
  int small = 4096;
  setsockopt(listener.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_EQ(listen(listener.fd, 4), 0);
  ASSERT_EQ(Init("tcp", std::to_string(PortOf(listener))), 1);
  Fd stuck = Accept(listener);  // never read
  ASSERT_GE(stuck.fd, 0);

  const std::string rec = std::string(4000, 'r') + "\n";
  std::atomic<bool> done{false};
  std::atomic<long> stall_ms{0};
  std::atomic<int> result{-1};
  std::thread sender([&] {
    for (int i = 0; i < 4000; ++i) {
      auto t0 = std::chrono::steady_clock::now();
      int r = SendLog(rec.c_str());
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - t0)
                    .count();
      if (ms > 5000) {
        stall_ms = ms;
        result = r;
        break;
      }
    }
    done = true;
  });
  for (int waited = 0; !done && waited < 60000; waited += 100)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (!done) {
    // Still blocked: reset the connection so the thread can end.
    linger hard{1, 0};
    setsockopt(stuck.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(stuck.fd);
    stuck.fd = -1;
  }
  sender.join();
  EXPECT_GE(stall_ms.load(), 10000);
  EXPECT_LE(stall_ms.load(), 30000);
  EXPECT_EQ(result.load(), 1);
}

// A UDP refusal stops the pass.  On loopback the refusal of a datagram comes
// back inside its own send: the record is reported as not sent (the tailer
// keeps its offset), the failure is logged once however often it repeats,
// and the link does not try a fresh socket at once, which would take the
// record without complaint and lose it the same way.  Once someone listens,
// the next record goes on a fresh socket and the outage's count is said.
TEST_F(LinkTest, UdpRefusalFailsTheSendAndIsNotHiddenByAFreshSocket) {
  int p;
  { p = PortOf(BoundSocket(SOCK_DGRAM)); }  // free again at once
  ASSERT_EQ(Init("udp", std::to_string(p)), 1);
  EXPECT_EQ(SendLog("nobody\n"), 0);
  EXPECT_EQ(sockData->socket, -1) << "closed, not replaced at once";
  EXPECT_EQ(SendLog("nobody either\n"), 0);
  Fd server = BoundSocket(SOCK_DGRAM, p);
  EXPECT_EQ(SendLog("somebody\n"), 1);
  EXPECT_EQ(ReadDatagram(server), "somebody\n");
  EXPECT_EQ(ReadDatagram(server, 100), "<none>");
  const std::string log = DiagLog();
  const std::string failed = "Failed to send message to host: 127.0.0.1:" + std::to_string(p);
  EXPECT_EQ(Count(log, "VELDAgent [2]: " + failed + "\n"), 1u) << log;
  EXPECT_EQ(Count(log, failed + " repeated 1 times"), 1u) << log;
}

// A host that neither resolves nor parses: the resolver message, then the
// start-up message; each later record makes one more attempt.
TEST_F(LinkTest, UnresolvableHost) {
  const char *host = "no-such-host.invalid";
  for (const char *svc : {"tcp", "udp"}) {
    SCOPED_TRACE(svc);
    std::remove(pLogFile);
    EXPECT_EQ(Init(svc, "5140", host), 0);
    EXPECT_EQ(sockData->socket, -1);
    EXPECT_EQ(SendLog("x\n"), 0);
    const std::string log = DiagLog();
    EXPECT_EQ(Count(log, "VELDAgent [2]: could not resolve address[no-such-host.invalid]\n"), 2u)
        << log;
    EXPECT_EQ(
        Count(log, "VELDAgent [2]: Failed to connect to remote host no-such-host.invalid:5140\n\n"),
        1u);
    EXPECT_EQ(
        Count(log, "VELDAgent [2]: Failed to send message to host: no-such-host.invalid:5140\n"),
        1u);
  }
}

// An empty record counts as a failed send: the link is closed and opened
// again, SendLog reports 0, and the next record goes on the new connection.
TEST_F(LinkTest, EmptyRecordCountsAsFailed) {
  Fd listener = BoundSocket(SOCK_STREAM);
  ASSERT_EQ(listen(listener.fd, 4), 0);
  ASSERT_EQ(Init("tcp", std::to_string(PortOf(listener))), 1);
  Fd first = Accept(listener);
  EXPECT_EQ(SendLog(""), 0);
  EXPECT_EQ(ReadStream(first, 1), "");  // closed without a byte
  EXPECT_EQ(SendLog("next\n"), 1);
  Fd second = Accept(listener);
  EXPECT_EQ(ReadStream(second, 5), "next\n");
}

TEST_F(LinkTest, UnknownProtocolIsRefused) {
  Fd server = BoundSocket(SOCK_DGRAM);
  ASSERT_EQ(Init("udp", std::to_string(PortOf(server))), 1);
  sockData->proto = 7;
  EXPECT_EQ(NetConnect(sockData), 1);
  EXPECT_NE(DiagLog().find("VELDAgent [1]: Protocol not supported\n\n"), std::string::npos);
}

// ---- Locking and whole records ----------------------------------------------

// SendLog(NULL) returns 0 without waiting for the lock; a real record waits
// for it.
TEST_F(LinkTest, NullRecordTakesNoLockRealRecordDoes) {
  Fd server = BoundSocket(SOCK_DGRAM);
  ASSERT_EQ(Init("udp", std::to_string(PortOf(server))), 1);
  pthread_mutex_lock(SocketMutex);
  auto null_send = std::async(std::launch::async, [] { return SendLog(nullptr); });
  auto real_send = std::async(std::launch::async, [] { return SendLog("r\n"); });
  EXPECT_EQ(null_send.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(real_send.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  pthread_mutex_unlock(SocketMutex);
  EXPECT_EQ(null_send.get(), 0);
  EXPECT_EQ(real_send.get(), 1);
  EXPECT_EQ(ReadDatagram(server), "r\n");
}

// After daemonising 0, 1 and 2 are closed; the link must not take one of
// those numbers, or a stray write to stdout would land in the stream.
TEST_F(LinkTest, LinkSocketAvoidsStandardDescriptors) {
  Fd server = BoundSocket(SOCK_DGRAM);
  int saved[3];
  for (int i = 0; i < 3; ++i) saved[i] = dup(i);
  for (int i = 0; i < 3; ++i) close(i);
  int rc = Init("udp", std::to_string(PortOf(server)));
  int fd = sockData->socket;
  for (int i = 0; i < 3; ++i) {
    dup2(saved[i], i);
    close(saved[i]);
  }
  EXPECT_EQ(rc, 1);
  EXPECT_GT(fd, 2);
}

std::atomic<int> interruptions{0};
void CountInterruption(int) { interruptions.fetch_add(1, std::memory_order_relaxed); }

// Large records sent while the receiver reads slowly and signals keep
// interrupting the sender (so send() returns short counts or EINTR): two
// producers' records arrive whole and never interleaved.
TEST_F(LinkTest, NoPartialRecordsOnTcpUnderInterruptions) {
  Fd listener = BoundSocket(SOCK_STREAM);
  ASSERT_EQ(listen(listener.fd, 4), 0);
  ASSERT_EQ(Init("tcp", std::to_string(PortOf(listener))), 1);
  Fd conn = Accept(listener);

  struct sigaction sa {};
  sa.sa_handler = CountInterruption;  // no SA_RESTART: send() comes back early
  struct sigaction old {};
  sigaction(SIGUSR1, &sa, &old);

  constexpr int kPerThread = 8;
  constexpr size_t kBody = 512 * 1024;
  auto record = [](int producer, int i) {
    return std::to_string(producer) + ":" + std::to_string(i) + ":" +
           std::string(kBody, char('a' + producer)) + "\n";
  };
  const size_t total = 2 * kPerThread * record(0, 0).size();
  std::atomic<bool> done{false}, release{false};
  std::atomic<int> sent{0}, finished{0};
  // Producers outlive the signalling thread: a signal to a thread that has
  // been joined would hit a stale handle.
  auto producer = [&](int id) {
    for (int i = 0; i < kPerThread; ++i) sent += SendLog(record(id, i).c_str());
    ++finished;
    while (!release) std::this_thread::yield();
  };
  std::thread a(producer, 0), b(producer, 1);
  std::thread pest([&] {
    while (!done) {
      pthread_kill(a.native_handle(), SIGUSR1);
      pthread_kill(b.native_handle(), SIGUSR1);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::string got;
  char buf[16384];
  while (got.size() < total && Readable(conn.fd, kWaitMs)) {
    ssize_t n = recv(conn.fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  // On a failure the producers may still be blocked in send: hanging up
  // both sockets lets them fail and finish.
  conn = Fd();
  listener = Fd();
  while (finished < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  done = true;
  pest.join();
  release = true;
  a.join();
  b.join();
  sigaction(SIGUSR1, &old, nullptr);

  EXPECT_EQ(sent.load(), 2 * kPerThread);
  ASSERT_EQ(got.size(), total);
  std::vector<int> next(2, 0);
  for (size_t at = 0; at < got.size();) {
    int id = got[at] - '0';
    ASSERT_TRUE(id == 0 || id == 1) << "record boundary lost at byte " << at;
    const std::string want = record(id, next[id]++);
    ASSERT_EQ(got.compare(at, want.size(), want), 0)
        << "record " << id << ":" << next[id] - 1 << " cut";
    at += want.size();
  }
  EXPECT_GT(interruptions.load(), 0);
}

}  // namespace
