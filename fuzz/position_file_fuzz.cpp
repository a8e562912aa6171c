// Reads arbitrary bytes as a whole position file against a small list of
// tailed files: lines of any length, missing separators, extra fields after
// the timestamp and odd numbers must only ever set offsets and timestamps,
// never read or write outside a buffer.
//
// Whatever the input set, the positions must then survive a restart: they
// are written as a position file of their own, overwritten, and read back, and
// every file must find its offset and timestamp again.  The paths in the
// list are distinct and plain, as a round trip needs them.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_scratch.h"
#include "veld-config-unix.h"
#include "veld-logfile.h"

namespace {

constexpr const char *kTailed[] = {"/var/log/syslog", "/VAR/log/Messages", "/var/log/app/a.log",
                                   "/var/log/app/b"};
constexpr size_t kTailedCount = sizeof kTailed / sizeof kTailed[0];

std::string g_dir;    // scratch directory of both files
std::string g_input;  // the fuzzed position file
std::string g_saved;  // the positions written back

void RemoveFiles() {
  unlink(g_input.c_str());
  unlink(g_saved.c_str());
  rmdir(g_dir.c_str());
}

bool Setup() {
  std::snprintf(pLogFile, sizeof pLogFile, "%s", "/dev/null");
  std::string pattern = fuzz::ScratchPattern("veld-position-fuzz");
  if (mkdtemp(pattern.data()) == nullptr) return false;
  g_dir = pattern;
  g_input = g_dir + "/input";
  g_saved = g_dir + "/saved";
  std::atexit(RemoveFiles);
  for (const char *p : kTailed)
    if (!LogFileListAppend(LogFileNew(strdup(p)))) return false;
  return true;
}

bool Put(const uint8_t *data, size_t size) {
  FILE *f = std::fopen(g_input.c_str(), "we");
  if (f == nullptr) return false;
  bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

struct Position {
  uint64_t offset, stamp;
};

void CheckRoundTrip() {
  Position before[kTailedCount];
  size_t k = 0;
  for (P_LOGFILE_LIST n = LogFileList.load(); n != nullptr; n = n->next.load(), ++k)
    before[k] = {n->filesize, n->timestamp};
  if (LogFileWriteWatchdogFile(g_saved.c_str()) != 1) return;  // a full disk is no fault
  for (P_LOGFILE_LIST n = LogFileList.load(); n != nullptr; n = n->next.load())
    n->filesize = n->timestamp = 1;
  LogFileReadWatchdogFile(g_saved.c_str());
  k = 0;
  for (P_LOGFILE_LIST n = LogFileList.load(); n != nullptr; n = n->next.load(), ++k)
    if (n->filesize != before[k].offset || n->timestamp != before[k].stamp) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = Setup();
  if (!ready || !Put(data, size)) return 0;
  for (P_LOGFILE_LIST n = LogFileList.load(); n != nullptr; n = n->next.load())
    n->filesize = n->timestamp = 0;
  LogFileReadWatchdogFile(g_input.c_str());
  CheckRoundTrip();
  return 0;
}
