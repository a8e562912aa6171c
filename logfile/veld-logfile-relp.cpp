// veld-logfile-relp: building the headers of our RELP frames and reading
// the server's.  The reader is a byte-at-a-time state machine over the
// header and a bulk copy over DATA, so a frame may arrive in any pieces; it
// keeps nothing of DATA but its code and first line, and refuses numbers
// longer than their limits before they could overflow.

#include "veld-logfile-relp.h"

#include <algorithm>
#include <cstdio>

namespace logfile {

namespace {

constexpr size_t kNumberDigitsMax = 9;  // TXNR and DATALEN both

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

size_t RelpFrameHeader(char *out, uint32_t txnr, const char *command, size_t datalen) {
  int n = datalen > 0 ? std::snprintf(out, kRelpHeaderMax, "%u %s %zu ", txnr, command, datalen)
                      : std::snprintf(out, kRelpHeaderMax, "%u %s 0", txnr, command);
  return n > 0 ? std::min(static_cast<size_t>(n), kRelpHeaderMax - 1) : 0;
}

bool RelpReader::Byte(char c) {
  switch (state_) {
    case State::kTxnr:
      if (IsDigit(c) && digits_ < kNumberDigitsMax) {
        frame_.txnr = frame_.txnr * 10 + static_cast<uint32_t>(c - '0');
        ++digits_;
        return true;
      }
      if (c != ' ' || digits_ == 0) return false;
      state_ = State::kCommand;
      return true;
    case State::kCommand:
      if (IsLetter(c) && letters_ < kRelpCommandMax) {
        frame_.command[letters_++] = c;
        return true;
      }
      if (c != ' ' || letters_ == 0) return false;
      digits_ = 0;
      state_ = State::kLength;
      return true;
    case State::kLength:
      if (IsDigit(c) && digits_ < kNumberDigitsMax) {
        frame_.datalen = frame_.datalen * 10 + static_cast<size_t>(c - '0');
        ++digits_;
        return frame_.datalen <= kRelpDataMax;
      }
      if (digits_ == 0 || (c != ' ' && c != '\n')) return false;
      if (c == '\n') return frame_.datalen == 0;
      state_ = frame_.datalen > 0 ? State::kData : State::kTrailer;
      return true;
    default:
      return false;
  }
}

RelpReader::Result RelpReader::Take(const char **p, const char *end, RelpFrame *out) {
  while (*p < end) {
    if (state_ == State::kError) return Result::kError;
    if (state_ == State::kData) {
      const size_t take = std::min<size_t>(frame_.datalen - data_seen_, end - *p);
      for (size_t i = 0; i < take && !text_done_; ++i) {
        const char c = (*p)[i];
        if (c == '\n' || text_len_ == kRelpTextMax)
          text_done_ = true;
        else
          frame_.text[text_len_++] = c;
      }
      data_seen_ += take;
      *p += take;
      if (data_seen_ == frame_.datalen) state_ = State::kTrailer;
      continue;
    }
    const char c = *(*p)++;
    if (state_ == State::kTrailer) {
      if (c != '\n') return Fail();
    } else {
      // A frame without data ends with the LF behind its length.
      const bool lf_ended = state_ == State::kLength && c == '\n';
      if (!Byte(c)) return Fail();
      if (!lf_ended) continue;
    }
    const char *t = frame_.text;
    if (frame_.datalen >= 3 && IsDigit(t[0]) && IsDigit(t[1]) && IsDigit(t[2]) &&
        (t[3] == '\0' || t[3] == ' '))
      frame_.code = (t[0] - '0') * 100 + (t[1] - '0') * 10 + (t[2] - '0');
    *out = frame_;
    *this = RelpReader();
    return Result::kFrame;
  }
  return Result::kMore;
}

}  // namespace logfile
