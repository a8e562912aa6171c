// veld-config-check: judges a configuration file line by line without
// applying it.  It opens and splits lines through the reader's own functions
// and reads values the way the agent's modules will (the port as the link
// does, the rotation size as the tailer does), so what it says is what the
// agent will do.  It reports; it never reinterprets: a line it finds wrong is
// still read by the agent as before.  Used by "veldagentd -t", and by every
// start to log the same findings.
//
// What each kind of line is checked for:
//   comment, blank line        nothing, unless the "#" is not where the
//                              reader looks for it
//   no "=", no name, no value  ignored by the reader: a problem
//   unknown key                a problem, with the nearest known key
//   value with " #"            a trailing comment that is part of the value
//   RemoteHost                 resolves to an IPv4 address
//   RemotePort                 a number from 1 to 65535
//   RemoteService              tcp, tcp-ssl (a note: plain TCP), tls, relp,
//                              relp-tls or udp
//   RecordFormat               plain or rfc5424
//   RecordFacility             a facility name or code
//   RemoteCAFile, RemoteCertFile, RemoteKeyFile
//                              absolute, a readable regular file; the key
//                              readable by nobody but its owner
//   LogRotationSize            a whole number of MiB, at least 1
//   LogFile, LogDirectory      absolute; a regular file, a directory
//   WatchdogFile               absolute; its directory writable
//   stored-only keys           a note: they change nothing
//   a key set twice            only the later line takes effect
// And once the file is read, the settings together: TLS settings under a
// service without TLS, a certificate without its key or a key without its
// certificate, a facility under the plain format, plain records over RELP.
// The link's settings, keys set twice and the settings together are judged
// in veld-config-check-link.cpp.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>

#include "veld-config-check.h"
#include "veld-config-unix.h"

