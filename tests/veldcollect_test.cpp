// veldcollect as its users run it: the real program on loopback, fed by
// hand-made clients and by the real veldagentd tailing a file, with its
// standard output read back byte for byte.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A program started with its standard output and error on pipes.
class Process {
 public:
  explicit Process(const std::vector<std::string> &args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }
  ~Process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
  }
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  bool started() const { return pid_ > 0; }
  void Signal(int sig) { kill(pid_, sig); }

  // Reads both pipes until `done` holds, `timeout` passes or both pipes end;
  // done()'s last value.
  bool ReadUntil(const std::function<bool()> &done, milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!done()) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || (out_fd_ < 0 && err_fd_ < 0)) return false;
      pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
      if (poll(fds, 2, static_cast<int>(left)) <= 0) continue;
      Drain(fds[0], &out_fd_, &out);
      Drain(fds[1], &err_fd_, &err);
    }
    return true;
  }
  bool ReadFor(milliseconds t) {
    return ReadUntil([] { return false; }, t);
  }

  // Sends `sig` and waits for the exit; the wait status, or -1 on timeout.
  int Stop(int sig, milliseconds timeout = milliseconds(5000)) {
    kill(pid_, sig);
    return Wait(timeout);
  }
  int Wait(milliseconds timeout = milliseconds(5000)) {
    auto deadline = Clock::now() + timeout;
    int status = 0;
    while (Clock::now() < deadline) {
      ReadFor(milliseconds(10));
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        ReadFor(milliseconds(50));
        return status;
      }
    }
    return -1;
  }

  std::string out, err;

 private:
  // Appends what one pipe holds; closes it (and sets *fd to -1) at its end.
  static void Drain(const pollfd &p, int *fd, std::string *to) {
    if (*fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) return;
    char buf[4096];
    ssize_t n = read(*fd, buf, sizeof(buf));
    if (n > 0) {
      to->append(buf, static_cast<size_t>(n));
    } else {
      close(*fd);
      *fd = -1;
    }
  }

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
};

