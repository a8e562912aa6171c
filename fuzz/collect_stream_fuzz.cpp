// Drives veldcollect's line holding with arbitrary bytes in arbitrary pieces
// and checks what a reader of its output relies on: every byte comes out
// once and in order, and what leaves while bytes are still arriving is whole
// lines, unless the buffer filled or the hold ran out.
//
// The input: byte 0 sets the buffer's size (1 to 256 bytes, so that a full
// buffer is reached quickly; veldcollect's own is 64 KiB), byte 1 how many
// piece bytes follow (0 to 15).  Each piece byte's low seven bits give a
// piece's length less one (1 to 128; at 0 an empty read comes first), its
// top bit that the hold runs out after that piece.  The rest is the stream, cut into pieces by the
// piece bytes in turn, and delivered in pieces no larger than the free room, as a read would.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "veldcollect-stream.h"

namespace {

std::string g_out;         // everything the stream handed out for this input
size_t g_capacity = 0;     // the stream's buffer size for this input
bool g_whole_only = true;  // set while only whole lines or a full buffer may leave

bool Sink(const char *data, size_t len) {
  if (g_whole_only && len != g_capacity && (len == 0 || data[len - 1] != '\n')) std::abort();
  g_out.append(data, len);
  return true;
}

void Check(const collect::LineStream &s) {
  if (s.held() + s.room() != g_capacity || s.held() >= g_capacity) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  g_capacity = data[0] + 1u;
  size_t npieces = data[1] & 0x0f;
  if (size < 2 + npieces) return 0;
  const uint8_t *pieces = data + 2;
  std::string_view in(reinterpret_cast<const char *>(data) + 2 + npieces, size - 2 - npieces);

  g_out.clear();
  collect::LineStream s(g_capacity, Sink);
  size_t at = 0;
  for (size_t k = 0; at < in.size(); ++k) {
    uint8_t p = npieces > 0 ? pieces[k % npieces] : 0x7f;
    size_t piece = std::min<size_t>((p & 0x7f) + 1u, in.size() - at);
    if ((p & 0x7f) == 0 && !s.Take(0)) std::abort();
    while (piece > 0) {
      size_t got = std::min(piece, s.room());
      in.copy(s.space(), got, at);
      at += got;
      piece -= got;
      if (!s.Take(got)) std::abort();
      Check(s);
    }
    if ((p & 0x80) != 0) {
      g_whole_only = false;
      s.Flush();
      g_whole_only = true;
      Check(s);
    }
    if (s.held() > 0 &&
        std::string_view(s.space() - s.held(), s.held()).find('\n') != std::string_view::npos)
      std::abort();  // a held line end would be a line withheld
  }
  g_whole_only = false;
  s.Flush();
  g_whole_only = true;
  if (g_out != in) std::abort();
  return 0;
}
