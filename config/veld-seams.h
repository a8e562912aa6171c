// veld-seams: the few points through which tests drive the agent.  Every
// timed pause goes through veld_sleep and every record stamp and log date
// through veld_time, so tests can count pauses and fix stamps; kernel files
// and the mount table are read under szKernelRoot, so tests can feed a
// hand-made /proc tree.  The running daemon never changes them; tests set
// them only before any worker starts.
#ifndef VELD_SEAMS_H
#define VELD_SEAMS_H

#include <cstddef>
#include <ctime>

#include "veld-limits.h"

using VeldSleepFn = unsigned int (*)(unsigned int seconds);
using VeldClockFn = time_t (*)(time_t *t);
extern VeldSleepFn veld_sleep;  // default: sleep(3)
extern VeldClockFn veld_time;   // default: time(2)
extern char
    szKernelRoot[VELD_PATH_MAX];  // prefix for "/proc/..." and "/etc/mtab"; "" in production

// Builds szKernelRoot + path into out (size outlen); 1 on success, 0 when the
// result would not fit (nothing is ever cut silently).
int VeldKernelPath(char *out, size_t outlen, const char *path);

#endif
