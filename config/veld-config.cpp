// veld-config: the configuration file reader.  One "Name = Value" per line;
// names in any case; a line whose first or second character is "#" is a
// comment; blanks and surrounding quotes are trimmed from both sides.  Read
// once by the main thread before any worker exists.  The configuration
// check (veld-config-check.cpp) opens and splits lines through the same
// functions, so it judges exactly what this reader applies.

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "veld-config-unix.h"
#include "veld-logfile.h"
#include "veld-owners.h"

// Sized by its initializers: a count in the header that disagrees with the
// list fails to compile instead of leaving a null key at the end.
const char *const kCfgKeys[] = {
    kCfgLogFile,           kCfgLogDirectory,    kCfgRemoteHost,     kCfgRemotePort,
    kCfgRemoteService,     kCfgLogRotationSize, kCfgPerfMonTimeout, kCfgWatchdogFile,
    kCfgEventWatchdogFile, kCfgUDPRecordRate,   kCfgLogHoldFiles,   kCfgLogHoldSize,
    kCfgLogNotify,         kCfgRecordFormat,    kCfgRecordFacility, kCfgRemoteCAFile,
    kCfgRemoteServerName,  kCfgRemoteCertFile,  kCfgRemoteKeyFile,
};

namespace {

// The entry names the file and why it could not be read; the line end the
// message has always carried stays last.
constexpr const char kCfgReadError[] = "Error reading our configuration file: %s: %s\n";

using CharBuf = veld::MallocPtr<char>;

// `s` trimmed as trim() does it, as a string of its own.
std::string Trimmed(std::string s) {
  trim(s.data());
  s.resize(std::strlen(s.c_str()));
  return s;
}

}  // namespace

veld::FilePtr CfgOpenFile(const char *cfg_file) {
  if (cfg_file == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  veld::FilePtr f(std::fopen(cfg_file, "re"));
  if (!f) return nullptr;
  // A directory opens for reading but holds no lines: it is no
  // configuration, however quietly it reads.
  struct stat st;
  if (fstat(fileno(f.get()), &st) != 0) return nullptr;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return nullptr;
  }
  return f;
}

CfgLine CfgSplitLine(const char *line) {
  CfgLine out{CfgLineKind::kNoEquals, {}, {}};
  if (line == nullptr) return out;
  if (line[0] == '#' || (line[0] != '\0' && line[1] == '#')) {
    out.kind = CfgLineKind::kComment;
    return out;
  }
  const char *eq = std::strchr(line, '=');
  if (eq == nullptr) return out;

  std::string raw(eq + 1);
  if (!raw.empty() && raw.back() == '\n') raw.pop_back();
  out.name = Trimmed(std::string(line, eq - line));
  if (out.name.empty()) {
    out.kind = CfgLineKind::kEmptyName;
  } else if (raw.empty()) {
    out.kind = CfgLineKind::kEmptyValue;
  } else {
    out.kind = CfgLineKind::kSetting;
    out.value = Trimmed(std::move(raw));
  }
  return out;
}

const char *CfgCanonicalKey(const char *name) {
  if (name == nullptr) return nullptr;
  for (const char *key : kCfgKeys)
    if (veld_stricmp(name, key) == 0) return key;
  return nullptr;
}

int CfgProcessConfiguration(const char *cfg_file) {
  veld::FilePtr f = CfgOpenFile(cfg_file);
  if (!f) {
    char reason[128];
    Log(1, kCfgReadError, cfg_file ? cfg_file : "(null)", strerror_r(errno, reason, sizeof reason));
    return 0;
  }
  char line[kCfgLineMax + 1];
  while (std::fgets(line, kCfgLineMax, f.get()) != nullptr) CfgProcessLine(line);
  return 1;
}

int CfgProcessLine(const char *myline) {
  CfgLine line = CfgSplitLine(myline);
  if (line.kind != CfgLineKind::kSetting) return 1;
  const char *key = CfgCanonicalKey(line.name.c_str());
  if (key == nullptr) return 1;

  // A node owns its path from the moment it exists; without a node the
  // line is dropped, as for any other line that cannot be used.
  if (key == kCfgLogFile || key == kCfgLogDirectory) {
    CharBuf value(strdup(line.value.c_str()));
    if (!value) return 1;
    if (key == kCfgLogFile) {
      if (P_LOGFILE_LIST node = LogFileNew(value.get())) {
        value.release();
        LogFileListAppend(node);
      }
    } else if (P_LOGDIR_LIST node = LogDirectoryNew(value.get())) {
      value.release();
      LogDirectoryListAppend(node);
    }
    return 1;
  }
  CfgHashAdd(key, line.value.c_str());
  return 1;
}
