// veld-logfile-stats: what the agent reports of itself.  Counters only
// grow; the figures of the last look are replaced whole at every pass.  The
// tailer and the link write, the monitor reads: relaxed atomics, since no
// figure orders anything else.

#include "veld-logfile-stats.h"

#include <atomic>

#include "veld-config-unix.h"
#include "veld-logfile.h"

namespace logfile {

namespace {

struct Counters {
  std::atomic<uint64_t> lines_sent{0}, bytes_sent{0}, records_dropped{0}, reconnects{0};
  std::atomic<uint64_t> wakeups{0};
  std::atomic<uint64_t> backlog_bytes{0}, files_tailed{0}, held_files{0}, held_bytes{0};
  std::atomic<int64_t> oldest_unsent{0};
};
Counters g_counters;

}  // namespace

void CountSent(uint64_t records, uint64_t bytes) {
  g_counters.lines_sent.fetch_add(records, std::memory_order_relaxed);
  g_counters.bytes_sent.fetch_add(bytes, std::memory_order_relaxed);
}

void CountDropped(uint64_t records) {
  g_counters.records_dropped.fetch_add(records, std::memory_order_relaxed);
}

void CountReconnect() { g_counters.reconnects.fetch_add(1, std::memory_order_relaxed); }

void CountWakeup() { g_counters.wakeups.fetch_add(1, std::memory_order_relaxed); }

void SetLookFigures(const LookFigures &f) {
  g_counters.backlog_bytes.store(f.backlog_bytes, std::memory_order_relaxed);
  g_counters.oldest_unsent.store(f.oldest_unsent, std::memory_order_relaxed);
  g_counters.files_tailed.store(f.files_tailed, std::memory_order_relaxed);
  g_counters.held_files.store(f.held_deleted_files, std::memory_order_relaxed);
  g_counters.held_bytes.store(f.held_deleted_bytes, std::memory_order_relaxed);
}

}  // namespace logfile

void LogFileGetStats(LOGFILE_STATS *out) {
  using logfile::g_counters;
  constexpr auto r = std::memory_order_relaxed;
  out->lines_sent = g_counters.lines_sent.load(r);
  out->bytes_sent = g_counters.bytes_sent.load(r);
  out->backlog_bytes = g_counters.backlog_bytes.load(r);
  const int64_t since = g_counters.oldest_unsent.load(r);
  const int64_t now = static_cast<int64_t>(veld_time(nullptr));
  out->oldest_unsent_seconds = since > 0 && now > since ? static_cast<uint64_t>(now - since) : 0;
  out->files_tailed = g_counters.files_tailed.load(r);
  out->held_deleted_files = g_counters.held_files.load(r);
  out->held_deleted_bytes = g_counters.held_bytes.load(r);
  out->reconnects = g_counters.reconnects.load(r);
  out->records_dropped = g_counters.records_dropped.load(r);
  out->wakeups = g_counters.wakeups.load(r);
}
