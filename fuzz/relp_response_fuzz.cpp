// Drives the RELP reader with arbitrary server bytes and checks what the
// link relies on: every frame it hands out keeps to the protocol's limits
// (transaction number, command, data length, a code only from three
// digits), a reader in error stays in error, and cutting the same bytes
// into pieces never changes the frames read from them.
//
// The input: byte 0 gives the piece length less one (1 to 256); the rest
// is the stream the server sent.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "veld-logfile-relp.h"

namespace {

using logfile::RelpFrame;
using logfile::RelpReader;

struct Outcome {
  std::vector<RelpFrame> frames;
  bool error = false;
};

void Check(const RelpFrame &f) {
  const size_t letters = std::strlen(f.command);
  if (f.txnr > logfile::kRelpTxnrMax || letters == 0 || letters > logfile::kRelpCommandMax ||
      f.datalen > logfile::kRelpDataMax || std::strlen(f.text) > logfile::kRelpTextMax ||
      std::strlen(f.text) > f.datalen)
    std::abort();
  if (f.code != -1 && (f.code < 0 || f.code > 999 || f.datalen < 3)) std::abort();
}

Outcome Read(const char *data, size_t size, size_t piece) {
  Outcome o;
  RelpReader r;
  for (size_t at = 0; at < size && !o.error; at += piece) {
    const char *p = data + at;
    const char *end = data + std::min(size, at + piece);
    while (p < end) {
      RelpFrame f;
      const char *before = p;
      RelpReader::Result res = r.Take(&p, end, &f);
      if (p < before || p > end) std::abort();
      if (res == RelpReader::Result::kError) {
        o.error = true;
        // An error is final: the same reader refuses whatever follows.
        const char *q = end;
        if (r.Take(&q, end, &f) == RelpReader::Result::kFrame) std::abort();
        break;
      }
      if (res == RelpReader::Result::kFrame) {
        Check(f);
        o.frames.push_back(f);
      } else if (p != end) {
        std::abort();  // kMore only once the bytes are used up
      }
    }
  }
  return o;
}

bool Same(const RelpFrame &a, const RelpFrame &b) {
  return a.txnr == b.txnr && a.datalen == b.datalen && a.code == b.code &&
         std::strcmp(a.command, b.command) == 0 && std::strcmp(a.text, b.text) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = static_cast<size_t>(data[0]) + 1;
  const char *stream = reinterpret_cast<const char *>(data + 1);
  const size_t len = size - 1;
  Outcome whole = Read(stream, len, len == 0 ? 1 : len);
  Outcome cut = Read(stream, len, piece);
  if (whole.error != cut.error || whole.frames.size() != cut.frames.size()) std::abort();
  for (size_t i = 0; i < whole.frames.size(); ++i)
    if (!Same(whole.frames[i], cut.frames[i])) std::abort();
  return 0;
}
