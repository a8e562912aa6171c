// veld-config: the settings store and the configuration file, the agent's
// diagnostic log, and the small file and text helpers every other module
// shares.  It also holds the few replaceable seams (sleep, clock, kernel-file
// root) through which tests drive time and feed hand-made /proc trees; the
// running daemon never changes them.
#ifndef VELD_CONFIG_UNIX_H
#define VELD_CONFIG_UNIX_H

#include <cstddef>
#include <ctime>

// Settings store.
int ExpandEnvironment();
int CfgHashAdd(const char *key, const char *value);
char *CfgHashGet(const char *key);
int CfgProcessConfiguration(const char *cfg_file);
int CfgProcessLine(const char *myline);
void trim(char *s);
int veld_stricmp(const char *s1, const char *s2);

// Diagnostic log.
int Log(int priority, const char *msg, ...) __attribute__((format(printf, 2, 3)));

// File and text utilities.
int FileExists(const char *name);
int read_line(const char *filename, char *line, unsigned int len, const char *key);
int veld_strincmp(const char *string, const char *pattern, size_t len);
int UrlEncode(const unsigned char *s, unsigned char *t);

// Seams.  Every timed pause in the agent goes through veld_sleep and every
// record stamp and log date through veld_time, so tests can count pauses and
// fix stamps.  Kernel files and the mount table are read under
// szKernelRoot ("" in production).  Set these only before workers start.
using VeldSleepFn = unsigned int (*)(unsigned int seconds);
using VeldClockFn = time_t (*)(time_t *t);
extern VeldSleepFn veld_sleep;   // default: sleep(3)
extern VeldClockFn veld_time;    // default: time(2)
extern char szKernelRoot[1025];  // prefix for "/proc/..." and "/etc/mtab"

// Builds szKernelRoot + path into out (size outlen); 1 on success, 0 when the
// result would not fit (nothing is ever cut silently).
int VeldKernelPath(char *out, size_t outlen, const char *path);

#endif
