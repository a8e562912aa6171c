// veld-logfile-record: turning the bytes of a tailed file into log-line
// records and handing them to the link in batches.  Each record is the
// format's head + one line, built in place in the batch behind a head made
// once per file per pass.
//
// What each thing met in the file does to the record being built (the bytes
// left out, and whether the line end stays, are the format's):
//   line end        the record ends with it
//   record full     the line part reached its room (kRecordMax less the
//                   prefix; kLinePart in rfc5424): the record ends without a line end and the line
//                   goes on in the next record
//   NUL byte        left out: in plain, clearing the top bit may make one too, and a NUL
//                   would end the record early while the offset moved past
//                   the rest; it still counts towards the record's length
//   0x8A            plain only, left out as well: with its top bit cleared it would be a
//                   line feed inside the record, which the collector takes
//                   for a record end, so a line could forge a record
//   hole            as many NULs, passed over without reading them, so a
//                   sparse file planted in a watched directory cannot make
//                   the tailer read terabytes
//   read error      stop; an unfinished line waits for the next pass
//   end of file     an unfinished line goes as it stands, unless the file
//                   shrank or changed under it: then nothing of it goes, and
//                   the caller looks for where the rest went
//   limit reached   stop at the first record end after what the file held
//                   when opened, so a writer faster than the pacing cannot
//                   hold the pass for ever
//   200 records     the batch goes out and the burst ends (kBurst)
//   link failure    stop; the offset stays at the first record not sent
// A record left empty by the NULs taken out of it is not sent.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "veld-assert.h"
#include "veld-logfile-record.h"
#include "veld-logfile-stats.h"

