// veld-config: the configuration file reader.  One "Name = Value" per line;
// names in any case; a line whose first or second character is "#" is a
// comment; blanks and surrounding quotes are trimmed from both sides.  Read
// once by the main thread before any worker exists.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "veld-config-unix.h"
#include "veld-logfile.h"
#include "veld-owners.h"

namespace {

// The one line size of the configuration file: 4095 characters and a NUL.
constexpr int kCfgLineMax = 4096;

// The plain settings, stored under their canonical names.
constexpr const char *kPlainKeys[] = {
    kCfgRemoteHost,     kCfgRemotePort,   kCfgRemoteService,     kCfgLogRotationSize,
    kCfgPerfMonTimeout, kCfgWatchdogFile, kCfgEventWatchdogFile,
};

constexpr const char kCfgReadError[] = "Error reading our configuration file: %s\n";

using CharBuf = veld::MallocPtr<char>;

}  // namespace

int CfgProcessConfiguration(const char *cfg_file) {
  veld::FilePtr f(cfg_file ? std::fopen(cfg_file, "re") : nullptr);
  if (!f) {
    Log(1, kCfgReadError, cfg_file ? cfg_file : "(null)");
    return 0;
  }
  char line[kCfgLineMax + 1];
  while (std::fgets(line, kCfgLineMax, f.get()) != nullptr) CfgProcessLine(line);
  return 1;
}

int CfgProcessLine(const char *myline) {
  if (myline == nullptr) return 1;
  if (myline[0] == '#' || (myline[0] != '\0' && myline[1] == '#')) return 1;

  const char *eq = std::strchr(myline, '=');
  if (eq == nullptr) return 1;

  std::string name(myline, eq - myline);
  std::string raw(eq + 1);
  if (!raw.empty() && raw.back() == '\n') raw.pop_back();
  if (raw.empty()) return 1;

  trim(name.data());
  name.resize(std::strlen(name.c_str()));
  if (name.empty()) return 1;

  CharBuf value(strdup(raw.c_str()));
  if (!value) return 1;
  trim(value.get());

  // A node owns its path from the moment it exists; without a node the
  // line is dropped, as for any other line that cannot be used.
  if (veld_stricmp(name.c_str(), kCfgLogFile) == 0) {
    if (P_LOGFILE_LIST node = LogFileNew(value.get())) {
      value.release();
      LogFileListAppend(node);
    }
  } else if (veld_stricmp(name.c_str(), kCfgLogDirectory) == 0) {
    if (P_LOGDIR_LIST node = LogDirectoryNew(value.get())) {
      value.release();
      LogDirectoryListAppend(node);
    }
  } else {
    for (const char *key : kPlainKeys) {
      if (veld_stricmp(name.c_str(), key) == 0) {
        CfgHashAdd(key, value.get());
        break;
      }
    }
  }
  return 1;
}
