// veld-logfile-position-line: the position file's line format (described in
// veld-logfile-position.h).  Reading is lenient where older files were
// (blanks and quotes around the path, the offset and the timestamp, a base
// taken from a "0x" or "0" prefix, no digits giving 0) and strict about the
// file fields: a file field that does not parse leaves the node without a
// saved identity, as a line from an older agent would.

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "veld-logfile-follow.h"
#include "veld-logfile-position.h"

namespace logfile {

namespace {

constexpr char kBlanks[] = " \t\r\n\"'";  // what trim takes off either end

std::string_view Trim(std::string_view s) {
  const size_t a = s.find_first_not_of(kBlanks);
  if (a == std::string_view::npos) return {};
  return s.substr(a, s.find_last_not_of(kBlanks) - a + 1);
}

// The number with the base its prefix gives; parsing stops at the first
// character that does not fit and no digits give 0.
uint64_t Lenient(std::string_view s) {
  const std::string text(Trim(s));
  return std::strtoull(text.c_str(), nullptr, 0);
}

bool Digits(std::string_view s, uint64_t *v) {
  if (s.empty() || s.size() > 20) return false;
  uint64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9' || n > (UINT64_MAX - 9) / 10) return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  *v = n;
  return true;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Splits `s` at `sep` into at most `max` pieces; the number found.
size_t Split(std::string_view s, char sep, std::string_view *out, size_t max) {
  size_t n = 0;
  for (size_t at = 0; n < max; ++n) {
    const size_t end = s.find(sep, at);
    out[n] = s.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    if (end == std::string_view::npos) return n + 1;
    at = end + 1;
  }
  return max + 1;  // more than `max`
}

void PutFingerprint(std::string *out, const Fingerprint &fp) {
  if (fp.empty()) {
    *out += '-';
    return;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%u.%016" PRIx64, fp.len, fp.digest);
  *out += text;
}

bool GetFingerprint(std::string_view s, Fingerprint *fp) {
  *fp = Fingerprint{};
  if (s == "-") return true;
  std::string_view part[2];
  uint64_t len, digest = 0;
  if (Split(s, '.', part, 2) != 2 || !Digits(part[0], &len) || len == 0 ||
      len > Fingerprint::kBytes || part[1].size() != 16)
    return false;
  for (char c : part[1]) {
    if (Hex(c) < 0) return false;
    digest = digest << 4 | static_cast<uint64_t>(Hex(c));
  }
  fp->len = static_cast<uint8_t>(len);
  fp->digest = digest;
  return true;
}

void PutFile(std::string *out, const Generation &g, uint64_t offset) {
  char text[160];
  std::snprintf(text, sizeof text, ",%" PRIu64 ":%" PRIu64 ":", static_cast<uint64_t>(g.id.dev),
                static_cast<uint64_t>(g.id.ino));
  *out += text;
  if (g.id.has_birth)
    std::snprintf(text, sizeof text, "%" PRId64 ".%" PRIu32,
                  static_cast<int64_t>(g.id.birth.tv_sec), g.id.birth.tv_nsec);
  else
    std::snprintf(text, sizeof text, "-");
  *out += text;
  std::snprintf(text, sizeof text, ":%" PRIu64 ":%" PRIu64 ":%" PRIu64 ":",
                static_cast<uint64_t>(g.id.uid), offset, g.size);
  *out += text;
  PutFingerprint(out, g.fp);
  *out += ':';
  PutFingerprint(out, g.head);
}

bool GetFile(std::string_view s, Generation *g) {
  std::string_view f[8], birth[2];
  uint64_t dev, ino, uid, sec, nsec;
  if (Split(s, ':', f, 8) != 8 || !Digits(f[0], &dev) || !Digits(f[1], &ino) ||
      !Digits(f[3], &uid) || uid > UINT32_MAX || !Digits(f[4], &g->offset) ||
      !Digits(f[5], &g->size) || !GetFingerprint(f[6], &g->fp) || !GetFingerprint(f[7], &g->head))
    return false;
  g->id.dev = static_cast<dev_t>(dev);
  g->id.ino = static_cast<ino_t>(ino);
  g->id.uid = static_cast<uid_t>(uid);
  g->id.has_birth = f[2] != "-";
  if (!g->id.has_birth) return true;
  if (Split(f[2], '.', birth, 2) != 2 || !Digits(birth[0], &sec) || sec > INT64_MAX ||
      !Digits(birth[1], &nsec) || nsec >= 1000000000)
    return false;
  g->id.birth.tv_sec = static_cast<int64_t>(sec);
  g->id.birth.tv_nsec = static_cast<uint32_t>(nsec);
  return true;
}

// "<device>,<inode>,<bytes in hex>", as an older agent wrote it.
bool GetOlderFile(std::string_view s, Generation *g) {
  std::string_view f[3];
  uint64_t dev, ino;
  if (Split(s, ',', f, 3) != 3 || !Digits(f[0], &dev) || !Digits(f[1], &ino) ||
      f[2].size() > 2 * Fingerprint::kBytes || f[2].size() % 2 != 0)
    return false;
  unsigned char bytes[Fingerprint::kBytes];
  for (size_t i = 0; i < f[2].size(); i += 2) {
    if (Hex(f[2][i]) < 0 || Hex(f[2][i + 1]) < 0) return false;
    bytes[i / 2] = static_cast<unsigned char>(Hex(f[2][i]) * 16 + Hex(f[2][i + 1]));
  }
  g->id.dev = static_cast<dev_t>(dev);
  g->id.ino = static_cast<ino_t>(ino);
  g->id.has_owner = false;
  g->fp = Fingerprint::Of(bytes, f[2].size() / 2);
  return true;
}

// The saved files after the timestamp: "" (none), the older form, or ours.
bool GetFiles(std::string_view s, std::deque<Generation> *files) {
  if (s.find(':') == std::string_view::npos) {
    Generation g;
    if (!GetOlderFile(s, &g)) return false;
    files->push_back(std::move(g));
    return true;
  }
  for (size_t at = 0; at <= s.size();) {
    size_t end = s.find(',', at);
    if (end == std::string_view::npos) end = s.size();
    Generation g;
    if (!GetFile(s.substr(at, end - at), &g)) return false;
    files->push_back(std::move(g));
    at = end + 1;
  }
  return true;
}

}  // namespace

void FormatPosition(P_LOGFILE_LIST node, std::string *out) {
  const FileState *fs = node->state;
  uint64_t offset = node->filesize;
  if (fs != nullptr && fs->known)
    for (const Generation &g : fs->earlier)
      if (g.offset < g.size || g.size == 0) {
        offset = g.offset;
        break;
      }
  char text[48];
  *out += node->log_file != nullptr ? node->log_file : "";
  std::snprintf(text, sizeof text, "=%" PRIu64 ",%" PRIu64, offset, node->timestamp);
  *out += text;
  if (fs != nullptr && fs->known) {
    for (const Generation &g : fs->earlier)
      if (g.offset < g.size || g.size == 0) PutFile(out, g, g.offset);
    PutFile(out, fs->cur, node->filesize);
  }
  *out += '\n';
}

bool SplitPosition(std::string_view line, PositionLine *out) {
  const size_t eq = line.rfind('=');
  if (eq == std::string_view::npos || line.find(',', eq) == std::string_view::npos) return false;
  out->path = Trim(line.substr(0, eq));
  out->fields = line.substr(eq + 1);
  return true;
}

void LoadPosition(P_LOGFILE_LIST node, std::string_view fields) {
  std::string_view f[3];
  const size_t n = Split(fields, ',', f, 2);
  node->filesize = Lenient(f[0]);
  node->timestamp = Lenient(f[1]);
  // A line stands for the whole of what is saved for the path: files known
  // from an earlier load must not outlive a line that names none.
  if (node->state != nullptr && node->state->from_positions) {
    node->state->known = node->state->from_positions = false;
    node->state->cur = Generation{};
    node->state->earlier.clear();
  }
  if (n <= 2) return;
  std::deque<Generation> files;
  const size_t rest = f[0].size() + f[1].size() + 2;
  if (!GetFiles(fields.substr(rest), &files) || files.empty()) return;
  FileState *fs = StateOf(node);
  if (fs == nullptr) return;
  fs->known = fs->from_positions = true;
  fs->cur = std::move(files.back());
  files.pop_back();
  if (fs->cur.id.has_owner) node->filesize = fs->cur.offset;
  fs->cur.offset = 0;
  fs->earlier = std::move(files);
}

}  // namespace logfile
