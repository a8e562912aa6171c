// veld-logfile-relp: the frames of the Reliable Event Logging Protocol, as
// far as a client sending syslog messages needs them.  A frame is
//   TXNR SP COMMAND SP DATALEN [SP DATA] LF
// with TXNR 1 to 999999999 (then 1 again), COMMAND 1 to 32 letters (open,
// syslog, close; the server's rsp and serverclose), DATALEN the bytes of
// DATA.  A response's DATA starts with a three-digit code, 200 for success.
// RelpReader takes the server's bytes in whatever pieces they come and
// hands out one frame at a time; anything else is a protocol error that
// ends the session.
#ifndef VELD_LOGFILE_RELP_H
#define VELD_LOGFILE_RELP_H

#include <cstddef>
#include <cstdint>

namespace logfile {

inline constexpr uint32_t kRelpTxnrMax = 999999999;
inline constexpr size_t kRelpCommandMax = 32;
// A response longer than this is no response of ours: its DATA is skipped,
// never stored, but a server that announces more is refused.
inline constexpr size_t kRelpDataMax = 1 << 20;
inline constexpr size_t kRelpTextMax = 80;  // DATA kept for messages
// Room for "TXNR COMMAND DATALEN " of any frame we send.
inline constexpr size_t kRelpHeaderMax = 48;

// The transaction number after `txnr`.
inline uint32_t RelpNextTxnr(uint32_t txnr) { return txnr >= kRelpTxnrMax ? 1 : txnr + 1; }

// "TXNR COMMAND DATALEN " (or "TXNR COMMAND 0" for no data) into `out`;
// its length.  The caller puts the data and the LF behind it.
size_t RelpFrameHeader(char *out, uint32_t txnr, const char *command, size_t datalen);

struct RelpFrame {
  uint32_t txnr = 0;
  char command[kRelpCommandMax + 1] = {};
  size_t datalen = 0;
  int code = -1;                     // a leading three-digit code, or -1
  char text[kRelpTextMax + 1] = {};  // DATA's first bytes, up to its first LF
};

class RelpReader {
 public:
  enum class Result { kMore, kFrame, kError };
  // Takes bytes from *p up to `end`, stopping behind the first frame that
  // completes (kFrame, *out filled) or at `end` (kMore).  kError: the bytes
  // are no RELP; the reader stays in error.
  Result Take(const char **p, const char *end, RelpFrame *out);
  void Reset() { *this = RelpReader(); }

 private:
  enum class State { kTxnr, kCommand, kLength, kData, kTrailer, kError };
  Result Fail() {
    state_ = State::kError;
    return Result::kError;
  }
  bool Byte(char c);  // one byte of the header; false on an error

  State state_ = State::kTxnr;
  RelpFrame frame_;
  size_t digits_ = 0;       // of the number being read
  size_t letters_ = 0;      // of the command
  size_t data_seen_ = 0;    // bytes of DATA taken
  size_t text_len_ = 0;     // of frame_.text
  bool text_done_ = false;  // DATA's first line is in frame_.text
};

}  // namespace logfile

#endif
