// veldcollect-stream: holding a TCP agent's partial line until its end
// arrives, so that records of two agents never interleave inside a line.

#include "veldcollect-stream.h"

#include <cassert>
#include <cstring>

namespace collect {

LineStream::LineStream(size_t capacity, Sink sink)
    : buf_(new char[capacity]), capacity_(capacity), sink_(sink) {
  assert(capacity > 0);
}

bool LineStream::Flush() {
  bool ok = sink_(buf_.get(), held_);
  held_ = 0;
  return ok;
}

bool LineStream::Take(size_t got) {
  assert(got <= room());
  size_t total = held_ + got;
  char *end = static_cast<char *>(memrchr(buf_.get(), '\n', total));
  if (end != nullptr) {
    size_t whole = static_cast<size_t>(end - buf_.get()) + 1;
    if (!sink_(buf_.get(), whole)) return false;
    std::memmove(buf_.get(), buf_.get() + whole, total - whole);
    total -= whole;
  }
  // The hold counts from the last bytes received: a line still arriving in
  // pieces is not cut, and another agent's line not put into its middle.
  if (total > 0) since_ = Clock::now();
  held_ = total;
  // A line longer than the buffer goes out in pieces rather than stall.
  return held_ < capacity_ || Flush();
}

}  // namespace collect
