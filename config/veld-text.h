// veld-text: small file and text helpers shared across the agent, and the
// one ASCII case folding every case-insensitive comparison uses.  None keeps
// state; all may be called from any thread.
#ifndef VELD_TEXT_H
#define VELD_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string_view>

// Cleans `s` in place: trailing blanks, then leading blanks, then double and
// then single quotes at either end.  Null is ignored.
void trim(char *s);
// Case-insensitive comparison of two strings; case-insensitive comparison
// of at most `len` bytes.  The difference of the first differing pair.
int veld_stricmp(const char *s1, const char *s2);
int veld_strincmp(const char *string, const char *pattern, size_t len);
// Percent-encodes `s` into `t` (three times the input plus one); 0 when `t`
// is null.
int UrlEncode(const unsigned char *s, unsigned char *t);
// 1 when the path exists (a link only when its target does).
int FileExists(const char *name);
// The first line of `filename` (or the first that begins with `key`, any
// case) into `line`, at most len - 1 bytes and NUL-filled; 1 when found.
int read_line(const char *filename, char *line, unsigned int len, const char *key);

namespace veld {

// "C" locale folding: only 'A' to 'Z' change, whatever the process locale.
constexpr unsigned char AsciiLower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}
// "C" locale isspace, without consulting the process locale.
constexpr bool AsciiSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool EqualNoCase(std::string_view a, std::string_view b);
bool HasPrefixNoCase(std::string_view s, std::string_view prefix);
uint64_t HashNoCase(std::string_view s);

// Hash and equality for unordered containers that agree with
// veld_stricmp(a, b) == 0, so a lookup finds what a walk comparing with
// veld_stricmp would.
struct NoCaseHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return static_cast<size_t>(HashNoCase(s)); }
};
struct NoCaseEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return EqualNoCase(a, b); }
};

}  // namespace veld

#endif
