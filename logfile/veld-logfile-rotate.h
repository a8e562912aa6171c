// veld-logfile-rotate: rotation by size (veld-logfile-rotate.cpp) and the
// copying it is built on (veld-logfile-copy.cpp).  Backups are
// "<live>._hlr_<n>" for n in 0..kBackupSearch, built in kNameBuffer bytes;
// a name that would not fit is never cut.  A backup is written under a
// temporary name of a fixed length, "._hlr_tmp" and 8 letters or digits.
#ifndef VELD_LOGFILE_ROTATE_H
#define VELD_LOGFILE_ROTATE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

#include "veld-owners.h"

namespace logfile {

inline constexpr char kBackupFormat[] = "%s._hlr_%d";
inline constexpr char kBackupMark[] = "_hlr_";  // names holding it are never scanned
inline constexpr size_t kNameBuffer = 4096;
inline constexpr int kBackupSearch = 1024;
// Backup `k` of `live` into `out` (kNameBuffer bytes); false when it would
// not fit.
bool BackupName(char *out, const char *live, int k);
// Whether every backup name of the file at `live_path` fits, in the buffer
// and as a name in its directory; says so once when they do not.
bool BackupNamesFit(const char *live_path);
// Whether `name` is a rotation's temporary (this one's, or one named after
// its live file, as older versions made them).
bool IsRotationTemporary(const char *name);
// Removes the rotation temporaries a crash left in the directory `dir`
// (`path` names it in the entries): regular files only, never through a
// symlink.  Only where no rotation of this process is under way.
void SweepTemporaries(int dir, const char *path);

// The data of `in` from *pos to its end goes to the same offsets of `out`,
// holes kept, and *pos ends at that end.  On failure *call names the system
// call that failed, errno its reason.
enum class CopyResult { kDone, kReadFailed, kWriteFailed };
CopyResult CopyExtents(int in, int out, off_t *pos, const char **call);
// The whole of `in` (status `st`) into `out`, made durable, with the
// permission bits a backup of it gets (and its owner and group when
// `give_owner`).  Lines written while the copy was being synced are taken
// too: the caller empties `in` right after.
CopyResult CopyBackup(int in, int out, const struct stat &st, bool give_owner, const char **call);

// Rotates the live file, whose backups are "<live_path>._hlr_<n>".
// `live_path` is the path entries name; its last part names the file in the
// directory `dir`.  `live_rd` and `live_wr` are the live file open for
// reading and writing, `live` its status.  The older backups move one number
// up by rename first (a directory standing at a number is passed over:
// whatever else stands there moves with its name, never read, written or
// followed).  Then the live content goes into a file created new, synced,
// renamed into place as the newest backup, and the live file is emptied
// through `live_wr` at once: what is appended meanwhile is in the copy or
// in the emptied file, but for the moment between the copy's last read and
// the emptying.  True when rotated: *backup0 holds the new backup open.
bool RotateLog(int dir, const char *live_path, int live_rd, int live_wr, const struct stat &live,
               veld::UniqueFd *backup0);

}  // namespace logfile

#endif
