// veld-perfmon-disk: cumulative read and write counters of every block
// device in /proc/diskstats, and the size and free space of each local file
// system of a known type, chosen once at start from the mount table.
#ifndef VELD_PERFMON_DISK_H
#define VELD_PERFMON_DISK_H

#include <memory>

// At most this many mount directories are monitored.
#define PERFMON_DISK_MOUNTS 128

typedef struct PerfMonDiskInfo_ {
  // Mount directories of the monitored file systems, in mount-table order;
  // the first counter_size entries are set.
  std::unique_ptr<char *[]> adapterList;
  int counter_size;  // mount directories kept
  // Zero-filled, eight counters per mount directory; no pass uses it.
  std::unique_ptr<unsigned long long[]> avg;
  std::unique_ptr<std::unique_ptr<char[]>[]> dirs;  // storage behind adapterList
} PERFMON_DISK_INFO, *P_PERFMON_DISK_INFO;

// Null when the state cannot be made or the mount table cannot be read.
P_PERFMON_DISK_INFO PerfMonDISKInit();
// One pass: device records, then file-system records; always 1.
int PerfMonDISKProcess(P_PERFMON_DISK_INFO info);
// The device part of the pass; always 1.
int PerfMonDISKHandleReadWriteStats(P_PERFMON_DISK_INFO info);
void PerfMonDISKFree(P_PERFMON_DISK_INFO ret);

#endif
