// veld-logfile-readers: which node read each file last, and how far
// (veld-logfile-readers.cpp).  A file renamed within a watched directory and
// found again by the scan continues from there, and a file one node has
// claimed is not sent by another.  A file is known by its identity and
// birth, since inode numbers come back.  Tailer only.
#ifndef VELD_LOGFILE_READERS_H
#define VELD_LOGFILE_READERS_H

#include <sys/stat.h>

#include <cstdint>

#include "veld-logfile-identity.h"
#include "veld-logfile.h"

namespace logfile {

void NoteReader(FileId id, const statx_timestamp &birth, P_LOGFILE_LIST node, uint64_t offset,
                const Fingerprint &fp);
// True, with the offset and fingerprint, when a node other than `node` read
// the file (open as `fd`) and its own path has moved away from it; `node`
// then becomes its reader.
bool TakeOver(FileId id, const statx_timestamp &birth, int fd, P_LOGFILE_LIST node,
              uint64_t *offset, Fingerprint *fp);
// Whether `node` is still the reader of the file (no other node took it).
bool IsReader(FileId id, const statx_timestamp &birth, P_LOGFILE_LIST node);
// Whether some node has read the file to its end.
bool ReadWhole(FileId id, const statx_timestamp &birth, off_t size);

}  // namespace logfile

#endif
