// veld-perfmon: the 300-second monitor loop and the metric record format
// shared by the samplers.
//
// The loop starts the five samplers once (CPU, memory, network, disk, system
// identity) and then runs their passes for ever, pausing 300 seconds after
// each cycle.  Every sampler formats its records through PerfMonSend and
// reads its kernel files through PerfMonLineReader, which streams a file
// line by line through a caller-owned buffer: a pass opens each file once and
// allocates nothing, however long the file is.
#ifndef VELD_PERFMON_H
#define VELD_PERFMON_H

#include <cstddef>
#include <string_view>

#include "veld-limits.h"
#include "veld-linereader.h"
#include "veld-text.h"

#include "veld-perfmon-cpu.h"
#include "veld-perfmon-disk.h"
#include "veld-perfmon-mem.h"
#include "veld-perfmon-net.h"
#include "veld-perfmon-sysinfo.h"

// A metric record, NUL included, never exceeds this; longer text is cut.
#define PERFMON_RECORD_MAX 1024
// Seconds between the end of one cycle and the start of the next.  Fixed:
// the PerformanceMonitorPollingTimeout setting is stored but never read.
#define PERFMON_PERIOD 300
// The identity pass runs in the first cycle and in every eighth after it.
#define PERFMON_SYS_EVERY 8

// The sampler states the loop holds; each is owned by the loop.
typedef struct PerfMonSamplers_ {
  P_PERFMON_CPU_INFO cpu;
  P_PERFMON_MEM_INFO mem;
  P_PERFMON_NET_INFO net;
  P_PERFMON_DISK_INFO disk;
  P_PERFMON_SYS_INFO sys;
} PERFMON_SAMPLERS, *P_PERFMON_SAMPLERS;

// The thread body: start the samplers, then cycle for ever.  Returns null,
// and only when a sampler cannot start (after logging which one).
void *PerfMonThread(void *arg);

// Starts the samplers in loop order; on the first failure logs its message,
// releases those already made and returns null.
P_PERFMON_SAMPLERS PerfMonStart();
// One cycle: the CPU, memory, network and disk passes, then the identity pass
// when `i` is a multiple of 8.  Returns the counter for the next cycle (the
// loop starts with 0).  Does not pause.
unsigned int PerfMonCycle(P_PERFMON_SAMPLERS s, unsigned int i);
// Releases every state; nothing for null.
void PerfMonStop(P_PERFMON_SAMPLERS s);

// Sends one metric record: the record format's head ("<stamp> VELDPerfMon: "
// when plain) and then `fmt`, which holds only the body (the item's name
// where there is one, the key, the value and the newline, which the rfc5424
// format leaves out).  The whole record is formatted into a stack buffer
// bounded to PERFMON_RECORD_MAX and handed to SendLog; true when SendLog
// sent it, false when it did not or nothing could be formatted.
bool PerfMonSend(unsigned int stamp, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The record stamp: the seam clock's low 32 bits.
unsigned int PerfMonStamp();

// Reads a kernel file, its path taken under the kernel root, one line at a
// time (veld-linereader.h).
class PerfMonLineReader : public veld::LineReader {
 public:
  using LineReader::LineReader;
  // Opens szKernelRoot + `path`; false when it cannot.
  bool Open(const char *path);
};

namespace perfmon {

// The files the samplers read, each looked up under the kernel root.
// clang-format off
constexpr const char kStatPath[]      = "/proc/stat";       // CPU ticks, boot time
constexpr const char kCpuInfoPath[]   = "/proc/cpuinfo";    // processors, if sysconf cannot say
constexpr const char kMemInfoPath[]   = "/proc/meminfo";    // memory and swap sizes
constexpr const char kDiskStatsPath[] = "/proc/diskstats";  // block-device counters
constexpr const char kNetDevPath[]    = "/proc/net/dev";    // interface counters
constexpr const char kMountTable[]    = "/etc/mtab";        // read once, at start
constexpr const char kOsTypePath[]    = "/proc/sys/kernel/ostype";     // the kernel's type
constexpr const char kOsReleasePath[] = "/proc/sys/kernel/osrelease";  // and its release
// clang-format on

// A kernel-file line is looked at only up to this many bytes, as the
// 1026-byte line buffer of a single-line lookup would hold it; the rest of a
// longer line is dropped.
constexpr size_t kLineMax = 1025;
// The stream buffer a pass reads a kernel file through, whatever its length.
// It holds a whole line of kLineMax bytes with room for the next read.
constexpr size_t kStreamBuf = 4096;
static_assert(kStreamBuf > kLineMax);

// Text helpers shared by the samplers' parsers.

// Splits off the next token separated by any of `seps`; runs of separators
// count as one.  False when none is left.
bool NextToken(std::string_view *rest, std::string_view seps, std::string_view *tok);
// Reads an unsigned decimal number at the start of `s` after leading white
// space: digits only, saturating at the largest value.  False when no digit.
bool ParseU64(std::string_view s, unsigned long long *v, size_t *used = nullptr);
using veld::HasPrefixNoCase;

constexpr std::string_view kBlanks = " \t\n\r\v\f";

}  // namespace perfmon

#endif
