// veld-agent: process entry, options, daemonising and the fixed order in
// which the workers start (veld-agent.cpp; main is in veld-main.cpp).  The
// globals here are the agent's identity and the paths it was told to use;
// the service name and the diagnostic log's path live with the log
// (veld-diaglog.h), the settings store with the settings (veld-config-unix.h).
#ifndef VELD_AGENT_H
#define VELD_AGENT_H

#include "veld-config-unix.h"
#include "veld-limits.h"

#define DEF_CONFIG_FILE "/etc/veldagentd.cfg"
#define VELD_VERSION "2.7.1"

extern char szConfigFile[VELD_PATH_MAX];  // configuration path; -c replaces it
extern int debug;                         // set by -d: stay in the foreground
extern const char *const pRevision;       // 40-hex-digit build revision

void VELDBanner();
void usage(int ac, char **av);
void ZUNForkBackground();
[[noreturn]] int VELDStartRoutine();
int VELDMain(int argc, char **argv);

#endif