namespace logfile {

void RecordReader::Start(int fd, uint64_t from, uint64_t limit, time_t stamp) {
  fd_ = fd;
  pos_ = done_ = taken_ = in_at_ = from;
  limit_ = limit;
  format_ = CurrentFormat();
  plen_ = FormatHead(prefix_, stamp, kMsgIdLog);
  cap_ = format_ == RecordFormat::kPlain ? kRecordMax - plen_ : kLinePart;
  raw_ = 0;
  building_ = paused_ = false;
  burst_ = 0;
  sent_ = 0;
  batch_.used = batch_.count = 0;
  in_len_ = in_next_ = 0;
  head_ = Fingerprint{};
}

// Sends what the batch holds.  Everything taken so far is done when all of it
// went; otherwise done stops behind the last record that went.
bool RecordReader::Flush() {
  size_t sent = batch_.count > 0 ? LinkSendBatch(batch_) : 0;
  bool all = sent == batch_.count;
  sent_ += sent;
  uint64_t bytes = 0;
  for (size_t i = 0; i < sent; ++i) bytes += batch_.entries[i].len;
  CountSent(sent, bytes);
  if (all)
    done_ = taken_;
  else if (sent > 0)
    done_ = batch_.entries[sent - 1].end;
  // Invariant: what is handed over never passes what was taken from the
  // file, and that never passes what was read from it.
  VELD_ASSERT(done_ <= taken_ && taken_ <= pos_);
  batch_.used = batch_.count = 0;
  return all;
}

// The record in the making ends.  False when a batch had to go and could not.
bool RecordReader::Emit() {
  taken_ += raw_;
  raw_ = 0;
  if (!building_) {
    if (batch_.count == 0) done_ = taken_;  // nothing waits before this empty record
    return true;
  }
  building_ = false;
  Batch::Entry &e = batch_.entries[batch_.count - 1];
  e.len = static_cast<uint32_t>(batch_.used - e.start);
  e.end = taken_;
  // Invariants: a record is never longer than its format allows (a plain
  // one than kRecordMax), the batch never holds more than a burst of
  // records or more bytes than it has.
  VELD_ASSERT(e.len <=
                  (CurrentFormat() == RecordFormat::kPlain ? kRecordMax : kHeadMax + kLinePart) &&
              batch_.used <= Batch::kBytes);
  VELD_ASSERT(batch_.count <= kBurstRecords && raw_ == 0);
  ++burst_;
  if (burst_ >= kBurstRecords) {
    paused_ = true;
    return Flush();
  }
  return true;
}

// Bytes of the file's buffer from in_next_; *stop when the reader must
// return (pause, limit or failure: the caller tells which).
bool RecordReader::TakeBytes(const char *in, size_t n, bool *stop) {
  for (size_t i = 0; i < n; ++i) {
    // A batch that cannot hold another whole record ends the burst, as
    // kBurstRecords records do: one burst is one send.
    if (raw_ == 0 && batch_.count > 0 && Batch::kBytes - batch_.used < plen_ + cap_) {
      paused_ = true;
      if (!Flush()) return false;
      *stop = true;
      return true;
    }
    unsigned char b = static_cast<unsigned char>(in[i]);
    char c;
    const bool keep = FormatTake(format_, b, &c);
    ++raw_;
    ++in_next_;
    // A line end starts a record too: an empty line is a record, whether or
    // not the format keeps the line end.
    if (keep || b == '\n') {
      if (!building_) {
        // Room for a whole record, or the batch goes first (only after NULs
        // that began this record, which the check above lets through).
        if (Batch::kBytes - batch_.used < plen_ + cap_ && !Flush()) return false;
        batch_.entries[batch_.count++] = Batch::Entry{static_cast<uint32_t>(batch_.used), 0, 0};
        std::memcpy(batch_.bytes + batch_.used, prefix_, plen_);
        batch_.used += plen_;
        building_ = true;
      }
      if (keep) batch_.bytes[batch_.used++] = c;
    }
    if (b == '\n' || raw_ == cap_) {
      if (!Emit()) return false;
      if (paused_ || taken_ >= limit_) {
        *stop = true;
        return true;
      }
    }
  }
  return true;
}

// `z` NUL bytes, as TakeBytes would take them, without reading them.
bool RecordReader::TakeNuls(uint64_t z, bool *stop) {
  while (z > 0) {
    if (raw_ == 0 && !building_ && z >= cap_) {
      // Whole records of NULs: each would end empty and go not.  Never more
      // than TakeBytes would take before stopping at the limit.  (A ceiling
      // written so that a limit near the top of the range cannot wrap it to
      // nothing and stall the loop.)
      const uint64_t left = taken_ < limit_ ? limit_ - taken_ : 0;
      const uint64_t allowed = left == 0 ? 1 : left / cap_ + (left % cap_ != 0 ? 1 : 0);
      const uint64_t records = std::min<uint64_t>(z / cap_, allowed);
      taken_ += records * cap_;
      z -= records * cap_;
      if (batch_.count == 0) done_ = taken_;
      if (taken_ >= limit_) {
        *stop = true;
        return true;
      }
      continue;
    }
    size_t take = static_cast<size_t>(std::min<uint64_t>(z, cap_ - raw_));
    raw_ += take;
    z -= take;
    if (raw_ == cap_) {
      if (!Emit()) return false;
      if (paused_ || taken_ >= limit_) {
        *stop = true;
        return true;
      }
    }
  }
  return true;
}

// After a buffer of nothing but NULs, which may be the start of a hole: the
// rest of the hole is taken without reading it.
bool RecordReader::PassHole(bool *stop) {
  off_t data = lseek(fd_, static_cast<off_t>(pos_), SEEK_DATA);
  off_t hole_end = data;
  if (data < 0 && errno == ENXIO) hole_end = lseek(fd_, 0, SEEK_END);
  if (hole_end < 0 || static_cast<uint64_t>(hole_end) <= pos_) return true;
  uint64_t skip = static_cast<uint64_t>(hole_end) - pos_;
  pos_ = static_cast<uint64_t>(hole_end);
  return TakeNuls(skip, stop);
}

// The file has no more bytes.  Short of what it held when opened, it shrank
// under the read; an unfinished line whose bytes are no longer where they
// were belongs to content that was replaced.  Either way the cut line is
// dropped, not glued to what comes next.
ReadOutcome RecordReader::AtEnd() {
  bool shrank = pos_ < limit_;
  if (!shrank && raw_ > 0 && in_len_ > 0) {
    size_t k = std::min<size_t>({raw_, in_len_, Fingerprint::kBytes});
    char now[Fingerprint::kBytes];
    shrank = PRead(fd_, now, k, pos_ - k) != static_cast<ssize_t>(k) ||
             std::memcmp(now, in_ + in_len_ - k, k) != 0;
  }
  if (shrank) {
    if (building_) {
      batch_.used = batch_.entries[--batch_.count].start;
      building_ = false;
    }
    raw_ = 0;
    return Flush() ? ReadOutcome::kTruncated : ReadOutcome::kLinkDown;
  }
  if (raw_ > 0 && !Emit()) return ReadOutcome::kLinkDown;  // a last line still being written
  if (!Flush()) return ReadOutcome::kLinkDown;
  return paused_ ? ReadOutcome::kBurst : ReadOutcome::kEnd;
}

ReadOutcome RecordReader::Run() {
  if (paused_) {
    paused_ = false;
    burst_ = 0;
  }
  for (;;) {
    // At a record end at or past the limit (as after a pause that fell there).
    if (raw_ == 0 && taken_ >= limit_) return Flush() ? ReadOutcome::kEnd : ReadOutcome::kLinkDown;
    bool stop = false;
    if (in_next_ < in_len_) {
      if (!TakeBytes(in_ + in_next_, in_len_ - in_next_, &stop)) return ReadOutcome::kLinkDown;
    } else {
      ssize_t n = PRead(fd_, in_, sizeof in_, pos_);
      if (n < 0) return Flush() ? ReadOutcome::kEnd : ReadOutcome::kLinkDown;
      if (n == 0) return AtEnd();
      in_at_ = pos_;
      in_len_ = static_cast<size_t>(n);
      in_next_ = 0;
      if (in_at_ == 0) head_ = Fingerprint::Of(in_, std::min(in_len_, Fingerprint::kBytes));
      pos_ += in_len_;
      if (in_[0] == '\0' && in_[in_len_ - 1] == '\0' &&
          std::all_of(in_, in_ + in_len_, [](char c) { return c == '\0'; })) {
        in_next_ = in_len_;
        if (!TakeNuls(in_len_, &stop) || (!stop && !PassHole(&stop))) return ReadOutcome::kLinkDown;
        in_len_ = in_next_ = 0;
      }
    }
    if (stop) {
      if (paused_) return ReadOutcome::kBurst;  // the burst went out with the pause
      return Flush() ? ReadOutcome::kEnd : ReadOutcome::kLinkDown;
    }
  }
}

Fingerprint RecordReader::TakeFingerprint() const {
  const size_t len = static_cast<size_t>(std::min<uint64_t>(done_, Fingerprint::kBytes));
  if (done_ >= in_at_ + len && done_ <= in_at_ + in_len_)
    return Fingerprint::Of(in_ + (done_ - in_at_ - len), len);
  Fingerprint fp;
  fp.Take(fd_, done_);  // empty when it cannot be read
  return fp;
}

}  // namespace logfile
