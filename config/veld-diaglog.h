// veld-diaglog: the agent's own diagnostics, one line per entry in one text
// file.  Every thread writes through Log; an entry is formatted whole and
// leaves in one write, so entries never interleave.  The file is opened for
// each entry, so it may be removed or moved away at any time.  LogRepeat
// sits in front of Log where one failure can repeat once per record.
#ifndef VELD_DIAGLOG_H
#define VELD_DIAGLOG_H

#include <ctime>
#include <mutex>

#include "veld-limits.h"

extern const char *pServiceName;      // "VELDAgent", in every entry
extern char pLogFile[VELD_PATH_MAX];  // the log's path; set at start, tests point it elsewhere

// One entry: "<date>:  <service> [<priority>]: <message> [pid <pid>]".  The
// process id comes after every field older readers know; a message that
// ends in line ends keeps them after it.  1 when written.
int Log(int priority, const char *msg, ...) __attribute__((format(printf, 2, 3)));

// The same, with ": <call>: <strerror(errno)>" after the message, errno as
// it stood when this was called.  For the team's own failure messages; the
// fixed message texts go through Log unchanged.
int LogErrno(int priority, const char *call, const char *msg, ...)
    __attribute__((format(printf, 3, 4)));

// When on, every entry is also written to standard error as it stands in
// the file, whether or not the file could be opened.  Start-up turns it on
// for a foreground agent, whose standard error a service manager collects.
void LogMirrorToStderr(bool on);

// Seconds after which a failure that keeps repeating is counted in the log
// again, even though it has not ended.
inline constexpr time_t kLogRepeatReport = 300;
// A repeating message is compared within this many bytes.
inline constexpr size_t kLogRepeatText = 2048;

// One failure that may come once per record: the first occurrence is logged
// as it is; identical ones after it are only counted, and
// "<message> repeated N times" is logged when a different message comes,
// when Clear says the condition has ended, or at the first repeat
// kLogRepeatReport seconds or more after the last report.  Safe to share
// between threads.
class LogRepeat {
 public:
  // A failure, formatted as for Log.  1 when logged or counted.
  int Report(int priority, const char *msg, ...) __attribute__((format(printf, 3, 4)));
  // The condition has ended (the next attempt worked): logs the count of
  // repeats not yet logged, and the next failure is logged in full again.
  void Clear();

 private:
  void FlushLocked();  // logs the pending count, if any

  std::mutex mu_;
  char last_[kLogRepeatText] = {};  // the message being counted, without its line ends
  int priority_ = 0;
  unsigned long pending_ = 0;  // repeats since the last line about this message
  time_t reported_ = 0;        // when the last line about this message was written
  bool active_ = false;        // a failure is being counted
};

#endif
