// veld-perfmon-agent: one record per figure of the agent's own, as
// "agent_<name>:<value>".

#include "veld-perfmon-agent.h"

#include <cinttypes>

#include "veld-logfile.h"
#include "veld-perfmon.h"

int PerfMonAGENTProcess() {
  LOGFILE_STATS s{};
  LogFileGetStats(&s);
  const unsigned int stamp = PerfMonStamp();
  const struct {
    const char *format;
    uint64_t value;
  } rows[] = {
      {"agent_lines_sent:%" PRIu64 "\n", s.lines_sent},
      {"agent_bytes_sent:%" PRIu64 "\n", s.bytes_sent},
      {"agent_backlog_bytes:%" PRIu64 "\n", s.backlog_bytes},
      {"agent_oldest_unsent_seconds:%" PRIu64 "\n", s.oldest_unsent_seconds},
      {"agent_files_tailed:%" PRIu64 "\n", s.files_tailed},
      {"agent_held_deleted_files:%" PRIu64 "\n", s.held_deleted_files},
      {"agent_held_deleted_bytes:%" PRIu64 "\n", s.held_deleted_bytes},
      {"agent_reconnects:%" PRIu64 "\n", s.reconnects},
      {"agent_records_dropped:%" PRIu64 "\n", s.records_dropped},
      {"agent_wakeups:%" PRIu64 "\n", s.wakeups},
  };
  for (const auto &row : rows) PerfMonSend(stamp, row.format, row.value);
  return 1;
}
