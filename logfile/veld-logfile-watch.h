// veld-logfile-watch: waking on change (veld-logfile-watch.cpp).  The
// directories that hold tailed files, and the watched directories, are
// watched through inotify; an event is only a hint to look at a file at
// once, and what is read is decided exactly as a pass decides it.  The pass
// every 10 s stays the safety net: for file systems that send no events,
// for directories that could not be watched, for anything missed.
// Tailer thread only.
#ifndef VELD_LOGFILE_WATCH_H
#define VELD_LOGFILE_WATCH_H

#include <vector>

#include "veld-logfile.h"

namespace logfile {

// Starts watching unless LogNotify says no or inotify is not there; false
// when the tailer polls only.  The descriptor to wait on, or -1.
bool WatchStart();
int WatchFd();
// After a look at every file: every directory of a tailed file, and every
// watched directory, is watched (through the descriptor the look checked,
// never by name); directories no longer needed are let go.  A directory
// that cannot be watched (the watches ran out) is polled, said once.
void WatchSync();
// What the pending events ask for: the nodes whose files changed, the
// watched directories where a new name appeared (at most one scan a second
// each), and whether events were lost (a full pass is due).
struct Changes {
  std::vector<P_LOGFILE_LIST> nodes;
  std::vector<P_LOGDIR_LIST> scans;
  bool overflow = false;
};
void WatchRead(Changes *out);

// Keeps the rhythm of the passes while the tailer waits on events: Arm
// starts a pause of `seconds` through veld_sleep on a thread of its own,
// after which TickFd becomes readable (and Arm clears it again).
void TickArm(unsigned seconds);
int TickFd();

// The tailer's side (veld-logfile-wake.cpp).  WakeOnChange says whether
// WatchStart succeeded.  LookAtChanges, between the turns of a drain, looks
// at what events named, when the budget of looks allows.  WaitForChanges
// waits out the pause between passes, `pass_pause` seconds, waking on
// events to look and serve at once, progress saved to `watchdog_file`.
void WakeOnChange(bool on);
void LookAtChanges();
void WaitForChanges(const char *watchdog_file, unsigned pass_pause);

}  // namespace logfile

#endif
