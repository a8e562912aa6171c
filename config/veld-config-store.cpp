// veld-config-store: the settings store.  Every setting but the two source
// lists, RemoteServerName (RemoteHost stands in) and the client certificate
// has a built-in default here, so readers never find those keys missing.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "veld-config-unix.h"

HashTable *GlobalConfigHash = nullptr;  // created by start-up; written before the workers only

int ExpandEnvironment() {
  std::snprintf(pLogFile, sizeof pLogFile, "%s", kDefaultLogPath);
  CfgHashAdd(kCfgWatchdogFile, kDefaultWatchdogFile);
  CfgHashAdd(kCfgRemoteHost, "127.0.0.1");
  CfgHashAdd(kCfgRemotePort, "514");
  CfgHashAdd(kCfgRemoteService, "tcp");
  CfgHashAdd(kCfgLogRotationSize, "1");
  CfgHashAdd(kCfgPerfMonTimeout, "300");
  CfgHashAdd(kCfgRecordFormat, "plain");
  CfgHashAdd(kCfgRecordFacility, "user");
  CfgHashAdd(kCfgRemoteCAFile, kDefaultCAFile);
  return 1;
}

int CfgHashAdd(const char *key, const char *value) {
  if (key == nullptr || value == nullptr || GlobalConfigHash == nullptr) return 0;
  // The store was created without value copies: it takes over this heap copy.
  char *copy = strdup(value);
  if (copy == nullptr) return 0;
  hashtable_addkeyvalue(GlobalConfigHash, key, copy);
  return 1;
}

unsigned long long CfgCount(const char *key, unsigned long long def, unsigned long long max) {
  const char *v = CfgHashGet(key);
  if (v == nullptr || *v < '0' || *v > '9') return def;
  char *end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(v, &end, 0);
  return errno == 0 && *end == '\0' && n >= 1 && n <= max ? n : def;
}

char *CfgHashGet(const char *key) {
  if (key == nullptr || GlobalConfigHash == nullptr) return nullptr;
  return const_cast<char *>(hashtable_keyvalue(GlobalConfigHash, key));
}
