// An in-process UDP collector for the tests that drive the agent's own link:
// a socket on 127.0.0.1 that a thread drains into a list, one datagram a
// record, so that a pass sending hundreds of records never overflows the
// socket buffer while the test thread is busy.
//
//   veldtest::UdpCollector collector;
//   ... point RemoteHost/RemotePort/RemoteService=udp at collector.port(),
//   ... LogInit(), then make the agent send ...
//   EXPECT_EQ(collector.Drain(), (std::vector<std::string>{...}));
//
// Drain() sends a marker through the same link (SendLog) and returns what
// arrived before it: loopback keeps one socket's datagrams in order, so
// nothing sent before the call is missed and nothing is waited for blindly.
#ifndef VELD_TEST_UDP_COLLECTOR_H
#define VELD_TEST_UDP_COLLECTOR_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "veld-logfile.h"

namespace veldtest {

class UdpCollector {
 public:
  UdpCollector() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
      ADD_FAILURE() << "socket: " << std::strerror(errno);
      return;
    }
    // Room for a whole burst even when the reader thread is slow to be
    // scheduled; root may go past rmem_max.
    int big = 16 << 20;
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
      ADD_FAILURE() << "bind: " << std::strerror(errno);
      return;
    }
    port_ = ntohs(a.sin_port);
    Resume();
  }
  ~UdpCollector() {
    Hold();
    if (fd_ >= 0) close(fd_);
  }
  // Stops the reader thread (datagrams wait in the socket meanwhile) and
  // starts it again: a test that forks holds it first, since a child forked
  // while another thread is inside the allocator inherits its lock, taken
  // for ever.
  void Hold() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
  }
  void Resume() {
    stop_ = false;
    reader_ = std::thread([this] { Run(); });
  }
  UdpCollector(const UdpCollector &) = delete;
  UdpCollector &operator=(const UdpCollector &) = delete;

  int port() const { return port_; }

  // Waits until `n` records are in (or 10 s pass) and returns all of them;
  // they stay for the next call.
  std::vector<std::string> WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return records_.size() >= n; });
    return records_;
  }

  // The records that arrived before a marker sent now through the link;
  // any that arrived after it stay for the next call.
  std::vector<std::string> Drain() {
    const std::string marker = "--drain-marker-" + std::to_string(++markers_) + "--";
    EXPECT_EQ(SendLog(marker.c_str()), 1);
    std::unique_lock<std::mutex> lock(mu_);
    bool seen = cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      for (const std::string &r : records_)
        if (r == marker) return true;
      return false;
    });
    EXPECT_TRUE(seen) << "marker never arrived";
    std::vector<std::string> before, after;
    bool past = false;
    for (std::string &r : records_) {
      if (r == marker) {
        past = true;
        continue;
      }
      (past ? after : before).push_back(std::move(r));
    }
    records_ = std::move(after);
    return before;
  }

 private:
  void Run() {
    std::vector<char> buf(70000);  // more than any datagram
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
      if (n < 0) continue;
      std::lock_guard<std::mutex> lock(mu_);
      records_.emplace_back(buf.data(), static_cast<size_t>(n));
      cv_.notify_all();
    }
  }

  int fd_ = -1;
  int port_ = 0;
  int markers_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> records_;
  std::thread reader_;
};

}  // namespace veldtest

#endif
