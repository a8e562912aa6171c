#include "bench_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "veld-config-unix.h"
#include "veld-hash.h"
#include "veld-logfile-format.h"
#include "veld-logfile.h"

// Every allocation of the process is counted, so "no allocation per record"
// is measured rather than assumed.
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
namespace {
std::atomic<unsigned long> g_allocs{0};
std::atomic<unsigned long> g_alloc_bytes{0};
void Count(size_t bytes) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  g_alloc_bytes.fetch_add(bytes, std::memory_order_relaxed);
}
}  // namespace
extern "C" void *malloc(size_t n) {
  Count(n);
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m) {
  Count(n * m);
  return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n) {
  Count(n);
  return __libc_realloc(p, n);
}

namespace veldbench {

unsigned long Allocations() { return g_allocs.load(std::memory_order_relaxed); }
unsigned long AllocatedBytes() { return g_alloc_bytes.load(std::memory_order_relaxed); }

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {
unsigned int NoSleep(unsigned int) { return 0; }
}  // namespace

void PointAgentAt(const std::string &dir, int port, bool tcp) {
  if (GlobalConfigHash == nullptr) {
    GlobalConfigHash = hashtable_alloc(1, 0);
    ExpandEnvironment();
  }
  std::snprintf(pLogFile, sizeof pLogFile, "%s/agent.log", dir.c_str());
  CfgHashAdd(kCfgRemoteHost, "127.0.0.1");
  CfgHashAdd(kCfgRemotePort, std::to_string(port).c_str());
  CfgHashAdd(kCfgRemoteService, tcp ? "tcp" : "udp");
  CfgHashAdd(kCfgLogRotationSize, "4096");  // nothing a benchmark tails is rotated
  veld_sleep = NoSleep;
  LogInit();
}

// ---- the sink ----

bool Sink::Start(bool tcp, std::string marker, bool arrivals) {
  tcp_ = tcp;
  marker_ = std::move(marker);
  keep_arrivals_ = arrivals && !marker_.empty();
  if (pipe2(wake_, O_CLOEXEC) != 0 || !Listen()) return false;
  thread_ = std::thread([this] { Drain(); });
  return true;
}

bool Sink::Listen() {
  listener_ = socket(AF_INET, (tcp_ ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return false;
  int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // A burst of datagrams must not overflow a receive buffer the drain
  // thread empties a moment later.
  int room = 16 << 20;
  if (setsockopt(listener_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
    setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port_));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len) != 0 ||
      (tcp_ && listen(listener_, 64) != 0)) {
    close(listener_);
    listener_ = -1;
    return false;
  }
  port_ = ntohs(a.sin_port);
  return true;
}

// Hands `c` to the drain thread and waits until it has been carried out.
bool Sink::Command(char c) {
  if (!thread_.joinable()) return false;
  const uint64_t before = commands_.load();
  if (write(wake_[1], &c, 1) != 1) return false;
  while (commands_.load() == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

bool Sink::Restart() { return Command('r') && listener_ >= 0; }
bool Sink::Down() { return Command('d'); }
bool Sink::Up() { return Command('u') && listener_ >= 0; }

std::vector<Sink::Arrival> Sink::Arrivals() const {
  std::lock_guard<std::mutex> lock(arrivals_mutex_);
  return arrivals_;
}

void Sink::Stop() {
  if (!thread_.joinable()) return;
  if (write(wake_[1], "s", 1) == 1) thread_.join();
  close(wake_[0]);
  close(wake_[1]);
  wake_[0] = wake_[1] = -1;
}

bool Sink::WaitFor(uint64_t n, double timeout_s, double quiet_s) const {
  const double deadline = WallSeconds() + timeout_s;
  uint64_t seen = records();
  double moved = WallSeconds();
  while (seen < n) {
    const double now = WallSeconds();
    if (now > deadline || now - moved > quiet_s) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (records() != seen) {
      seen = records();
      moved = WallSeconds();
    }
  }
  return true;
}

// Notes the arrival of a marked record by the number after its marker.
void Sink::Note(const char *record, size_t n, double at) {
  const char *m = static_cast<const char *>(memmem(record, n, marker_.data(), marker_.size()));
  if (m == nullptr) return;
  uint64_t number = 0;
  bool digits = false;
  for (const char *p = m + marker_.size() + 1; p < record + n && *p >= '0' && *p <= '9'; ++p) {
    number = number * 10 + static_cast<uint64_t>(*p - '0');
    digits = true;
  }
  if (!digits) return;
  std::lock_guard<std::mutex> lock(arrivals_mutex_);
  arrivals_.push_back({number, at});
}

// Counts the records in `buf`; a stream's line cut by the read end waits
// in `partial` for its rest.
void Sink::Take(std::string *partial, const char *buf, size_t n) {
  const double at = WallSeconds();
  uint64_t found = 0, lines = 0;
  if (!tcp_) {
    lines = 1;
    found = marker_.empty() || memmem(buf, n, marker_.data(), marker_.size()) != nullptr;
    if (found && keep_arrivals_) Note(buf, n, at);
  } else if (marker_.empty()) {
    found = lines = static_cast<uint64_t>(std::count(buf, buf + n, '\n'));
  } else {
    for (const char *p = buf, *end = buf + n; p < end;) {
      const char *nl = static_cast<const char *>(std::memchr(p, '\n', end - p));
      partial->append(p, nl ? nl : end);
      if (nl == nullptr) break;
      ++lines;
      if (partial->find(marker_) != std::string::npos) {
        ++found;
        if (keep_arrivals_) Note(partial->data(), partial->size(), at);
      }
      partial->clear();
      p = nl + 1;
    }
  }
  if (found > 0) {
    if (first_at_.load(std::memory_order_relaxed) == 0)
      first_at_.store(at, std::memory_order_release);
    last_at_.store(at, std::memory_order_release);
  }
  lines_.fetch_add(lines, std::memory_order_release);
  records_.fetch_add(found, std::memory_order_release);
}

void Sink::Drain() {
  struct Conn {
    int fd;
    std::string partial;
  };
  std::vector<Conn> conns;
  std::vector<pollfd> fds;
  // Each sink's own: sinks drain side by side.
  std::vector<char> space(1 << 16);
  char *const buf = space.data();
  const size_t room = space.size();
  for (;;) {
    fds.assign({{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}});
    for (const Conn &c : conns) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents != 0) {
      char cmd = 's';
      if (read(wake_[0], &cmd, 1) != 1) cmd = 's';
      if (cmd != 'u') {
        for (const Conn &c : conns) close(c.fd);
        conns.clear();
        if (listener_ >= 0) close(listener_);
        listener_ = -1;
      }
      if (cmd == 's') return;
      if (cmd != 'd' && listener_ < 0) Listen();
      commands_.fetch_add(1);
      continue;
    }
    if (listener_ >= 0 && fds[1].revents != 0) {
      if (tcp_) {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) conns.push_back({fd, {}});
      } else {
        for (ssize_t n; (n = recv(listener_, buf, room, MSG_DONTWAIT)) >= 0;)
          Take(nullptr, buf, static_cast<size_t>(n));
      }
    }
    for (size_t i = conns.size(); i-- > 0;) {
      if (fds[2 + i].revents == 0) continue;
      ssize_t n = read(conns[i].fd, buf, room);
      if (n > 0) {
        Take(&conns[i].partial, buf, static_cast<size_t>(n));
      } else {
        close(conns[i].fd);
        conns.erase(conns.begin() + static_cast<long>(i));
      }
    }
  }
}

// ---- reporting ----

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

double Paired::Ratio() const {
  std::vector<double> r;
  for (const Round &x : rounds_)
    if (x.baseline > 0) r.push_back(x.agent / x.baseline);
  return Median(r);
}

void Paired::Report(benchmark::State &state, const std::string &unit, double scale) const {
  std::vector<double> a, b;
  for (const Round &x : rounds_) {
    a.push_back(x.agent);
    b.push_back(x.baseline);
  }
  state.counters["agent_" + unit] = Median(a) * scale;
  state.counters["baseline_" + unit] = Median(b) * scale;
  state.counters["ratio"] = Ratio();
}

double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const double rank = std::ceil(q * static_cast<double>(v.size()));
  return v[std::clamp<size_t>(static_cast<size_t>(rank), 1, v.size()) - 1];
}

