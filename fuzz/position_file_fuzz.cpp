// Reads arbitrary bytes as a position file against a small list of tailed
// files: lines of any length, missing separators and odd numbers must only
// ever set offsets, never crash.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "veld-agent.h"
#include "veld-config-unix.h"
#include "veld-logfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static char path[] = "/tmp/veld-position-fuzz.XXXXXX";
  static bool ready = [] {
    std::strcpy(pLogFile, "/dev/null");
    int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    for (const char *p : {"/var/log/a", "/VAR/log/b", "/var/log/a"}) {
      P_LOGFILE_LIST n = LogFileNew(strdup(p));
      if (LogFileList.load() == nullptr)
        LogFileList.store(n);
      else
        LogFileAdd(LogFileList.load(), n);
    }
    return true;
  }();
  (void)ready;
  FILE *f = std::fopen(path, "w");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  LogFileReadWatchdogFile(path);
  return 0;
}
