// Where the fuzz targets keep the files they write for each input: TMPDIR
// when it is set, else /dev/shm when there is one, else /tmp.  A memory file
// system keeps the cost of a write, and of the position file's syncs, out of
// the time each input takes.
#ifndef VELD_FUZZ_SCRATCH_H
#define VELD_FUZZ_SCRATCH_H

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace fuzz {

// A mkstemp/mkdtemp pattern for `name` in the scratch directory.
inline std::string ScratchPattern(const char *name) {
  const char *dir = std::getenv("TMPDIR");
  struct stat st;
  if (dir == nullptr || *dir == '\0')
    dir = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/" + name + ".XXXXXX";
}

}  // namespace fuzz

#endif
