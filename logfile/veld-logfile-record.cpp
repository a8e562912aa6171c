// veld-logfile-record: turning the bytes of a tailed file into log-line
// records.  Each record is "<stamp> VELDUnixLog: " + one line, built in place
// behind the prefix, which is written once per file per pass.
//
// What each thing met in the file does to the record being built:
//   line end        the record ends with it and is sent
//   record full     the line part reached its room (kRecordMax less the
//                   prefix): the record is sent without a line end and the
//                   line goes on in the next record
//   NUL byte        left out: clearing the top bit may make one too, and a NUL
//                   would end the record early while the offset moved past
//                   the rest; it still counts towards the record's length
//   0x8A            left out as well: with its top bit cleared it would be a
//                   line feed inside the record, which the collector takes
//                   for a record end, so a line could forge a record
//   hole            as many NULs, passed over without reading them, so a
//                   sparse file planted in a watched directory cannot make
//                   the tailer read terabytes
//   read error      stop; an unfinished line waits for the next pass
//   end of file     an unfinished line is sent as it stands
//   budget spent    stop at the first record end after it, so a writer
//                   faster than the pacing cannot hold the pass for ever
// A record left empty by the NULs taken out of it is not sent.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "veld-config-unix.h"
#include "veld-logfile-internal.h"
#include "veld-logfile.h"

using namespace logfile;

namespace {

class RecordBuilder {
 public:
  RecordBuilder(time_t stamp, uint64_t budget) : budget_(budget) {
    int plen = std::snprintf(rec_, sizeof rec_, kRecordPrefix, static_cast<unsigned long>(stamp));
    prefix_ = static_cast<size_t>(plen);
    cap_ = kRecordMax - prefix_;
    w_ = prefix_;
  }
  RecordBuilder(const RecordBuilder &) = delete;
  RecordBuilder &operator=(const RecordBuilder &) = delete;

  // Reads `fd` from its position to the end or the budget; the bytes consumed.
  uint64_t Run(int fd) {
    for (;;) {
      ssize_t n = read(fd, in_, sizeof in_);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return consumed_;
      if (n == 0) break;
      if (AllNul(static_cast<size_t>(n))) {
        if (TakeNuls(static_cast<uint64_t>(n)) || PassHole(fd)) return consumed_;
        continue;
      }
      if (TakeBytes(static_cast<size_t>(n))) return consumed_;
    }
    if (raw_ > 0) Emit();  // a last line still being written goes as it stands
    return consumed_;
  }

 private:
  bool AllNul(size_t n) const {
    return in_[0] == '\0' && in_[n - 1] == '\0' &&
           std::all_of(in_, in_ + n, [](char c) { return c == '\0'; });
  }

  // The record ends here: what it consumed is done, and it is sent unless
  // the NULs left it empty.  True when the budget is spent.
  bool Emit() {
    consumed_ += raw_;
    raw_ = 0;
    if (w_ != prefix_) {
      rec_[w_] = '\0';
      w_ = prefix_;
      SendLog(rec_);
      if (++count_ >= kRecordsPerPause) {
        veld_sleep(1);
        count_ = 0;
      }
    }
    return consumed_ >= budget_;
  }

  // True when the budget is spent.
  bool TakeBytes(size_t n) {
    for (size_t i = 0; i < n; ++i) {
      unsigned char b = static_cast<unsigned char>(in_[i]);
      ++raw_;
      char c = static_cast<char>(b & 0x7f);
      if (c != '\0' && (c != '\n' || b == '\n')) rec_[w_++] = c;
      if ((b == '\n' || raw_ == cap_) && Emit()) return true;
    }
    return false;
  }

  // `z` NUL bytes, as TakeBytes would take them, without reading them.
  // True when the budget is spent.
  bool TakeNuls(uint64_t z) {
    while (z > 0) {
      if (raw_ == 0 && w_ == prefix_ && z >= cap_) {
        // Whole records of NULs: each would be emitted empty and sent not.
        // Never more than TakeBytes would take before stopping at the budget.
        // (A ceiling written so that a budget near the top of the range
        // cannot wrap it to nothing and stall the loop.)
        const uint64_t left = consumed_ < budget_ ? budget_ - consumed_ : 0;
        const uint64_t allowed = left == 0 ? 1 : left / cap_ + (left % cap_ != 0 ? 1 : 0);
        uint64_t records = std::min<uint64_t>(z / cap_, allowed);
        consumed_ += records * cap_;
        z -= records * cap_;
        if (consumed_ >= budget_) return true;
        continue;
      }
      size_t take = static_cast<size_t>(std::min<uint64_t>(z, cap_ - raw_));
      raw_ += take;
      z -= take;
      if (raw_ == cap_ && Emit()) return true;
    }
    return false;
  }

  // After a buffer of nothing but NULs, which may be the start of a hole:
  // the rest of the hole is taken without reading it.  True when the budget
  // is spent.
  bool PassHole(int fd) {
    off_t here = lseek(fd, 0, SEEK_CUR);
    if (here < 0) return false;
    off_t data = lseek(fd, here, SEEK_DATA);
    off_t hole_end = data;
    if (data < 0 && errno == ENXIO) hole_end = lseek(fd, 0, SEEK_END);
    // Where no hole follows, the offset is still (or again) at `here`.
    return hole_end > here && TakeNuls(static_cast<uint64_t>(hole_end - here));
  }

  char rec_[kRecordBuffer];
  char in_[kReadBuffer];
  size_t prefix_ = 0;
  size_t cap_ = 0;  // raw line bytes per record
  uint64_t budget_;
  uint64_t consumed_ = 0;  // bytes behind the last record ended
  size_t raw_ = 0;         // raw bytes of the record being built
  size_t w_ = 0;           // where its next byte goes
  unsigned count_ = 0;     // records since the last pause
};

}  // namespace

uint64_t logfile::SendRecords(int fd, time_t stamp, uint64_t budget) {
  RecordBuilder builder(stamp, budget);
  return builder.Run(fd);
}
