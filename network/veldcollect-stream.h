// veldcollect-stream: one TCP agent's byte stream, cut at line ends.  Bytes
// received go behind those held back; every complete line is handed to the
// sink at once, a partial line is held until its end arrives, the caller
// flushes it (its hold ran out, its connection closed, a stop), or it fills
// the buffer.  Bytes reach the sink unchanged and in order.  veldcollect's
// TCP loop (veldcollect.cpp) owns one per connected agent.
#ifndef VELDCOLLECT_STREAM_H
#define VELDCOLLECT_STREAM_H

#include <chrono>
#include <cstddef>
#include <memory>

namespace collect {

using Clock = std::chrono::steady_clock;

// Takes `len` bytes for the output; false when it cannot (reader gone).
using Sink = bool (*)(const char *data, size_t len);

class LineStream {
 public:
  // `capacity` bytes of buffer, at least 1; `sink` receives the output.
  LineStream(size_t capacity, Sink sink);

  // Where the next bytes received go, and how many fit there.
  char *space() { return buf_.get() + held_; }
  size_t room() const { return capacity_ - held_; }
  // Bytes of a partial line waiting for their end.
  size_t held() const { return held_; }
  // Whether held bytes have waited `hold` since the last bytes arrived.
  bool Overdue(Clock::time_point now, Clock::duration hold) const {
    return held_ > 0 && now - since_ >= hold;
  }

  // Takes `got` bytes just received into space() (at most room()) and hands
  // every complete line to the sink; false when the sink failed.
  bool Take(size_t got);
  // Hands the held bytes to the sink; false when the sink failed.  Nothing
  // is held afterwards either way.
  bool Flush();

 private:
  std::unique_ptr<char[]> buf_;
  size_t capacity_;
  size_t held_ = 0;
  Clock::time_point since_{};  // when the held bytes started waiting
  Sink sink_;
};

}  // namespace collect

#endif
