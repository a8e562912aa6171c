// veld-config-check-link: the configuration check of the collector link's
// settings (see veld-config-check.cpp for the table of every check): the
// service, the record format and facility, the TLS files, and once the file
// is read, the settings taken together and keys set twice.  Only the later
// value of a key set twice takes effect, so the settings together are
// judged by the last line of each.

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "veld-config-check.h"
#include "veld-logfile-format.h"

namespace cfgcheck {

namespace {

// The services RemoteService takes, and those that run TLS.
constexpr const char *kServices[] = {"tcp", "tcp-ssl", "udp", "tls", "relp", "relp-tls"};

bool IsService(const std::string &v, std::initializer_list<const char *> names) {
  for (const char *n : names)
    if (veld_stricmp(v.c_str(), n) == 0) return true;
  return false;
}

}  // namespace

// LogFile and LogDirectory add a file each time; any other key set again
// replaces what an earlier line said.
void Checker::Remember(const char *key, const std::string &v) {
  if (key == kCfgLogFile || key == kCfgLogDirectory) return;
  Set &s = set_[key];
  if (s.line != 0)
    Problem(std::string(key) + " is set again (first on line " + std::to_string(s.line) +
            "): only this later value takes effect");
  s.line = line_;
  s.value = v;
}

void Checker::Finish() {
  const Set *svc = Final(kCfgRemoteService);
  const std::string service = svc != nullptr ? svc->value : "tcp";
  const bool tls = IsService(service, {"tls", "relp-tls"});
  for (const char *key :
       {kCfgRemoteCAFile, kCfgRemoteServerName, kCfgRemoteCertFile, kCfgRemoteKeyFile}) {
    const Set *s = Final(key);
    if (s == nullptr || tls) continue;
    line_ = s->line;
    Note(std::string(key) + " changes nothing: RemoteService " + Quoted(service) +
         " does not use TLS (tls and relp-tls do)");
  }
  const Set *cert = Final(kCfgRemoteCertFile);
  const Set *key = Final(kCfgRemoteKeyFile);
  if ((cert == nullptr) != (key == nullptr)) {
    line_ = cert != nullptr ? cert->line : key->line;
    Problem(std::string(cert != nullptr ? kCfgRemoteCertFile : kCfgRemoteKeyFile) +
            " is set without " + (cert != nullptr ? kCfgRemoteKeyFile : kCfgRemoteCertFile) +
            ": a client certificate needs both, and none is offered");
  }
  const Set *format = Final(kCfgRecordFormat);
  const bool plain = format == nullptr || veld_stricmp(format->value.c_str(), "rfc5424") != 0;
  if (const Set *f = Final(kCfgRecordFacility); f != nullptr && plain) {
    line_ = f->line;
    Note("RecordFacility changes nothing: the plain record format carries no facility");
  }
  if (plain && svc != nullptr && IsService(service, {"relp", "relp-tls"})) {
    line_ = svc->line;
    Note("RemoteService " + Quoted(service) +
         " with the plain record format: a stock RELP receiver parses a record as a syslog "
         "message it is not; keep its raw message (README) or set RecordFormat = rfc5424");
  }
}

void Checker::FormatName(const std::string &v) {
  if (veld_stricmp(v.c_str(), "plain") == 0 || veld_stricmp(v.c_str(), "rfc5424") == 0) return;
  Problem("RecordFormat " + Quoted(v) +
          " is neither plain nor rfc5424 (the agent would use plain)");
}

void Checker::Facility(const std::string &v) {
  if (logfile::FormatFacilityCode(v.c_str()) >= 0) return;
  Problem("RecordFacility " + Quoted(v) +
          " is no facility name (kern, user, mail, daemon, auth, syslog, lpr, news, uucp, cron, "
          "authpriv, ftp, ntp, security, console, solaris-cron, local0 to local7) nor a code from "
          "0 to 23 (the agent would use user)");
}

// RemoteCAFile, RemoteCertFile, RemoteKeyFile: read by the link at every
// connection, so each must be there and readable now.
void Checker::TlsFile(const char *key, const std::string &v) {
  const std::string what = std::string(key) + " " + Quoted(v);
  if (v.empty() || v[0] != '/') {
    Problem(what + " is not an absolute path (a detached agent looks it up from \"/\")");
    return;
  }
  veld::UniqueFd fd(open(v.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!fd.ok()) return Problem(what + " cannot be read (" + Reason(errno) + ")");
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    return Problem(what + " is not a regular file");
  if (key == kCfgRemoteKeyFile && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    Problem(what + " is readable by group or others (mode " + mode +
            "): the private key must be the owner's alone (chmod 600)");
  }
}

void Checker::Service(const std::string &v) {
  if (veld_stricmp(v.c_str(), "tcp-ssl") == 0)
    return Note("RemoteService " + Quoted(v) + " is plain TCP, without TLS (tls encrypts)");
  for (const char *name : kServices)
    if (veld_stricmp(v.c_str(), name) == 0) return;
  Problem("RemoteService " + Quoted(v) +
          " is none of tcp, tcp-ssl, tls, relp, relp-tls and udp (the agent would send over "
          "UDP, unencrypted)");
}

}  // namespace cfgcheck
