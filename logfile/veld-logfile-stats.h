// veld-logfile-stats: the counters behind LogFileGetStats
// (veld-logfile-stats.cpp).  The tailer and the link add to them; the
// monitor reads them for its agent_ records.
#ifndef VELD_LOGFILE_STATS_H
#define VELD_LOGFILE_STATS_H

#include <cstdint>
#include <ctime>

namespace logfile {

// Log-line records the collector took, and their bytes (tailer).
void CountSent(uint64_t records, uint64_t bytes);
// Records given up: metric records lost while the link was down (link),
// lines of held files let go at the cap (tailer).
void CountDropped(uint64_t records);
// The link was opened again after it broke (link).
void CountReconnect();
// The tailer woke on change events (tailer).
void CountWakeup();
// What the last look at every file found (tailer).
struct LookFigures {
  uint64_t backlog_bytes = 0;
  time_t oldest_unsent = 0;  // when the oldest unsent line was first seen; 0 for none
  uint64_t files_tailed = 0;
  uint64_t held_deleted_files = 0;
  uint64_t held_deleted_bytes = 0;
};
void SetLookFigures(const LookFigures &f);

}  // namespace logfile

#endif
