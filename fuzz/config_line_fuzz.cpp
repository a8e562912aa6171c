// Feeds arbitrary bytes to the configuration line parser and to trim: no
// input may read or write outside its buffers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "veld-agent.h"
#include "veld-config-unix.h"
#include "veld-hash.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = [] {
    GlobalConfigHash = hashtable_alloc(1, 0);
    ExpandEnvironment();
    std::strcpy(pLogFile, "/dev/null");
    return true;
  }();
  (void)ready;
  std::string line(reinterpret_cast<const char *>(data), size);
  CfgProcessLine(line.c_str());
  trim(line.data());
  veld_stricmp(line.c_str(), "LogFile");
  return 0;
}