namespace cfgcheck {

// Built by appending, as CfgFindingText is.
std::string Quoted(std::string_view s) {
  std::string q;
  q.reserve(s.size() + 2);
  q.push_back('"');
  q.append(s);
  q.push_back('"');
  return q;
}

std::string Reason(int err) {
  char buf[128];
  return strerror_r(err, buf, sizeof buf);
}

namespace {

constexpr unsigned long kPortMax = 65535;
// The tailer takes the size in MiB and shifts it into bytes; more than this
// would shift bits out of 64.
constexpr unsigned long long kRotationMaxMiB = UINT64_MAX >> 20;
constexpr unsigned long long kRateMax = 1000000;       // UDPRecordRate
constexpr unsigned long long kHoldFilesMax = 1 << 20;  // LogHoldFiles

// Edit distance between two names, letters compared case-insensitively.
size_t Distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diag = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t up = row[j];
      bool same = veld::AsciiLower(a[i - 1]) == veld::AsciiLower(b[j - 1]);
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (same ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

const char *NearestKey(std::string_view name) {
  const char *best = kCfgKeys[0];
  for (const char *key : kCfgKeys)
    if (Distance(name, key) < Distance(name, best)) best = key;
  return best;
}

// A number as strtoul reads it with base detection, but only when the whole
// text is one: digits from the first byte (no sign, no blank) to the last.
bool WholeNumber(const std::string &v, unsigned long long *n) {
  if (v.empty() || v[0] < '0' || v[0] > '9') return false;
  char *end = nullptr;
  errno = 0;
  *n = std::strtoull(v.c_str(), &end, 0);
  return errno == 0 && end != nullptr && *end == '\0';
}

}  // namespace

void Checker::Piece(unsigned n, const char *piece) {
  line_ = n;
  CfgLine l = CfgSplitLine(piece);
  switch (l.kind) {
    case CfgLineKind::kComment:
      if (piece[0] != '#' && !veld::AsciiSpace(piece[0]) && std::strchr(piece, '=') != nullptr)
        Problem("taken as a comment, since its second character is \"#\"; the line is ignored");
      return;
    case CfgLineKind::kNoEquals:
      NoEquals(piece);
      return;
    case CfgLineKind::kEmptyName:
      Problem("no name before \"=\"; the line is ignored");
      return;
    case CfgLineKind::kEmptyValue:
    case CfgLineKind::kSetting:
      break;
  }
  const char *key = CfgCanonicalKey(l.name.c_str());
  if (key == nullptr) {
    Problem("unknown key " + Quoted(l.name) + " (did you mean " + Quoted(NearestKey(l.name)) +
            "?); the line is ignored");
  } else if (l.kind == CfgLineKind::kEmptyValue) {
    Problem(std::string(key) + " has no value after \"=\"; the line is ignored");
  } else {
    Remember(key, l.value);
    Setting(key, l.value);
  }
}

void Checker::NoEquals(const char *piece) {
  std::string_view s(piece);
  while (!s.empty() && veld::AsciiSpace(s.front())) s.remove_prefix(1);
  if (s.empty()) return;  // a blank line
  std::string text = "no \"=\" in the line; it is ignored";
  if (s.front() == '#') {
    text += " (a comment needs \"#\" as its first or second character)";
  } else {
    // "RemotePort: 5514" or "RemotePort 5514": a known key and a value.
    size_t end = s.find_first_of(": \t");
    std::string word(s.substr(0, end));
    if (const char *key = CfgCanonicalKey(word.c_str()); key != nullptr && end != s.npos) {
      std::string rest(s.substr(end + 1));
      rest = rest.substr(0, rest.find_last_not_of(" \t\r\n") + 1);
      rest.erase(0, rest.find_first_not_of(" \t:"));
      text += " (did you mean " + Quoted(std::string(key) + " = " + rest) + "?)";
    }
  }
  Problem(text);
}

void Checker::Setting(const char *key, const std::string &v) {
  // Everything after the "=" is the value: a "#" after a blank is taken
  // into it, not dropped as a comment would be.
  size_t hash = v.find('#');
  if (hash != std::string::npos && hash > 0 && veld::AsciiSpace(v[hash - 1])) {
    Problem(std::string(key) + " " + Quoted(v) +
            " ends in what looks like a comment, which is part of the value (comments take a "
            "line of their own)");
    return;
  }
  if (key == kCfgRemoteHost) return Host(v);
  if (key == kCfgRemotePort) return Port(v);
  if (key == kCfgRemoteService) return Service(v);
  if (key == kCfgRecordFormat) return FormatName(v);
  if (key == kCfgRecordFacility) return Facility(v);
  if (key == kCfgRemoteServerName) return;  // any name; the certificate decides
  if (key == kCfgRemoteCAFile || key == kCfgRemoteCertFile || key == kCfgRemoteKeyFile)
    return TlsFile(key, v);
  if (key == kCfgLogRotationSize) return Rotation(v);
  if (key == kCfgUDPRecordRate) return Count(key, v, kRateMax);
  if (key == kCfgLogHoldFiles) return Count(key, v, kHoldFilesMax);
  if (key == kCfgLogHoldSize) return Count(key, v, kRotationMaxMiB);
  if (key == kCfgLogNotify) {
    if (veld_stricmp(v.c_str(), "yes") == 0 || veld_stricmp(v.c_str(), "no") == 0) return;
    return Problem("LogNotify " + Quoted(v) + " is neither yes nor no (the agent takes yes)");
  }
  if (key == kCfgPerfMonTimeout || key == kCfgEventWatchdogFile)
    return Note(std::string(key) + " is stored only and changes nothing" +
                (key == kCfgPerfMonTimeout ? " (metrics are sent every 300 s)" : ""));
  Path(key, v);
}

void Checker::Host(const std::string &v) {
  // The link resolves the name for IPv4 and falls back to a dotted address.
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  int rc = getaddrinfo(v.c_str(), nullptr, &hints, &found);
  if (found != nullptr) freeaddrinfo(found);
  in_addr addr;
  if (rc == 0 || inet_aton(v.c_str(), &addr) != 0) return;
  Problem("RemoteHost " + Quoted(v) + " does not resolve to an IPv4 address (" + gai_strerror(rc) +
          ")");
}

void Checker::Port(const std::string &v) {
  unsigned long long n = 0;
  if (WholeNumber(v, &n) && n >= 1 && n <= kPortMax) return;
  // The link reads the port with strtol and keeps its low 16 bits.
  unsigned long used = static_cast<unsigned long>(std::strtol(v.c_str(), nullptr, 0)) & 0xffff;
  Problem("RemotePort " + Quoted(v) +
          " is not a number from 1 to 65535 (the agent would use port " + std::to_string(used) +
          ")");
}

void Checker::Count(const char *key, const std::string &v, unsigned long long max) {
  unsigned long long n = 0;
  if (WholeNumber(v, &n) && n >= 1 && n <= max) return;
  Problem(std::string(key) + " " + Quoted(v) + " is not a whole number from 1 to " +
          std::to_string(max) + " (the agent keeps its default)");
}

void Checker::Rotation(const std::string &v) {
  unsigned long long n = 0;
  if (WholeNumber(v, &n) && n >= 1 && n <= kRotationMaxMiB) return;
  unsigned long long used = std::strtoull(v.c_str(), nullptr, 0);
  if (used == 0) {
    Problem("LogRotationSize " + Quoted(v) +
            " is below 1 MiB: the agent reads 0 and empties every tailed file at each pass");
  } else {
    Problem("LogRotationSize " + Quoted(v) + " is not a whole number of MiB from 1 to " +
            std::to_string(kRotationMaxMiB) + " (the agent reads " + std::to_string(used) + ")");
  }
}

// LogFile, LogDirectory, WatchdogFile.
void Checker::Path(const char *key, const std::string &v) {
  const std::string what = std::string(key) + " " + Quoted(v);
  if (v.empty() || v[0] != '/') {
    Problem(what + " is not an absolute path (a detached agent looks it up from \"/\")");
    return;
  }
  struct stat st;
  const bool exists = stat(v.c_str(), &st) == 0;
  const int err = errno;
  if (key == kCfgWatchdogFile) {
    if (exists && !S_ISREG(st.st_mode)) return Problem(what + " is not a regular file");
    std::string dir = v.substr(0, std::max<size_t>(v.rfind('/'), 1));
    if (access(dir.c_str(), W_OK | X_OK) != 0)
      Problem(what + ": its directory " + Quoted(dir) + " is not writable (" + Reason(errno) + ")");
    return;
  }
  const bool want_dir = key == kCfgLogDirectory;
  if (!exists) return Problem(what + " cannot be reached (" + Reason(err) + ")");
  if (want_dir && !S_ISDIR(st.st_mode)) return Problem(what + " is not a directory");
  if (!want_dir && !S_ISREG(st.st_mode)) return Problem(what + " is not a regular file");
}

}  // namespace cfgcheck

bool CfgCheckConfiguration(const char *cfg_file, std::vector<CfgFinding> *out) {
  const size_t first = out->size();
  if (cfg_file != nullptr && cfg_file[0] != '/')
    out->push_back({0, true, "not an absolute path (a detached agent looks it up from \"/\")"});
  veld::FilePtr f = CfgOpenFile(cfg_file);
  if (!f) {
    out->push_back({0, true, "cannot be read (" + cfgcheck::Reason(errno) + ")"});
    return false;
  }
  cfgcheck::Checker check(out);
  char piece[kCfgLineMax + 1];
  unsigned line = 1;
  bool cut = false;   // the last piece ended without a line end
  bool told = false;  // this line was already said to be too long
  while (std::fgets(piece, kCfgLineMax, f.get()) != nullptr) {
    if (cut && !told) {
      out->push_back({line, true,
                      "longer than " + std::to_string(kCfgLineMax - 1) +
                          " bytes: each piece is read as a line of its own"});
      told = true;
    }
    check.Piece(line, piece);
    cut = std::strchr(piece, '\n') == nullptr;
    if (!cut) {
      ++line;
      told = false;
    }
  }
  check.Finish();
  // What Finish found belongs to the lines it names, among the others.
  std::stable_sort(out->begin() + static_cast<std::ptrdiff_t>(first), out->end(),
                   [](const CfgFinding &a, const CfgFinding &b) { return a.line < b.line; });
  return std::none_of(out->begin() + static_cast<std::ptrdiff_t>(first), out->end(),
                      [](const CfgFinding &f) { return f.problem; });
}

std::string CfgFindingText(const char *cfg_file, const CfgFinding &finding) {
  // Appended piece by piece: g++ 12 at -O3 takes `at + ": " + text` for an
  // overlapping copy (-Wrestrict).
  std::string at = cfg_file != nullptr ? cfg_file : "(null)";
  if (finding.line > 0) {
    at += ':';
    at += std::to_string(finding.line);
  }
  at += finding.problem ? ": " : ": note: ";
  at += finding.text;
  return at;
}
