// veld-config-unix: the configuration module.  Its files:
//   veld-config-store.cpp  the settings store and its built-in defaults (below)
//   veld-config.cpp        the configuration file reader (below)
//   veld-config-check.cpp  the configuration check behind -t (below), line by
//                          line; veld-config-check-link.cpp its link settings
//                          and the settings together (veld-config-check.h)
//   veld-diaglog.cpp       the diagnostic log (veld-diaglog.h)
//   veld-text.cpp          file and text helpers, ASCII case folding (veld-text.h)
//   veld-linereader.cpp    a file read one line at a time (veld-linereader.h)
//   veld-seams.cpp         the test seams: sleep, clock, kernel-file root (veld-seams.h)
// The last four need nothing of the agent and form the core library that
// the socket library and veldcollect build on too.
//
// The configuration is read once by the main thread before any worker
// exists; afterwards the store is only read, so it needs no lock.
#ifndef VELD_CONFIG_UNIX_H
#define VELD_CONFIG_UNIX_H

#include <string>
#include <vector>

#include "veld-diaglog.h"
#include "veld-hash.h"
#include "veld-owners.h"
#include "veld-seams.h"
#include "veld-text.h"

// Canonical setting names; the file may spell them in any case.
inline constexpr char kCfgLogFile[] = "LogFile";
inline constexpr char kCfgLogDirectory[] = "LogDirectory";
inline constexpr char kCfgRemoteHost[] = "RemoteHost";
inline constexpr char kCfgRemotePort[] = "RemotePort";
inline constexpr char kCfgRemoteService[] = "RemoteService";
inline constexpr char kCfgLogRotationSize[] = "LogRotationSize";
inline constexpr char kCfgPerfMonTimeout[] = "PerformanceMonitorPollingTimeout";
inline constexpr char kCfgWatchdogFile[] = "WatchdogFile";
inline constexpr char kCfgEventWatchdogFile[] = "EventWatchdogFile";
inline constexpr char kCfgUDPRecordRate[] = "UDPRecordRate";  // records a second of a file over UDP
inline constexpr char kCfgLogHoldFiles[] = "LogHoldFiles";    // deleted files held for the link
inline constexpr char kCfgLogHoldSize[] = "LogHoldSize";      // MiB those may pin
inline constexpr char kCfgLogNotify[] = "LogNotify";          // yes: wake on change; no: poll only
inline constexpr char kCfgRecordFormat[] = "RecordFormat";
inline constexpr char kCfgRecordFacility[] = "RecordFacility";
inline constexpr char kCfgRemoteCAFile[] = "RemoteCAFile";
inline constexpr char kCfgRemoteServerName[] = "RemoteServerName";
inline constexpr char kCfgRemoteCertFile[] = "RemoteCertFile";
inline constexpr char kCfgRemoteKeyFile[] = "RemoteKeyFile";
// All of them, in the order the documentation lists them.
inline constexpr int kCfgKeyCount = 19;
extern const char *const kCfgKeys[kCfgKeyCount];

// Built-in paths.
inline constexpr char kDefaultLogPath[] = "/var/log/veldagentd.log";
inline constexpr char kDefaultWatchdogFile[] = "/etc/veldagentd.watchdog";
inline constexpr char kDefaultCAFile[] = "/etc/ssl/certs/ca-certificates.crt";  // the system bundle

// The settings store: canonical name -> value, filled before the workers
// start and only read afterwards.  Created by start-up.
extern HashTable *GlobalConfigHash;

// Sets pLogFile and stores the built-in defaults; always 1.
int ExpandEnvironment();
// Stores a heap copy of `value` under `key`; 0 for a null key or value.
int CfgHashAdd(const char *key, const char *value);
// The stored value (the store's own string), or null.  Exact key.
char *CfgHashGet(const char *key);
// The setting as a whole number from 1 to `max` (base from its prefix, the
// whole text one number), or `def` when it is unset or anything else.
unsigned long long CfgCount(const char *key, unsigned long long def, unsigned long long max);

// Reads the configuration file: 0 when it cannot be opened, otherwise 1
// once every line was handled.  LogFile and LogDirectory lines append to
// the source lists (veld-logfile.h); other known keys go to the store.
int CfgProcessConfiguration(const char *cfg_file);
// One line; always 1.  The buffer is not changed.
int CfgProcessLine(const char *myline);

// What the reader and the check share (veld-config.cpp).  A line is read
// with this many bytes at most (4095 characters and a NUL); the rest of a
// longer line comes as further pieces, each taken as a line of its own.
inline constexpr int kCfgLineMax = 4096;
// The file opened for reading; null with errno set when it cannot be, and
// for a directory (EISDIR), which opens but holds no configuration.
veld::FilePtr CfgOpenFile(const char *cfg_file);
// What the reader makes of one line or piece of a line.
enum class CfgLineKind {
  kComment,     // the first or second character is "#"
  kNoEquals,    // no "=" at all (blank lines too)
  kEmptyName,   // only blanks or quotes before the "="
  kEmptyValue,  // nothing between the "=" and the line end
  kSetting,     // a name and a value, both trimmed
};
struct CfgLine {
  CfgLineKind kind;
  std::string name;   // as written, trimmed; set for kEmptyValue too
  std::string value;  // trimmed; set for kSetting only
};
CfgLine CfgSplitLine(const char *line);
// The canonical name (an element of kCfgKeys) of a key in any case; null
// for a name that is no key.
const char *CfgCanonicalKey(const char *name);

// The configuration check (veld-config-check.cpp): the file read as the
// reader reads it, each line judged by what the agent will do with it.  A
// problem is a line or file that will not do what it says; a note, a line
// that works but not as its words suggest.
struct CfgFinding {
  unsigned line;  // 1-based; 0 for the file as a whole
  bool problem;
  std::string text;
};
// Fills *out in file order; true when none of the findings is a problem.
bool CfgCheckConfiguration(const char *cfg_file, std::vector<CfgFinding> *out);
// "<file>:<line>: <text>", or "<file>: <text>" for the file as a whole;
// a note says "note: " before its text.
std::string CfgFindingText(const char *cfg_file, const CfgFinding &finding);

#endif
