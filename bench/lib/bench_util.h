// What every benchmark shares: counting the process's allocations, the
// agent's link pointed at a loopback sink, the sink itself, clocks, and the
// way a figure is reported beside its baseline.
//
// Every figure a benchmark prints stands beside a baseline measured in the
// same process and run, in alternating rounds: agent_<unit> and
// baseline_<unit> are medians over the rounds, ratio is the median of the
// per-round ratios agent / baseline (below 1: the agent is cheaper).
#ifndef VELD_BENCH_UTIL_H
#define VELD_BENCH_UTIL_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

namespace veldbench {

// Calls to malloc, calloc and realloc so far, by any thread of the process
// (operator new goes through malloc, so it counts too).
unsigned long Allocations();
// Bytes those calls asked for so far.
unsigned long AllocatedBytes();

// Seconds of CPU the calling thread has used; of wall-clock time.
double ThreadCpuSeconds();
double WallSeconds();

// Points the agent's settings and link at 127.0.0.1:`port` over TCP or UDP,
// its diagnostic log at `dir`/agent.log, and makes the pacing pauses free:
// what the benchmarks measure is the work, not the clock.  May be called
// again to move the link.
void PointAgentAt(const std::string &dir, int port, bool tcp);

// A loopback collector that a thread drains and discards.  It counts the
// records that reach it: every datagram, or every line of a stream, that
// holds `marker` (every one when the marker is empty); and, when asked,
// notes when each of those arrived by the number that follows the marker
// (as AppendLines and the benchmarks' writers number their lines).
class Sink {
 public:
  // A marked record's number and the time (WallSeconds) it was read.
  struct Arrival {
    uint64_t number;
    double at;
  };

  Sink() = default;
  ~Sink() { Stop(); }
  Sink(const Sink &) = delete;
  Sink &operator=(const Sink &) = delete;

  // Listens on a fresh port; false when no socket could be had.  With
  // `arrivals`, every marked record's arrival is noted.
  bool Start(bool tcp, std::string marker = "", bool arrivals = false);
  // Closes the listener and every connection, then listens again on the
  // same port: a collector restart as the agent sees it.
  bool Restart();
  // Closes the listener and every connection and stays away (connections
  // are refused) until Up listens again on the same port: an outage.
  bool Down();
  bool Up();
  void Stop();
  int port() const { return port_; }
  uint64_t records() const { return records_.load(std::memory_order_acquire); }
  // Every record, marked or not.
  uint64_t lines() const { return lines_.load(std::memory_order_acquire); }
  // When the first and the latest marked record were read (WallSeconds);
  // 0 before any.
  double first_at() const { return first_at_.load(std::memory_order_acquire); }
  double last_at() const { return last_at_.load(std::memory_order_acquire); }
  std::vector<Arrival> Arrivals() const;
  // Waits until at least `n` records have arrived; false after `timeout_s`,
  // or once none has arrived for `quiet_s` (datagrams may be dropped).
  bool WaitFor(uint64_t n, double timeout_s, double quiet_s = 1e9) const;

 private:
  bool Listen();
  bool Command(char c);
  void Drain();
  void Take(std::string *partial, const char *buf, size_t n);
  void Note(const char *record, size_t n, double at);

  bool tcp_ = true;
  std::string marker_;
  bool keep_arrivals_ = false;
  int port_ = 0;
  int listener_ = -1;
  int wake_[2] = {-1, -1};  // a command byte here: s(top), r(estart), d(own), u(p)
  std::atomic<uint64_t> records_{0};
  std::atomic<uint64_t> lines_{0};
  std::atomic<double> first_at_{0}, last_at_{0};
  std::atomic<uint64_t> commands_{0};  // done by the drain thread
  mutable std::mutex arrivals_mutex_;
  std::vector<Arrival> arrivals_;  // the drain thread's, under arrivals_mutex_
  std::thread thread_;
};

// Connects to the sink over TCP and writes `block` to it `times` times, as
// fast as the sink takes it; the seconds from the connection until the sink
// has counted `records` more records, or -1 when they did not all come
// within `timeout_s`.  What a collector needs to take those bytes.
double TimeToTake(const Sink &sink, const std::string &block, uint64_t times, uint64_t records,
                  double timeout_s);

// `n` records shaped as the agent sends them (its stamp prefix, then a
// line of `width` bytes, line end included, that holds `marker`).
std::string AgentRecords(size_t n, size_t width, const std::string &marker);

// The `q`-quantile (0..1) of `v`, nearest rank; 0 when empty.
double Quantile(std::vector<double> v, double q);

// Alternating rounds of the agent and its baseline.
class Paired {
 public:
  void Add(double agent, double baseline) { rounds_.push_back({agent, baseline}); }
  // One round: runs `agent` and `baseline` in turn, the one that went second
  // last time going first, and adds their thread CPU seconds, each divided
  // by `per`.  The agent's seconds are returned undivided.
  template <class Agent, class Baseline>
  double Alternate(Agent &&agent, Baseline &&baseline, double per = 1) {
    double a = 0, b = 0;
    for (int turn = 0; turn < 2; ++turn) {
      const double t0 = ThreadCpuSeconds();
      if (agent_first_ == (turn == 0)) {
        agent();
        a = ThreadCpuSeconds() - t0;
      } else {
        baseline();
        b = ThreadCpuSeconds() - t0;
      }
    }
    agent_first_ = !agent_first_;
    Add(a / per, b / per);
    return a;
  }
  // Sets agent_<unit>, baseline_<unit> (the medians, times `scale`) and ratio.
  void Report(benchmark::State &state, const std::string &unit, double scale) const;
  double Ratio() const;

 private:
  struct Round {
    double agent, baseline;
  };
  std::vector<Round> rounds_;
  bool agent_first_ = true;
};

double Median(std::vector<double> v);

// Lets the process hold as many descriptors as the hard limit allows, as the
// agent's tailer does before its first pass.
void RaiseDescriptorLimit();

// Writes `lines` lines of `width` bytes (line end included) that hold
// `marker`, numbered from `first`, to the end of `path`.
void AppendLines(const std::string &path, uint64_t first, uint64_t lines, size_t width,
                 const std::string &marker);

}  // namespace veldbench

#endif
