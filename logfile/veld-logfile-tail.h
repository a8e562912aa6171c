// veld-logfile-tail: what the tailer's files share (veld-logfile-tail.cpp,
// the passes; veld-logfile-turn.cpp, the turns; veld-logfile-wake.cpp, the
// waits between passes).  A pass looks at every
// tailed file; a file with unsent lines joins the queue of turns, and each
// turn sends one burst (up to 200 records or 64 KiB) of one file, so no file
// holds the others.  Over a link that cannot push back (UDP) a file waits
// for its next turn until its rate allows; elsewhere the link's own flow
// control paces.  Tailer thread only.
#ifndef VELD_LOGFILE_TAIL_H
#define VELD_LOGFILE_TAIL_H

#include <chrono>
#include <ctime>

#include "veld-logfile-follow.h"
#include "veld-logfile.h"

namespace logfile {

using Clock = std::chrono::steady_clock;

// Looks at one node (veld-logfile-tail.cpp): follows what its path leads to,
// queues it when it has unsent lines, and rotates it when it is over the
// limit with everything sent.
void LookAt(P_LOGFILE_LIST node);
// Every node not yet looked at (new ones a scan added); every node, with the
// held files kept under their cap and the figures taken.
void LookNew();
void LookAll();
size_t FilesLookedAt();  // by the last LookAll
// Progress is saved as it is made, to `watchdog_file`, until called with null.
void SavingProgress(const char *watchdog_file);
// The node has sent everything it held when last looked at: rotates it if
// it was over the limit then.  New lines wait for the next look, so a writer
// faster than the link cannot hold the pass.
void Drained(P_LOGFILE_LIST node, FileState *fs);

// The queue of turns (veld-logfile-turn.cpp).
void Enqueue(P_LOGFILE_LIST node, FileState *fs);
// Takes the node out of the queues, wherever it waits.
void Unqueue(P_LOGFILE_LIST node);
// Serves the queue: a turn at a time, until it is empty, the link fails, or
// the clock (veld_time) reaches `stop`.  When every queued file waits for its
// rate, sleeps if `may_sleep`, or returns.  True when the queue was emptied.
// Between turns, at most every kBetweenTurns, calls `between` (when given):
// the files changes named are looked at, so they take their turns at once.
inline constexpr auto kBetweenTurns = std::chrono::milliseconds(50);
bool Serve(time_t stop, bool may_sleep, void (*between)() = nullptr);
// Milliseconds until the first file waiting for its rate may send again;
// -1 when none waits.
int PacedWaitMs();
// Serves the one node until it has nothing unsent or the link fails.
void ServeOnly(P_LOGFILE_LIST node, FileState *fs);
// A send failed in this pass: nothing more goes until the next one.
bool LinkFailed();
void ResetLinkFailed();
// Called after each turn: saves progress, at most once a second.
void AfterTurn();

}  // namespace logfile

#endif
