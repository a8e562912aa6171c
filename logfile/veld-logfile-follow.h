// veld-logfile-follow: following a tailed file across rotation
// (veld-logfile-follow.cpp).  The tailer keeps a FileState for each node: the
// file its path led to when last read, and the files the path has moved away
// from whose lines are not all sent yet.
#ifndef VELD_LOGFILE_FOLLOW_H
#define VELD_LOGFILE_FOLLOW_H

#include <sys/stat.h>

#include <cstdint>
#include <vector>

#include "veld-logfile-identity.h"
#include "veld-logfile-look.h"
#include "veld-logfile.h"
#include "veld-owners.h"

namespace logfile {

// A file the path has moved away from, with lines not yet sent: the old
// file renamed by a rotation, the copy a copy-and-truncate left, our own
// backup.  Sent before the file the path leads to now.
struct Earlier {
  veld::UniqueFd fd;
  FileId id;
  struct statx_timestamp birth {};
  uint64_t offset = 0;
  Fingerprint fp;
  off_t seen_size = -1;  // its size when last drained; dropped once it stays so for a pass
};

struct FileState {
  // The file the path led to when last read, and where its unsent part
  // starts (the node's filesize).
  bool identity_known = false;
  bool from_positions = false;  // identity and fingerprint as saved, not yet checked
  FileId id;
  struct statx_timestamp birth {};  // of the file `id`: numbers come back, births do not
  Fingerprint fp;
  // The file's first bytes, once read.  The bytes before the offset may be
  // the same from line to line; a file emptied and written past the offset
  // again rarely begins as it did.
  Fingerprint head;
  veld::UniqueFd fd;             // held between passes, while descriptors allow
  std::vector<Earlier> earlier;  // oldest first
  // What was last put in the readers' index for this node, so that an idle
  // file costs no lookup there.
  bool noted = false;
  FileId noted_id;
  uint64_t noted_offset = 0;
  struct statx_timestamp noted_birth {};
  // Each refusal or failure is said once, until the condition ends.
  bool missing_logged = false;
  bool nonregular_logged = false;
  bool unsafe_logged = false;
  bool unemptiable_logged = false;
  bool lost_logged = false;
};

// Keeps a file open between passes while descriptors allow (the limit less
// a reserve, taken afresh by ResetHoldBudget); Unhold takes it back out,
// Release closes it.
void ResetHoldBudget();
void Hold(FileState *fs, veld::UniqueFd fd);
veld::UniqueFd Unhold(FileState *fs);
void Release(FileState *fs);

// Queues a file the path has moved away from, claiming it for `node`.
void Queue(P_LOGFILE_LIST node, FileState *fs, Earlier e);
// The path leads to another file than the one last read, or is seen for
// the first time since a start.
void Arrive(P_LOGFILE_LIST node, FileState *fs, const Target &t);
// Before reading on: the file must still hold what the offset was measured
// in, or its unsent end is looked for in a copy and the offset goes to 0.
void CheckContinuity(P_LOGFILE_LIST node, FileState *fs, const Target &t);
void LostHead(P_LOGFILE_LIST node, FileState *fs, const Target &t);

}  // namespace logfile

#endif
