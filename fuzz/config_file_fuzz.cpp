// Reads arbitrary bytes as a whole configuration file into the settings
// store, reset to its defaults, and empty source lists, as start-up does:
// lines of any length, NULs, comments, missing or repeated "=" and quotes
// must only ever store settings and append sources, never read or write
// outside a buffer.
//
// The agent never frees a source-list node.  Here the harness is the lists'
// only user, so after each input it frees the nodes the file made and empties
// both lists: memory stays bounded across inputs and the leak checker stays
// on.  The store is made once: it holds only the known keys, so it cannot
// grow, and a fresh one per input would cost more than the parse (its bucket
// array is large).

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_scratch.h"
#include "veld-config-unix.h"
#include "veld-hash.h"
#include "veld-logfile.h"

namespace {

std::string g_path;  // the configuration file the inputs are written to

void RemoveFile() { unlink(g_path.c_str()); }

bool MakeFile() {
  std::string pattern = fuzz::ScratchPattern("veld-config-fuzz");
  int fd = mkstemp(pattern.data());
  if (fd < 0) return false;
  close(fd);
  g_path = pattern;
  std::atexit(RemoveFile);
  return true;
}

bool Put(const uint8_t *data, size_t size) {
  FILE *f = std::fopen(g_path.c_str(), "we");
  if (f == nullptr) return false;
  bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

void EmptySourceLists() {
  P_LOGFILE_LIST f = LogFileList.exchange(nullptr);
  while (f != nullptr) {
    P_LOGFILE_LIST next = f->next.load();
    std::free(f->log_file);
    delete f;
    f = next;
  }
  P_LOGDIR_LIST d = LogDirectoryList.exchange(nullptr);
  while (d != nullptr) {
    P_LOGDIR_LIST next = d->next.load();
    std::free(d->log_dir);
    delete d;
    d = next;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = MakeFile();
  if (!ready || !Put(data, size)) return 0;
  if (GlobalConfigHash == nullptr) GlobalConfigHash = hashtable_alloc(1, 0);
  ExpandEnvironment();
  // After the defaults: they name the agent's own log, which is not ours.
  std::snprintf(pLogFile, sizeof pLogFile, "%s", "/dev/null");
  if (CfgProcessConfiguration(g_path.c_str()) != 1) std::abort();
  // Every known setting still has a value, from the file or the defaults.
  for (const char *key : {kCfgWatchdogFile, kCfgRemoteHost, kCfgRemotePort, kCfgRemoteService})
    if (CfgHashGet(key) == nullptr) std::abort();
  EmptySourceLists();
  return 0;
}