double TimeToTake(const Sink &sink, const std::string &block, uint64_t times, uint64_t records,
                  double timeout_s) {
  const uint64_t before = sink.records();
  const double t0 = WallSeconds();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(sink.port()));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool sent = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  for (uint64_t i = 0; sent && i < times; ++i)
    for (size_t off = 0; sent && off < block.size();) {
      const ssize_t n = write(fd, block.data() + off, block.size() - off);
      sent = n > 0;
      off += sent ? static_cast<size_t>(n) : 0;
    }
  const bool taken = sent && sink.WaitFor(before + records, timeout_s);
  const double seconds = WallSeconds() - t0;
  if (fd >= 0) close(fd);
  return taken ? seconds : -1;
}

std::string AgentRecords(size_t n, size_t width, const std::string &marker) {
  char head[logfile::kHeadMax];
  const std::string prefix(head, logfile::FormatHead(head, time(nullptr), logfile::kMsgIdLog));
  std::string out, line;
  for (size_t i = 0; i < n; ++i) {
    line = marker + " " + std::to_string(i) + " ";
    line.resize(width > line.size() + 1 ? width - 1 : line.size(), 'x');
    out += prefix + line + '\n';
  }
  return out;
}

void RaiseDescriptorLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
}

void AppendLines(const std::string &path, uint64_t first, uint64_t lines, size_t width,
                 const std::string &marker) {
  FILE *f = std::fopen(path.c_str(), "ae");
  if (f == nullptr) return;
  std::string line;
  for (uint64_t i = first; i < first + lines; ++i) {
    line = marker + " " + std::to_string(i) + " ";
    line.resize(width > line.size() + 1 ? width - 1 : line.size(), 'x');
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), f);
  }
  std::fclose(f);
}

}  // namespace veldbench
