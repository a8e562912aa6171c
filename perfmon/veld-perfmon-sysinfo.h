// veld-perfmon-sysinfo: the host's identity (boot time, host name, kernel
// type and release), sent in the monitor's first cycle and every eighth.
#ifndef VELD_PERFMON_SYSINFO_H
#define VELD_PERFMON_SYSINFO_H

typedef struct PerfMonSysInfo_ {
} PERFMON_SYS_INFO, *P_PERFMON_SYS_INFO;

P_PERFMON_SYS_INFO PerfMonSYSInit();
// One pass; always 1.
int PerfMonSYSProcess(P_PERFMON_SYS_INFO info);
void PerfMonSYSFree(P_PERFMON_SYS_INFO ret);

#endif
