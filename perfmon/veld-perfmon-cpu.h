// veld-perfmon-cpu: per-processor CPU load from the kernel's cumulative tick
// counters in /proc/stat.  Each pass sends, for every processor that has a
// usable previous reading, its busy, system, user and idle shares of the
// ticks elapsed since that reading.
#ifndef VELD_PERFMON_CPU_H
#define VELD_PERFMON_CPU_H

#include <memory>

// Processor indices above this are ignored (far beyond any kernel's limit).
#define PERFMON_CPU_MAX 65536

typedef struct PerfMonCpuInfo_ {
  int counter_size;                         // processor slots, fixed at start
  std::unique_ptr<char *[]> adapterList;    // each slot's name: its index, "%d"
  std::unique_ptr<unsigned long[]> Usr;     // user ticks of the previous reading
  std::unique_ptr<unsigned long[]> Nice;    // nice ticks of the previous reading
  std::unique_ptr<unsigned long[]> System;  // system ticks of the previous reading
  std::unique_ptr<unsigned long[]> Idle;    // idle + I/O wait of the previous reading
  // Whether the four values above hold a reading at all: a stored zero is a
  // legitimate counter value, not a missing one.
  std::unique_ptr<bool[]> HavePrevious;
  // Scratch for one pass: the readings found in /proc/stat, 4 per slot, and
  // whether the slot's line was found and usable.  Made at start so a pass
  // allocates nothing.
  std::unique_ptr<unsigned long[]> Current;
  std::unique_ptr<unsigned char[]> Seen;
  std::unique_ptr<char[]> names;  // storage behind adapterList
} PERFMON_CPU_INFO, *P_PERFMON_CPU_INFO;

// The number of configured processors; -1 when the system cannot say and
// /proc/cpuinfo cannot be opened, -2 when it lists no processor.
int PerfMonGetCPUCount();
// Null when the state cannot be made.
P_PERFMON_CPU_INFO PerfMonCPUInit();
// One pass; 1 when every processor slot had its line, 0 otherwise.
int PerfMonCPUProcess(P_PERFMON_CPU_INFO info);
void PerfMonCPUFree(P_PERFMON_CPU_INFO ret);

#endif
