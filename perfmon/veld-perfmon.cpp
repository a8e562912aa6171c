// veld-perfmon: the performance monitor's thread.  It starts the five
// samplers once and then, for ever, runs their passes (and the agent's own
// figures, veld-perfmon-agent.cpp) and sleeps 300 seconds; every pass reads its kernel files afresh
// and sends one record per metric over the collector link.  A sampler that cannot start ends this
// thread alone: the rest of the agent goes on forwarding log lines.
//
// The record helpers and the line reader that the samplers share live here
// too, so that the record bound and the way kernel files are read are written
// once.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "veld-config-unix.h"
#include "veld-logfile.h"
#include "veld-perfmon-agent.h"
#include "veld-perfmon.h"

namespace {

constexpr const char *kInitMessage = "Initializing our performance monitoring thread.";
constexpr const char *kCpuInitFailed = "Failed to init PerfMon CPU.";
constexpr const char *kMemInitFailed = "Failed to init PerfMon MEM.";
constexpr const char *kNetInitFailed = "Failed to init PerfMon NET.";
constexpr const char *kDiskInitFailed = "Failed to init PerfMon DISK.";
constexpr const char *kSysInitFailed = "Failed to init PerfMon SYS.";

// The head of every metric record, the pass's stamp and the tag, is the
// record format's (LogRecordHead); it always fits with room to spare, so a
// record is cut only inside its body.
static_assert(LOG_RECORD_HEAD_MAX < PERFMON_RECORD_MAX);

struct StopSamplers {
  void operator()(P_PERFMON_SAMPLERS s) const { PerfMonStop(s); }
};

}  // namespace

// ------------------------------------------------------------------- loop

P_PERFMON_SAMPLERS PerfMonStart() {
  auto *s = new (std::nothrow) PERFMON_SAMPLERS{};
  if (s == nullptr) {
    Log(1, "%s", kCpuInitFailed);
    return nullptr;
  }
  const char *failed = nullptr;
  if ((s->cpu = PerfMonCPUInit()) == nullptr)
    failed = kCpuInitFailed;
  else if ((s->mem = PerfMonMEMInit()) == nullptr)
    failed = kMemInitFailed;
  else if ((s->net = PerfMonNETInit()) == nullptr)
    failed = kNetInitFailed;
  else if ((s->disk = PerfMonDISKInit()) == nullptr)
    failed = kDiskInitFailed;
  else if ((s->sys = PerfMonSYSInit()) == nullptr)
    failed = kSysInitFailed;
  if (failed != nullptr) {
    Log(1, "%s", failed);
    // Nothing will ever use the states already made; give them back.
    PerfMonStop(s);
    return nullptr;
  }
  return s;
}

unsigned int PerfMonCycle(P_PERFMON_SAMPLERS s, unsigned int i) {
  PerfMonCPUProcess(s->cpu);
  PerfMonMEMProcess(s->mem);
  PerfMonNETProcess(s->net);
  PerfMonDISKProcess(s->disk);
  PerfMonAGENTProcess();
  if (i % PERFMON_SYS_EVERY != 0) return i + 1;
  PerfMonSYSProcess(s->sys);
  return 1;
}

void PerfMonStop(P_PERFMON_SAMPLERS s) {
  if (s == nullptr) return;
  PerfMonCPUFree(s->cpu);
  PerfMonMEMFree(s->mem);
  PerfMonNETFree(s->net);
  PerfMonDISKFree(s->disk);
  PerfMonSYSFree(s->sys);
  delete s;
}

void *PerfMonThread(void *) {
  Log(3, "%s", kInitMessage);
  // The states live as long as the thread, which is as long as the process.
  std::unique_ptr<PERFMON_SAMPLERS, StopSamplers> s(PerfMonStart());
  if (!s) return nullptr;
  for (unsigned int i = 0;;) {
    i = PerfMonCycle(s.get(), i);
    veld_sleep(PERFMON_PERIOD);
  }
}

// ---------------------------------------------------------------- records

bool PerfMonSend(unsigned int stamp, const char *fmt, ...) {
  char record[PERFMON_RECORD_MAX];
  const size_t head = LogRecordHead(record, stamp, true);
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(record + head, sizeof record - head, fmt, ap);
  va_end(ap);
  if (n < 0) return false;
  // A format whose messages carry no line end gets the body without it.
  size_t len = std::strlen(record);
  if (!LogRecordKeepsLineEnd() && len > head && record[len - 1] == '\n') record[len - 1] = '\0';
  return SendLog(record) == 1;
}

unsigned int PerfMonStamp() { return static_cast<unsigned int>(veld_time(nullptr)); }

// ------------------------------------------------------------ line reader

bool PerfMonLineReader::Open(const char *path) {
  char full[VELD_PATH_MAX];
  return VeldKernelPath(full, sizeof full, path) && OpenFile(full);
}

// ------------------------------------------------------------ text helpers

namespace perfmon {

bool NextToken(std::string_view *rest, std::string_view seps, std::string_view *tok) {
  size_t b = rest->find_first_not_of(seps);
  if (b == std::string_view::npos) {
    *rest = std::string_view();
    return false;
  }
  size_t e = rest->find_first_of(seps, b);
  if (e == std::string_view::npos) e = rest->size();
  *tok = rest->substr(b, e - b);
  *rest = rest->substr(e);
  return true;
}

bool ParseU64(std::string_view s, unsigned long long *v, size_t *used) {
  size_t b = s.find_first_not_of(kBlanks);
  if (b == std::string_view::npos) return false;
  const char *first = s.data() + b, *last = s.data() + s.size();
  const char *p = first;
  while (p < last && *p >= '0' && *p <= '9') ++p;
  if (p == first) return false;
  auto r = std::from_chars(first, p, *v);
  if (r.ec == std::errc::result_out_of_range) *v = ~0ULL;
  if (used != nullptr) *used = static_cast<size_t>(p - s.data());
  return true;
}

}  // namespace perfmon
