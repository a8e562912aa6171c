// veld-perfmon: the 300-second monitor loop and the metric record format
// shared by the samplers.
#ifndef VELD_PERFMON_H
#define VELD_PERFMON_H

void *PerfMonThread(void *arg);

#endif
