// veld-config-check: what the two files of the configuration check share.
// veld-config-check.cpp reads the file and judges each line by itself;
// veld-config-check-link.cpp judges the link's settings (the service, the
// record format, the TLS files) and, once every line is read, the settings
// taken together and keys set twice.  Used by those two files only.
#ifndef VELD_CONFIG_CHECK_H
#define VELD_CONFIG_CHECK_H

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "veld-config-unix.h"

namespace cfgcheck {

// `s` in double quotes.
std::string Quoted(std::string_view s);
// strerror_r's text for `err`.
std::string Reason(int err);

// Judges one file: Piece for each line (or piece of a line), then Finish.
class Checker {
 public:
  explicit Checker(std::vector<CfgFinding> *out) : out_(out) {}
  void Piece(unsigned n, const char *piece);
  // The findings about settings taken together, once every line is read.
  void Finish();

 private:
  struct Set {
    unsigned line = 0;
    std::string value;
  };
  void Problem(std::string text) { out_->push_back({line_, true, std::move(text)}); }
  void Note(std::string text) { out_->push_back({line_, false, std::move(text)}); }
  void Remember(const char *key, const std::string &v);
  const Set *Final(const char *key) const {
    auto it = set_.find(key);
    return it != set_.end() ? &it->second : nullptr;
  }
  void FormatName(const std::string &v);
  void Facility(const std::string &v);
  void TlsFile(const char *key, const std::string &v);
  void NoEquals(const char *piece);
  void Setting(const char *key, const std::string &v);
  void Host(const std::string &v);
  void Port(const std::string &v);
  void Service(const std::string &v);
  void Rotation(const std::string &v);
  void Count(const char *key, const std::string &v, unsigned long long max);
  void Path(const char *key, const std::string &v);

  std::vector<CfgFinding> *out_;
  unsigned line_ = 0;
  std::map<const char *, Set> set_;  // the last line and value of each key
};

}  // namespace cfgcheck

#endif
