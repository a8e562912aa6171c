// veld-perfmon-mem: memory and swap sizes from /proc/meminfo, in bytes, and
// the buffer and shared memory of the kernel's sysinfo record.  No state is
// kept between passes.
#ifndef VELD_PERFMON_MEM_H
#define VELD_PERFMON_MEM_H

typedef struct PerfMonMemInfo_ {
  int counter_size;  // 1; unused by the pass
  double result;     // 0; unused by the pass
} PERFMON_MEM_INFO, *P_PERFMON_MEM_INFO;

P_PERFMON_MEM_INFO PerfMonMEMInit();
// One pass; always 1.
int PerfMonMEMProcess(P_PERFMON_MEM_INFO info);
void PerfMonMEMFree(P_PERFMON_MEM_INFO ret);

#endif