int ExitCode(int status) { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::string Collect() { return veldtest::BuiltProgram("veldcollect"); }

// Starts veldcollect on a free loopback port; returns the port, 0 on failure.
int StartCollector(Process &p) {
  const std::string prefix = "listening on 127.0.0.1:";
  int port = 0;
  p.ReadUntil(
      [&] {
        size_t at = p.err.find(prefix);
        if (at == std::string::npos || p.err.find('\n', at) == std::string::npos) return false;
        port = std::atoi(p.err.c_str() + at + prefix.size());
        return true;
      },
      milliseconds(5000));
  return port;
}

// "<digits> VELDUnixLog: <text>": the stamp and the text, or stamp -1.
std::pair<long, std::string> ParseRecord(const std::string &line) {
  const std::string tag = " VELDUnixLog: ";
  size_t digits = line.find_first_not_of("0123456789");
  if (digits == 0 || digits == std::string::npos || line.compare(digits, tag.size(), tag) != 0)
    return {-1, ""};
  return {std::stol(line.substr(0, digits)), line.substr(digits + tag.size())};
}

int Connect(int port, int type = SOCK_STREAM) {
  int fd = socket(AF_INET, type, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string &s) {
  return send(fd, s.data(), s.size(), 0) == static_cast<ssize_t>(s.size());
}

bool Contains(const std::string &hay, const std::string &needle) {
  return hay.find(needle) != std::string::npos;
}

// --- Command line

TEST(VeldCollect, HelpPrintsUsageAndSucceeds) {
  Process p({Collect(), "-h"});
  ASSERT_TRUE(p.started());
  EXPECT_EQ(ExitCode(p.Wait()), 0);
  EXPECT_TRUE(
      Contains(p.out, "Usage: veldcollect [-u] [-a address] [-T cert -K key [-C ca]] -p port\n"))
      << p.out;
}

TEST(VeldCollect, BadArgumentsAreNamedAndRefused) {
  struct Case {
    std::vector<std::string> args;
    const char *says;
  } cases[] = {
      {{}, "no port given"},
      {{"-p", "http"}, "bad port \"http\""},
      {{"-p", "65536"}, "bad port \"65536\""},
      {{"-p", "-1"}, "bad port \"-1\""},
      {{"-p", "9", "-a", "localhost:9"}, "bad address \"localhost:9\""},
      {{"-p", "9", "-x"}, "unknown option -x"},
      {{"-p"}, "option -p needs a value"},
      {{"-p", "9", "extra"}, "unexpected argument \"extra\""},
      {{"-p", "9", "-T", "c.pem"}, "-T and -K go together"},
      {{"-p", "9", "-C", "ca.pem"}, "-C needs -T and -K"},
      {{"-p", "9", "-u", "-T", "c.pem", "-K", "k.pem"}, "TLS (-T) is for TCP, not -u"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args{Collect()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Process p(args);
    EXPECT_EQ(ExitCode(p.Wait()), 2) << c.says;
    EXPECT_TRUE(Contains(p.err, c.says)) << p.err;
    EXPECT_TRUE(Contains(p.err, "Usage: veldcollect")) << p.err;
    EXPECT_TRUE(p.out.empty());
  }
}

TEST(VeldCollect, PortInUseIsReportedForTcpAndUdp) {
  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    int holder = socket(AF_INET, type, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
    if (type == SOCK_STREAM) {
      ASSERT_EQ(listen(holder, 1), 0);
    }
    socklen_t len = sizeof(sa);
    getsockname(holder, reinterpret_cast<sockaddr *>(&sa), &len);
    std::string port = std::to_string(ntohs(sa.sin_port));
    bool udp = type == SOCK_DGRAM;
    std::vector<std::string> args{Collect(), "-p", port};
    if (udp) args.push_back("-u");
    Process p(args);
    EXPECT_EQ(ExitCode(p.Wait()), 1);
    std::string want =
        "cannot listen on 127.0.0.1:" + port + (udp ? "/udp" : "/tcp") + ": Address already in use";
    EXPECT_TRUE(Contains(p.err, want)) << p.err;
    close(holder);
  }
}

// --- TCP

TEST(VeldCollect, SeveralTcpAgentsAtOnceKeepTheirLinesWholeAndBytesExact) {
  Process p({Collect(), "-p", "0"});
  int port = StartCollector(p);
  ASSERT_NE(port, 0) << p.err;
  // Three agents, each line sent in two pieces with the others' pieces in
  // between, and bytes a text filter would mangle.
  std::vector<int> agents;
  for (int i = 0; i < 3; ++i) agents.push_back(Connect(port));
  for (int fd : agents) ASSERT_GE(fd, 0);
  std::string sent[3], rest[3];
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 3; ++i) {
      std::string line = "agent " + std::to_string(i) + " line " + std::to_string(round) +
                         std::string("\t\x01\xff\0 end\r", 9) + "\n";
      sent[i] += line;
      rest[i] = line.substr(9);
      ASSERT_TRUE(SendAll(agents[i], line.substr(0, 9)));
    }
    std::this_thread::sleep_for(milliseconds(20));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(SendAll(agents[i], rest[i]));
  }
  size_t total = sent[0].size() + sent[1].size() + sent[2].size();
  ASSERT_TRUE(p.ReadUntil([&] { return p.out.size() >= total; }, milliseconds(5000)));
  EXPECT_EQ(p.out.size(), total);
  // Every line arrived whole, and each agent's lines in their order.
  for (int i = 0; i < 3; ++i) {
    size_t at = 0;
    for (size_t start = 0; start < sent[i].size();) {
      size_t end = sent[i].find('\n', start) + 1;
      std::string line = sent[i].substr(start, end - start);
      size_t found = p.out.find(line, at);
      ASSERT_NE(found, std::string::npos) << "agent " << i;
      at = found + line.size();
      start = end;
    }
  }
  for (int fd : agents) close(fd);
  EXPECT_EQ(ExitCode(p.Stop(SIGTERM)), 0);
}

TEST(VeldCollect, PartialLineIsShownSoonAndEndsTheStreamOnClose) {
  Process p({Collect(), "-p", "0"});
  int port = StartCollector(p);
  ASSERT_NE(port, 0);
  int fd = Connect(port);
  ASSERT_TRUE(SendAll(fd, "whole\npart"));
  // Held back briefly for its line end, then shown without it.
  ASSERT_TRUE(p.ReadUntil([&] { return p.out == "whole\npart"; }, milliseconds(3000))) << p.out;
  ASSERT_TRUE(SendAll(fd, "ial\ntail"));
  close(fd);
  ASSERT_TRUE(p.ReadUntil([&] { return p.out == "whole\npartial\ntail"; }, milliseconds(3000)))
      << p.out;
  EXPECT_EQ(ExitCode(p.Stop(SIGINT)), 0);
}

TEST(VeldCollect, InterruptWritesHeldBytesAndEndsCleanly) {
  Process p({Collect(), "-p", "0"});
  int port = StartCollector(p);
  ASSERT_NE(port, 0);
  int fd = Connect(port);
  ASSERT_TRUE(SendAll(fd, "no line end"));
  p.ReadFor(milliseconds(100));
  EXPECT_EQ(ExitCode(p.Stop(SIGINT)), 0);
  EXPECT_EQ(p.out, "no line end");
  close(fd);
}

// A line that arrives in pieces further apart than nothing but the hold
// time allows is not cut, and other agents' lines go around it, not into it.
TEST(VeldCollect, LineArrivingInSlowPiecesStaysWhole) {
  Process p({Collect(), "-p", "0"});
  int port = StartCollector(p);
  ASSERT_NE(port, 0);
  int slow = Connect(port), quick = Connect(port);
  ASSERT_GE(slow, 0);
  ASSERT_GE(quick, 0);
  std::string whole;
  for (int i = 0; i < 6; ++i) {
    std::string piece = "s";
    piece += std::to_string(i);
    piece += "-";
    whole += piece;
    ASSERT_TRUE(SendAll(slow, piece));
    ASSERT_TRUE(SendAll(quick, "quick " + std::to_string(i) + "\n"));
    p.ReadFor(milliseconds(150));
  }
  ASSERT_TRUE(SendAll(slow, "end\n"));
  whole += "end\n";
  ASSERT_TRUE(p.ReadUntil([&] { return Contains(p.out, "end\n"); }, milliseconds(3000)));
  EXPECT_TRUE(Contains(p.out, whole)) << p.out;
  close(slow);
  close(quick);
  EXPECT_EQ(ExitCode(p.Stop(SIGTERM)), 0);
}

// Bytes an agent sent before the stop were acknowledged to it, so they are
// written even when the collector had not read them yet.  The collector is
// frozen while they arrive, then stopped.
TEST(VeldCollect, StopWritesWhatAgentsHadAlreadySent) {
  for (bool udp : {false, true}) {
    SCOPED_TRACE(udp ? "udp" : "tcp");
    std::vector<std::string> args{Collect(), "-p", "0"};
    if (udp) args.push_back("-u");
    Process p(args);
    int port = StartCollector(p);
    ASSERT_NE(port, 0);
    int fd = Connect(port, udp ? SOCK_DGRAM : SOCK_STREAM);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, "before\n"));
    ASSERT_TRUE(p.ReadUntil([&] { return p.out == "before\n"; }, milliseconds(3000)));
    p.Signal(SIGSTOP);
    std::string expect = "before\n";
    for (int i = 0; i < 200; ++i) {
      std::string line = "queued " + std::to_string(i) + "\n";
      ASSERT_TRUE(SendAll(fd, line));
      expect += line;
    }
    ASSERT_TRUE(SendAll(fd, "unfinished"));
    expect += "unfinished";
    // Over TCP: until the collector's kernel has acknowledged every byte.
    for (int unacked = 1, k = 0; !udp && unacked > 0 && k < 300; ++k) {
      if (ioctl(fd, SIOCOUTQ, &unacked) != 0) break;
      if (unacked > 0) std::this_thread::sleep_for(milliseconds(10));
    }
    p.Signal(SIGTERM);
    p.Signal(SIGCONT);
    EXPECT_EQ(ExitCode(p.Wait()), 0);
    EXPECT_EQ(p.out, expect);
    close(fd);
  }
}

