// veld-logfile-readers: which node read each file last, and how far
// (veld-logfile-readers.cpp).  A file renamed within a watched directory and
// found again by the scan continues from there, and a file one node has
// claimed is not sent by another.  A file is known by its whole identity,
// since inode numbers come back.  Also the paths of every tailed file, so a
// file another node tails is never taken for a moved one.  Tailer only.
#ifndef VELD_LOGFILE_READERS_H
#define VELD_LOGFILE_READERS_H

#include <sys/types.h>

#include <cstdint>
#include <string_view>

#include "veld-logfile-identity.h"
#include "veld-logfile.h"

namespace logfile {

void NoteReader(const FileId &id, P_LOGFILE_LIST node, uint64_t offset, const Fingerprint &fp);
// True, with the offset and fingerprint, when a node other than `node` read
// the file (open as `fd`, vouched for by those bytes) and its own path has
// moved away from it; `node` then becomes its reader.
bool TakeOver(const FileId &id, int fd, P_LOGFILE_LIST node, uint64_t *offset, Fingerprint *fp);
// Whether `node` is still the reader of the file (no other node took it).
bool IsReader(const FileId &id, P_LOGFILE_LIST node);
// Whether some node has read the file to its end.
bool ReadWhole(const FileId &id, off_t size);
// Whether a node other than `node` tails the file: its path leads there.
bool TailedElsewhere(const FileId &id, P_LOGFILE_LIST node);
// Forgets what is known of a node that is no longer tailed.
void ForgetReader(P_LOGFILE_LIST node);
// Forgets only the node's path: what it read stays known, so a file it read
// that turns up under another tailed name goes on from there.
void ForgetPath(P_LOGFILE_LIST node);

// The tailed paths: CatchUpPaths takes in the nodes linked since its last
// call, NotePath one node (given a new path when the scanner reused it);
// IsTailedPath asks for one spelt exactly so.
void CatchUpPaths();
void NotePath(P_LOGFILE_LIST node);
bool IsTailedPath(std::string_view path);

}  // namespace logfile

#endif
