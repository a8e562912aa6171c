// veld-diaglog: the agent's own diagnostics, one line per entry in one text
// file.  Every thread writes through Log; an entry is formatted whole and
// leaves in one write, so entries never interleave.  The file is opened for
// each entry, so it may be removed or moved away at any time.
#ifndef VELD_DIAGLOG_H
#define VELD_DIAGLOG_H

#include "veld-limits.h"

extern const char *pServiceName;      // "VELDAgent", in every entry
extern char pLogFile[VELD_PATH_MAX];  // the log's path; set at start, tests point it elsewhere

// One entry: "<date>:  <service> [<priority>]: <message>".  1 when written.
int Log(int priority, const char *msg, ...) __attribute__((format(printf, 2, 3)));

// The same, with ": <call>: <strerror(errno)>" after the message, errno as
// it stood when this was called.  For the team's own failure messages; the
// fixed message texts go through Log unchanged.
int LogErrno(int priority, const char *call, const char *msg, ...)
    __attribute__((format(printf, 3, 4)));

#endif
