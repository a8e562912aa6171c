// veld-perfmon: the performance monitor's thread.  It starts the five
// samplers once and then, for ever, runs their passes and sleeps 300
// seconds; every pass reads its kernel files afresh and sends one record per
// metric over the collector link.  A sampler that cannot start ends this
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
#include "veld-perfmon.h"

namespace {

constexpr const char *kInitMessage = "Initializing our performance monitoring thread.";
constexpr const char *kCpuInitFailed = "Failed to init PerfMon CPU.";
constexpr const char *kMemInitFailed = "Failed to init PerfMon MEM.";
constexpr const char *kNetInitFailed = "Failed to init PerfMon NET.";
constexpr const char *kDiskInitFailed = "Failed to init PerfMon DISK.";
constexpr const char *kSysInitFailed = "Failed to init PerfMon SYS.";

// The head of every metric record: the pass's stamp and the tag.
constexpr const char kRecordHead[] = "%u VELDPerfMon: ";
// A stamp has at most ten digits, so the head always fits with room to
// spare and a record is cut only inside its body, at the same byte where one
// format of the whole record would cut it.
constexpr size_t kStampDigitsMax = 10;
static_assert(kStampDigitsMax + (sizeof kRecordHead - sizeof "%u") < PERFMON_RECORD_MAX);

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
  int head = std::snprintf(record, sizeof record, kRecordHead, stamp);
  if (head < 0) return false;
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(record + head, sizeof record - static_cast<size_t>(head), fmt, ap);
  va_end(ap);
  if (n < 0) return false;
  return SendLog(record) == 1;
}

unsigned int PerfMonStamp() { return static_cast<unsigned int>(veld_time(nullptr)); }

// ------------------------------------------------------------ line reader

PerfMonLineReader::PerfMonLineReader(char *buf, size_t cap, size_t maxline)
    : buf_(buf), cap_(cap), maxline_(maxline < cap ? maxline : cap - 1) {}

PerfMonLineReader::~PerfMonLineReader() {
  if (fd_ >= 0) close(fd_);
}

bool PerfMonLineReader::Open(const char *path) {
  char full[perfmon::kPathMax];
  if (!VeldKernelPath(full, sizeof full, path)) return false;
  if (fd_ >= 0) close(fd_);
  start_ = end_ = 0;
  eof_ = skipping_ = false;
  fd_ = open(full, O_RDONLY | O_CLOEXEC);
  return fd_ >= 0;
}

// Moves the unread bytes to the front and reads more behind them; false at
// the end of the file (or on an error, which ends the file just the same).
bool PerfMonLineReader::Fill() {
  if (start_ > 0) {
    std::memmove(buf_, buf_ + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  for (;;) {
    ssize_t n = read(fd_, buf_ + end_, cap_ - end_);
    if (n > 0) {
      end_ += static_cast<size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    eof_ = true;
    return false;
  }
}

bool PerfMonLineReader::Next(std::string_view *line) {
  if (fd_ < 0) return false;
  for (;;) {
    const char *b = buf_ + start_;
    size_t avail = end_ - start_;
    size_t len = 0;
    while (len < avail && b[len] != '\n' && b[len] != '\r') ++len;
    if (len < avail) {  // a whole line (or the tail of an over-long one)
      start_ += len + 1;
      if (skipping_) {
        skipping_ = false;
        continue;
      }
      if (len == 0) continue;
      *line = std::string_view(b, len < maxline_ ? len : maxline_);
      return true;
    }
    if (skipping_) {
      start_ = end_;
    } else if (avail >= maxline_) {
      // Keep the head of an over-long line and drop the rest of it.
      *line = std::string_view(b, maxline_);
      start_ = end_;
      skipping_ = true;
      return true;
    } else if (eof_) {
      start_ = end_;
      if (avail == 0) return false;
      *line = std::string_view(b, avail);  // last line without an end
      return true;
    }
    if (!eof_)
      Fill();
    else if (skipping_)
      return false;
  }
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

bool HasPrefixNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t k = 0; k < prefix.size(); ++k) {
    unsigned char a = static_cast<unsigned char>(s[k]), c = static_cast<unsigned char>(prefix[k]);
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    if (a != c) return false;
  }
  return true;
}

}  // namespace perfmon
