// veld-text: the file and text helpers, and the ASCII case folding that every
// case-insensitive comparison in the agent shares, so that a path the
// position file or the directory scan matches "in any case" means the same
// everywhere.

#include "veld-text.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "veld-linereader.h"

namespace {

bool IsLeadingBlank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\v'; }

// Removes every trailing `q`, then, when anything is left, every leading `q`.
void StripChar(char *s, char q) {
  size_t n = std::strlen(s);
  while (n > 0 && s[n - 1] == q) s[--n] = '\0';
  if (n == 0) return;
  size_t lead = 0;
  while (s[lead] == q) ++lead;
  if (lead > 0) std::memmove(s, s + lead, n - lead + 1);
}

int LowerC(char c) { return veld::AsciiLower(static_cast<unsigned char>(c)); }

}  // namespace

namespace veld {

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerC(a[i]) != LowerC(b[i])) return false;
  return true;
}

bool HasPrefixNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

uint64_t HashNoCase(std::string_view s) {
  uint64_t h = 1469598103934665603ull;  // 64-bit FNV-1a
  for (char c : s) h = (h ^ static_cast<uint64_t>(LowerC(c))) * 1099511628211ull;
  return h;
}

}  // namespace veld

void trim(char *s) {
  if (s == nullptr) return;
  size_t n = std::strlen(s);
  while (n > 0 && veld::AsciiSpace(static_cast<unsigned char>(s[n - 1]))) s[--n] = '\0';
  if (n > 0) {
    size_t lead = 0;
    while (IsLeadingBlank(s[lead])) ++lead;
    if (lead > 0) std::memmove(s, s + lead, n - lead + 1);
  }
  StripChar(s, '"');
  StripChar(s, '\'');
}

int veld_stricmp(const char *s1, const char *s2) {
  for (;; ++s1, ++s2) {
    int ca = LowerC(*s1), cb = LowerC(*s2);
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
}

int veld_strincmp(const char *string, const char *pattern, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    int ca = LowerC(string[i]), cb = LowerC(pattern[i]);
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  return 0;
}

int UrlEncode(const unsigned char *s, unsigned char *t) {
  if (t == nullptr) return 0;
  static const char hex[] = "0123456789ABCDEF";
  for (; s != nullptr && *s != '\0'; ++s) {
    unsigned char c = *s;
    bool escape = (c <= 0x2B) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x5E) ||
                  c == 0x60 || (c >= 0x7B && c <= 0xA0);
    if (escape) {
      *t++ = '%';
      *t++ = static_cast<unsigned char>(hex[c >> 4]);
      *t++ = static_cast<unsigned char>(hex[c & 0x0F]);
    } else {
      *t++ = c;
    }
  }
  *t = '\0';
  return 1;
}

int FileExists(const char *name) {
  if (name == nullptr) return 0;
  return access(name, F_OK) == 0 ? 1 : 0;
}
int read_line(const char *filename, char *line, unsigned int len, const char *key) {
  if (filename == nullptr || line == nullptr || len == 0) return 0;
  const size_t keylen = key != nullptr ? std::strlen(key) : 0;
  // Every line is looked at as far as the key and the copy reach.
  const size_t want = std::max<size_t>({keylen, len - 1, 1});
  char small[4096];
  std::unique_ptr<char[]> big;
  char *buf = small;
  size_t cap = sizeof small;
  if (want >= cap) {  // only for keys or lengths far beyond any caller's
    cap = want + sizeof small;
    big = std::make_unique<char[]>(cap);
    buf = big.get();
  }
  veld::LineReader reader(buf, cap, want);
  if (!reader.OpenFile(filename)) return 0;
  std::string_view l;
  while (reader.Next(&l)) {
    // The text ends at a NUL.
    const size_t nul = l.find('\0');
    const bool last = nul != std::string_view::npos;
    if (last) l = l.substr(0, nul);
    if (!l.empty() && l.size() >= keylen && veld::EqualNoCase(l.substr(0, keylen), {key, keylen})) {
      // `line` is written only once a line has matched: a miss leaves it as it was.
      const size_t n = std::min<size_t>(l.size(), len - 1);
      std::memcpy(line, l.data(), n);
      std::memset(line + n, 0, len - n);
      return 1;
    }
    if (last) return 0;
  }
  return 0;
}