// More agents than the descriptor limit allows: the surplus is refused (its
// connection closed at once) instead of being left connected but unread,
// where an agent would block once its buffers fill.  The others are served.
TEST(VeldCollect, AgentsBeyondTheDescriptorLimitAreRefused) {
  Process p({"/bin/sh", "-c", "ulimit -n 32 && exec \"$0\" -p 0", Collect()});
  int port = StartCollector(p);
  ASSERT_NE(port, 0) << p.err;
  std::vector<int> agents;
  for (int i = 0; i < 24; ++i) {
    agents.push_back(Connect(port));
    ASSERT_GE(agents.back(), 0);
    p.ReadFor(milliseconds(20));  // accepted in the order they came
  }
  p.ReadFor(milliseconds(300));  // time for the refusals to arrive
  int refused = 0;
  std::string expect;
  for (size_t i = 0; i < agents.size(); ++i) {
    char c;
    if (recv(agents[i], &c, 1, MSG_DONTWAIT) == 0) {
      ++refused;
      continue;
    }
    std::string line = "agent " + std::to_string(i) + "\n";
    ASSERT_TRUE(SendAll(agents[i], line));
    expect += line;
  }
  EXPECT_EQ(refused, 8);  // 32 descriptors, 16 kept for everything else
  ASSERT_TRUE(p.ReadUntil([&] { return p.out.size() >= expect.size(); }, milliseconds(3000)));
  EXPECT_EQ(p.out.size(), expect.size());
  for (int fd : agents) close(fd);
  EXPECT_EQ(ExitCode(p.Stop(SIGTERM)), 0);
}

// --- UDP

