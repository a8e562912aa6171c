// veld-agent: process entry, options, daemonising and the fixed order in
// which the workers start.  Its files:
//   veld-main.cpp           main, which hands over to VELDMain
//   veld-agent-options.cpp  VELDMain: banner, options, usage, the -t check
//   veld-agent.cpp          daemonising and the start routine
// The globals here are the agent's identity and the paths it was told to
// use; the service name and the diagnostic log's path live with the log
// (veld-diaglog.h), the settings store with the settings (veld-config-unix.h).
#ifndef VELD_AGENT_H
#define VELD_AGENT_H

#include "veld-config-unix.h"
#include "veld-limits.h"

#define DEF_CONFIG_FILE "/etc/veldagentd.cfg"
#define VELD_VERSION "2.7.1"

// The command's exit statuses.  A started agent never exits on its own; the
// statuses are those of the usage text, -V, -t and the starting parent.
inline constexpr int kExitOk = 0;       // usage asked for, -V, a sound -t, a detached start
inline constexpr int kExitFailure = 1;  // -t found a problem; the agent died starting
inline constexpr int kExitUsage = 2;    // an unknown option, -c without its argument

extern char szConfigFile[VELD_PATH_MAX];  // configuration path; -c replaces it
extern int debug;                         // set by -d: stay in the foreground
extern const char *const pRevision;       // 40-hex-digit build revision

// veld-agent-options.cpp
void VELDBanner();
void usage(int ac, char **av);
int VELDMain(int argc, char **argv);
// -t: judges the configuration file as start-up would read it and prints
// each finding on standard error.  kExitOk when sound, else kExitFailure.
int VELDCheckConfiguration(const char *cfg_file);

// veld-agent.cpp
// Detaches.  The starting process waits until the agent has read its
// configuration, showing on its standard error what the agent logged until
// then, and exits with kExitOk (kExitFailure when the agent died first).
void ZUNForkBackground();
[[noreturn]] int VELDStartRoutine();

#endif
