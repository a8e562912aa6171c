// veld-seams: the production values of the test seams.

#include "veld-seams.h"

#include <unistd.h>

#include <cstdio>

namespace {

unsigned int RealSleep(unsigned int seconds) { return sleep(seconds); }
time_t RealTime(time_t *t) { return time(t); }

}  // namespace

VeldSleepFn veld_sleep = RealSleep;     // tests: a counter instead of a pause
VeldClockFn veld_time = RealTime;       // tests: a fixed clock
char szKernelRoot[VELD_PATH_MAX] = "";  // tests: a hand-made /proc tree

int VeldKernelPath(char *out, size_t outlen, const char *path) {
  int n = std::snprintf(out, outlen, "%s%s", szKernelRoot, path);
  return (n >= 0 && static_cast<size_t>(n) < outlen) ? 1 : 0;
}
