#include "tcp_collector.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace veldtest {

bool TcpCollector::Listen(bool stall_first) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  stalled_ = stall_first;
  // A small window (inherited by the accepted connections) fills within a
  // few records once the reading stops.
  int small = 4096;
  if (stall_first) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port_));
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0 ||
      pipe2(wake_, O_CLOEXEC) != 0) {
    close(fd);
    return false;
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this, fd] { Run(fd); });
  return true;
}

void TcpCollector::Stop(bool clean) {
  if (!thread_.joinable()) return;
  clean_ = clean;
  (void)!write(wake_[1], "x", 1);
  thread_.join();
  close(wake_[0]);
  close(wake_[1]);
}

void TcpCollector::Release() {
  std::lock_guard<std::mutex> lock(mu_);
  int big = 8 << 20;
  if (first_fd_ >= 0) setsockopt(first_fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
  stalled_ = false;
}

std::vector<TcpCollector::Stream> TcpCollector::Streams() const {
  std::lock_guard<std::mutex> lock(mu_);
  return streams_;
}

std::string TcpCollector::All() const {
  std::string out;
  for (const Stream &s : Streams()) out += s.bytes;
  return out;
}

std::vector<std::string> TcpCollector::Records() const {
  std::lock_guard<std::mutex> lock(mu_);
  return records_;
}

long TcpCollector::Cut() const {
  std::lock_guard<std::mutex> lock(mu_);
  return cut_;
}

std::pair<size_t, TcpCollector::Clock::time_point> TcpCollector::LogArrivals() const {
  std::lock_guard<std::mutex> lock(mu_);
  return {log_records_, last_log_};
}

void TcpCollector::Take(Conn &c, const char *bytes, size_t n) {
  c.partial.append(bytes, n);
  std::lock_guard<std::mutex> lock(mu_);
  streams_[c.stream].bytes.append(bytes, n);
  for (size_t end; (end = c.partial.find('\n')) != std::string::npos;) {
    records_.push_back(c.partial.substr(0, end));
    if (records_.back().find(" VELDUnixLog: ") != std::string::npos) {
      ++log_records_;
      last_log_ = Clock::now();
    }
    c.partial.erase(0, end + 1);
  }
}

void TcpCollector::Drop(Conn &c, bool read_all) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!c.partial.empty()) ++cut_;
  streams_[c.stream].closed = read_all;
  if (c.fd == first_fd_) first_fd_ = -1;
  close(c.fd);
}

void TcpCollector::Run(int listener) {
  std::vector<Conn> conns;
  static thread_local char buf[65536];
  for (;;) {
    std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listener, POLLIN, 0}};
    const bool stalled = stalled_;
    for (const Conn &c : conns)
      fds.push_back({c.fd, static_cast<short>(stalled && c.stream == 0 ? 0 : POLLIN), 0});
    // A stalled first connection is looked at again when Release() comes.
    if (poll(fds.data(), fds.size(), stalled ? 20 : -1) < 0) continue;
    if (fds[0].revents != 0) break;
    for (size_t i = 0; i < conns.size(); ++i) {
      if ((fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      if (stalled && conns[i].stream == 0) continue;
      ssize_t n = recv(conns[i].fd, buf, sizeof buf, 0);
      if (n > 0) {
        Take(conns[i], buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        Drop(conns[i], n == 0);
        conns[i].fd = -1;
      }
    }
    std::erase_if(conns, [](const Conn &c) { return c.fd < 0; });
    if ((fds[1].revents & POLLIN) != 0) {
      int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) {
        std::lock_guard<std::mutex> lock(mu_);
        streams_.emplace_back();
        if (streams_.size() == 1) first_fd_ = c;
        conns.push_back({c, streams_.size() - 1, ""});
      }
    }
  }
  for (Conn &c : conns) {
    // A clean stop first takes what the kernel has already accepted.
    for (ssize_t n; clean_ && (n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      Take(c, buf, static_cast<size_t>(n));
    Drop(c, false);
  }
  close(listener);
}

}  // namespace veldtest
