// veld-perfmon-agent: the agent's own figures, sent every cycle beside the
// host's: how much it has sent, how far behind it is, what it holds and
// what it gave up.  Read from the tailer's counters (LogFileGetStats); no
// state of its own.
#ifndef VELD_PERFMON_AGENT_H
#define VELD_PERFMON_AGENT_H

// One pass; always 1.
int PerfMonAGENTProcess();

#endif