TEST(VeldCollect, UdpDatagramsAreWrittenAsTheyCame) {
  Process p({Collect(), "-u", "-p", "0"});
  int port = StartCollector(p);
  ASSERT_NE(port, 0) << p.err;
  EXPECT_TRUE(Contains(p.err, "/udp"));
  int fd = Connect(port, SOCK_DGRAM);
  ASSERT_GE(fd, 0);
  std::string expect;
  for (const std::string &d :
       {std::string("one\n"), std::string("two, no end"), std::string("three\0\xff\n", 8)}) {
    ASSERT_TRUE(SendAll(fd, d));
    expect += d;
  }
  ASSERT_TRUE(p.ReadUntil([&] { return p.out.size() >= expect.size(); }, milliseconds(3000)));
  EXPECT_EQ(p.out, expect);
  close(fd);
  EXPECT_EQ(ExitCode(p.Stop(SIGTERM)), 0);
}

// --- With the real agent

// The agent tails a file and forwards each line to veldcollect; the records
// read back from veldcollect's output are exactly "<stamp> VELDUnixLog: <line>\n".
// Over tls veldcollect makes its own key and certificate (for localhost),
// which the agent trusts and checks.
void AgentSendsThrough(const char *service) {
  bool udp = std::strcmp(service, "udp") == 0;
  bool tls = std::strcmp(service, "tls") == 0;
  veldtest::TempDir dir;
  std::vector<std::string> args{Collect(), "-p", "0"};
  if (udp) args.push_back("-u");
  if (tls) args.insert(args.end(), {"-T", dir / "collector.pem", "-K", dir / "collector.key"});
  Process collector(args);
  int port = StartCollector(collector);
  ASSERT_NE(port, 0) << collector.err;
  if (tls) {
    ASSERT_TRUE(collector.ReadUntil([&] { return Contains(collector.err, "for localhost"); },
                                    milliseconds(10000)))
        << collector.err;
  }

  std::string log = dir / "app.log";
  const std::string lines[] = {"first line", "second\tline with 'quotes' & $(no shell)",
                               "third line, appended later"};
  veldtest::WriteFile(log, lines[0] + "\n" + lines[1] + "\n");
  veldtest::WriteFile(
      dir / "agent.cfg",
      "RemoteHost=127.0.0.1\nRemotePort=" + std::to_string(port) + "\nRemoteService=" + service +
          "\nLogFile=" + log + "\nWatchdogFile=" + (dir / "positions") +
          "\nRemoteServerName=localhost\nRemoteCAFile=" + (dir / "collector.pem") + "\n");
  time_t first = time(nullptr);
  Process agent({veldtest::BuiltProgram("veldagentd"), "-d", "-c", dir / "agent.cfg"});
  ASSERT_TRUE(agent.started());

  // Complete log-line records in the collector's output, in order.
  auto records = [&] {
    std::vector<std::pair<long, std::string>> found;
    for (size_t start = 0, end; (end = collector.out.find('\n', start)) != std::string::npos;
         start = end + 1) {
      auto r = ParseRecord(collector.out.substr(start, end - start));
      if (r.first >= 0) found.push_back(r);
    }
    return found;
  };
  // The agent waits 5 s before its first pass over the file.
  ASSERT_TRUE(collector.ReadUntil([&] { return records().size() >= 2; }, milliseconds(30000)))
      << "collector: " << collector.out << "\nagent: " << agent.err;
  veldtest::AppendFile(log, lines[2] + "\n");
  // The next pass comes 10 s after the first.
  ASSERT_TRUE(collector.ReadUntil([&] { return records().size() >= 3; }, milliseconds(30000)))
      << collector.out;
  collector.ReadFor(milliseconds(200));
  time_t last = time(nullptr);

  auto got = records();
  ASSERT_EQ(got.size(), 3u) << collector.out;
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(got[i].second, lines[i]);
    EXPECT_GE(got[i].first, first);
    EXPECT_LE(got[i].first, last);
    std::string exact = std::to_string(got[i].first) + " VELDUnixLog: " + lines[i] + "\n";
    EXPECT_TRUE(Contains(collector.out, exact)) << exact;
  }
  // The appended line comes in the next pass, or in the same one when the
  // tailer was still reading when it landed.
  EXPECT_LE(got[1].first, got[2].first);
  agent.Stop(SIGTERM);
  EXPECT_EQ(ExitCode(collector.Stop(SIGTERM)), 0);
}

TEST(VeldCollectWithAgent, TcpRecordsArriveExactly) { AgentSendsThrough("tcp"); }

TEST(VeldCollectWithAgent, UdpRecordsArriveExactly) { AgentSendsThrough("udp"); }

TEST(VeldCollectWithAgent, TlsRecordsArriveExactly) { AgentSendsThrough("tls"); }

}  // namespace
