// veld-agent: process entry, options, daemonising and the fixed order in
// which the workers start.  The globals here are the agent's identity and
// the paths it was told to use.
#ifndef VELD_AGENT_H
#define VELD_AGENT_H

#include "veld-hash.h"

#define DEF_CONFIG_FILE "/etc/veldagentd.cfg"
#define VELD_VERSION "2.7.1"
#define VELD_PATH_MAX 1025  // every path buffer; copies into it stop at 1023 bytes

extern char szConfigFile[VELD_PATH_MAX];  // configuration path; -c replaces it
extern int debug;                         // set by -d: stay in the foreground
extern const char *pServiceName;          // "VELDAgent", in every log entry
extern char pLogFile[VELD_PATH_MAX];      // diagnostic log path; tests point it elsewhere
extern HashTable *GlobalConfigHash;       // settings store, filled before workers start
extern const char *const pRevision;       // 40-hex-digit build revision

void VELDBanner();
void usage(int ac, char **av);
void ZUNForkBackground();
[[noreturn]] int VELDStartRoutine();
int VELDMain(int argc, char **argv);

#endif
