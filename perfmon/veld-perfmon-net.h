// veld-perfmon-net: receive and transmit counters of every network interface
// in /proc/net/dev that has carried traffic.  The first pass only counts the
// interfaces; records start with the second.
#ifndef VELD_PERFMON_NET_H
#define VELD_PERFMON_NET_H

#include <memory>

typedef struct PerfMonNetInfo_ {
  int counter_size;    // 0; unused by the passes
  char **adapterList;  // null; unused by the passes
  // Null while counting; afterwards a zero-filled block of eight counters per
  // interface counted.  Only its presence is used: it ends the counting pass.
  std::unique_ptr<unsigned long long[]> avg;
} PERFMON_NET_INFO, *P_PERFMON_NET_INFO;

P_PERFMON_NET_INFO PerfMonNETInit();
// One pass: PerfMonNETHandleAdapterList's result.
int PerfMonNETProcess(P_PERFMON_NET_INFO info);
// The pass proper; always 1.
int PerfMonNETHandleAdapterList(P_PERFMON_NET_INFO info);
void PerfMonNETFree(P_PERFMON_NET_INFO ret);

#endif
