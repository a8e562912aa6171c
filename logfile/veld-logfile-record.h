// veld-logfile-record: the log-line record and the batches records travel
// in.  A plain record is "<stamp> VELDUnixLog: " + line bytes:
//   kRecordMax (4093) characters at most, built in kRecordBuffer (4096)
//   bytes with its NUL, so a line part holds kRecordMax less the prefix
//   (4069 bytes with a ten-digit stamp).  The head, the bytes kept and the
//   line part of either format are the format's (veld-logfile-format.h).
// A burst is at most kBurstRecords records in at most Batch::kBytes bytes;
// the link sends a batch with one system call.
#ifndef VELD_LOGFILE_RECORD_H
#define VELD_LOGFILE_RECORD_H

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "veld-logfile-format.h"
#include "veld-logfile-identity.h"

namespace logfile {

inline constexpr size_t kRecordBuffer = 4096;
inline constexpr size_t kRecordMax = 4093;
inline constexpr unsigned kBurstRecords = 200;  // records of one file in one burst
inline constexpr size_t kReadBuffer = 65536;    // bytes taken from a file per read

// The records of one file's burst, laid end to end in one buffer: a TCP link
// sends them with one call, a UDP link one datagram each with one sendmmsg.
// Each entry keeps the file offset its record ends at, so a batch sent only
// in part tells how far the file was handed over.
struct Batch {
  static constexpr size_t kBytes = 65536;  // a batch is sent before it would grow past this
  struct Entry {
    uint32_t start;  // in bytes[]
    uint32_t len;
    uint64_t end;  // the file offset just behind the record's line part
  };
  char bytes[kBytes];
  Entry entries[kBurstRecords];
  size_t used = 0;   // bytes taken
  size_t count = 0;  // entries taken
};
static_assert(Batch::kBytes >= kRecordBuffer, "a batch holds at least one record");
static_assert(Batch::kBytes >= kHeadMax + kLinePart, "a batch holds a record of either format");

// Sends the batch, in order, each record whole; the number of records sent
// (veld-logfile-send.cpp).  Fewer than all: the link was broken and could
// not be restored at once, and the sender should stop.
size_t LinkSendBatch(const Batch &b);

// How a read stopped.
enum class ReadOutcome {
  kEnd,        // the file, or what it held when opened, was read to its end
  kBurst,      // a burst of kBurstRecords records went out: the file waits its turn
  kLinkDown,   // a record could not be sent; the offset stays at its start
  kTruncated,  // the file shrank under the read; nothing of the cut line went out
};

// Turns the bytes of a file into records and sends them in batches.  A
// burst ends after kBurstRecords records or when the batch cannot hold
// another record, whichever comes first.  Resumable: after kBurst, Run goes
// on where it stopped.  One instance, the tailer's, holds the buffers.
class RecordReader {
 public:
  // Reads `fd` from `from`; stops at the first record end at or past `limit`
  // (what the file held when opened).  Every record carries `stamp`.
  void Start(int fd, uint64_t from, uint64_t limit, time_t stamp);
  ReadOutcome Run();
  uint64_t consumed() const { return done_; }  // the offset behind the last record sent
  size_t sent() const { return sent_; }        // records handed over since Start
  // The fingerprint at consumed(), from the bytes read where possible.
  Fingerprint TakeFingerprint() const;
  // The file's first bytes, when this read began at the start of the file:
  // taken from the very bytes that were sent.  Empty otherwise.
  const Fingerprint &head() const { return head_; }

 private:
  bool Flush();  // false when the link failed
  bool Emit();   // the record ends; false when a flush failed
  bool TakeBytes(const char *in, size_t n, bool *stop);
  bool TakeNuls(uint64_t z, bool *stop);
  bool PassHole(bool *stop);
  ReadOutcome AtEnd();

  int fd_ = -1;
  uint64_t pos_ = 0;    // next byte to read
  uint64_t limit_ = 0;  // read no further line than the one this falls in
  uint64_t done_ = 0;   // behind the last record sent (or left out, empty)
  uint64_t taken_ = 0;  // behind the last byte put in a record
  char prefix_[kHeadMax];
  size_t plen_ = 0, cap_ = 0;  // prefix length; line bytes per record
  RecordFormat format_ = RecordFormat::kPlain;
  size_t raw_ = 0;         // line bytes of the record being built
  bool building_ = false;  // a record has been started in the batch
  unsigned burst_ = 0;     // records since the last burst ended
  size_t sent_ = 0;        // records handed over since Start
  bool paused_ = false;    // Run returned kBurst with the burst sent
  Batch batch_;
  Fingerprint head_;
  char in_[kReadBuffer];
  uint64_t in_at_ = 0;  // file offset of in_[0]
  size_t in_len_ = 0;   // bytes in in_
  size_t in_next_ = 0;  // next byte of in_ to take
};

}  // namespace logfile

#endif
