// veld-linereader: one line at a time from a file of any length, through a
// buffer the caller owns, so that reading /proc files allocates nothing.

#include "veld-linereader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace veld {

LineReader::LineReader(char *buf, size_t cap, size_t maxline)
    : buf_(buf), cap_(cap), maxline_(maxline < cap ? maxline : cap - 1) {}

LineReader::~LineReader() {
  if (fd_ >= 0) close(fd_);
}

bool LineReader::OpenFile(const char *path) {
  if (fd_ >= 0) close(fd_);
  start_ = end_ = 0;
  eof_ = skipping_ = false;
  fd_ = open(path, O_RDONLY | O_CLOEXEC);
  return fd_ >= 0;
}

// Moves the unread bytes to the front and reads more behind them; false at
// the end of the file (or on an error, which ends the file just the same).
bool LineReader::Fill() {
  if (start_ > 0) {
    std::memmove(buf_, buf_ + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  for (;;) {
    ssize_t n = read(fd_, buf_ + end_, cap_ - end_);
    if (n > 0) {
      end_ += static_cast<size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    eof_ = true;
    return false;
  }
}

bool LineReader::Next(std::string_view *line) {
  if (fd_ < 0) return false;
  for (;;) {
    const char *b = buf_ + start_;
    size_t avail = end_ - start_;
    size_t len = 0;
    while (len < avail && b[len] != '\n' && b[len] != '\r') ++len;
    if (len < avail) {  // a whole line (or the tail of an over-long one)
      start_ += len + 1;
      if (skipping_) {
        skipping_ = false;
        continue;
      }
      if (len == 0) continue;
      *line = std::string_view(b, len < maxline_ ? len : maxline_);
      return true;
    }
    if (skipping_) {
      start_ = end_;
    } else if (avail >= maxline_) {
      // Keep the head of an over-long line and drop the rest of it.
      *line = std::string_view(b, maxline_);
      start_ = end_;
      skipping_ = true;
      return true;
    } else if (eof_) {
      start_ = end_;
      if (avail == 0) return false;
      *line = std::string_view(b, avail);  // last line without an end
      return true;
    }
    if (!eof_)
      Fill();
    else if (skipping_)
      return false;
  }
}

}  // namespace veld
