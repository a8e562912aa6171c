// A loopback TCP collector for the delivery and security tests: it keeps
// what each connection carried, and the records (lines, line end removed)
// of all of them in order of arrival.  It can go down and come back on the
// same port, and it can stop reading its first connection, as a collector
// that has hung does.
#ifndef VELD_TESTS_TCP_COLLECTOR_H
#define VELD_TESTS_TCP_COLLECTOR_H

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace veldtest {

class TcpCollector {
 public:
  using Clock = std::chrono::steady_clock;
  struct Stream {
    std::string bytes;
    bool closed = false;  // the agent has closed it and all of it is read
  };

  TcpCollector() = default;
  ~TcpCollector() { Stop(); }
  TcpCollector(const TcpCollector &) = delete;
  TcpCollector &operator=(const TcpCollector &) = delete;

  // Listens on the port of the previous Listen(), a fresh one the first
  // time.  With `stall_first` the first connection is accepted, through a
  // small window, but not read until Release().
  bool Listen(bool stall_first = false);
  // Down: the listener and every connection close at once, unread, or,
  // `clean`, once what the kernel had accepted for them is read, as a
  // collector that is stopped in good order does.
  void Stop(bool clean = false);
  // Reads the stalled connection again, through a window large enough to
  // take what has piled up behind it at once.
  void Release();
  int port() const { return port_; }

  // What each connection has carried so far, in the order they came.
  std::vector<Stream> Streams() const;
  std::string All() const;
  std::vector<std::string> Records() const;
  // Connections that ended inside a record.
  long Cut() const;
  // Log records so far, and when the last one came.
  std::pair<size_t, Clock::time_point> LogArrivals() const;

 private:
  struct Conn {
    int fd;
    size_t stream;        // its index in streams_
    std::string partial;  // bytes after the last line end
  };
  void Run(int listener);
  void Take(Conn &c, const char *bytes, size_t n);
  void Drop(Conn &c, bool read_all);

  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<bool> stalled_{false};
  std::atomic<bool> clean_{false};
  mutable std::mutex mu_;
  int first_fd_ = -1;  // the first connection, while it is open
  std::vector<Stream> streams_;
  std::vector<std::string> records_;
  long cut_ = 0;
  size_t log_records_ = 0;
  Clock::time_point last_log_ = Clock::now();
};

}  // namespace veldtest

#endif
