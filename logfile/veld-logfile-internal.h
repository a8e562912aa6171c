// veld-logfile-internal: what the files of the log-collection module share
// and nothing outside it may use: the record format, the rhythm, backup
// names, the identity comparison and the module's messages.
#ifndef VELD_LOGFILE_INTERNAL_H
#define VELD_LOGFILE_INTERNAL_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "veld-owners.h"

namespace logfile {

// A log-line record is "<stamp> VELDUnixLog: " + line bytes, at most
// kRecordMax characters, built in a buffer of kRecordBuffer bytes with its
// NUL; so a line part holds kRecordMax minus the prefix (4069 bytes with a
// ten-digit stamp).
inline constexpr char kRecordPrefix[] = "%lu VELDUnixLog: ";
inline constexpr size_t kRecordBuffer = 4096;
inline constexpr size_t kRecordMax = 4093;
inline constexpr unsigned kRecordsPerPause = 200;  // records of one file between 1 s pauses
inline constexpr size_t kReadBuffer = 65536;       // bytes taken from a file per read

inline constexpr uint64_t kDefaultRotationLimit = 1048576;  // without a LogRotationSize
inline constexpr unsigned kPassPause = 10;                  // seconds between tailer passes
inline constexpr unsigned kScanPause = 15;                  // seconds between directory scans

// Backups are "<live>._hlr_<n>" for n in 0..kBackupSearch; their names are
// built in kNameBuffer bytes and a name that would not fit is never cut.
inline constexpr char kBackupFormat[] = "%s._hlr_%d";
inline constexpr char kBackupMark[] = "_hlr_";  // names holding it are never scanned
inline constexpr size_t kNameBuffer = 4096;
inline constexpr int kBackupSearch = 1024;
bool BackupName(char *out, const char *live, int k);

// Messages; each is emitted from one place.
inline constexpr char kMsgPositionsRead[] = "Processed our watchdog file %s, successfully.";
inline constexpr char kMsgPositionsReadFailed[] = "Failed to read our watchdog file %s, ignoring.";
inline constexpr char kMsgPositionsWriteFailed[] =
    "Failed to write our watchdog status to %s, ignoring";
inline constexpr char kMsgFileMissing[] = "Unable to open log file for processing: %s";
inline constexpr char kMsgFileOpenFailed[] = "Failed to open log file %s for processing.";
inline constexpr char kMsgFileSeekFailed[] = "Failed to seek log file %s during processing.";
inline constexpr char kMsgFileNotRegular[] = "Log file %s is not a regular file, skipping it.";
inline constexpr char kMsgRotating[] =
    "Log file rotation in progress, (%" PRIu64 ") file %s greater than %" PRIu64 " bytes.";
inline constexpr char kMsgLinkRefused[] =
    "Log file %s is a link to a file of another user, not following it.";
inline constexpr char kMsgCannotEmpty[] = "Log file %s cannot be emptied, not rotating it";
inline constexpr char kMsgPathRefused[] =
    "Log file %s lies behind a link that another user could have laid or changed, not following "
    "it.";
inline constexpr char kMsgHardLinkRefused[] =
    "Log file %s has another name in a directory that other users can write, not touching it.";
inline constexpr char kMsgDirRefused[] =
    "Watched directory %s lies behind a link that another user could have laid or changed, not "
    "listing it.";
inline constexpr char kMsgNameRefused[] =
    "Not tailing %s: the position file could not keep its name apart from others.";
inline constexpr char kMsgRotateFailed[] = "Log file %s was not rotated";
inline constexpr char kMsgBackupNameTooLong[] =
    "Backup names of log file %s would be too long, not rotating it.";
inline constexpr char kMsgCopyOpenSource[] = "error while opening \"%s\" for reading";
inline constexpr char kMsgCopyOpenBackup[] = "cannot open backup file \"%s\" for writing";
inline constexpr char kMsgCopyRead[] = "error reading \"%s\"";
inline constexpr char kMsgCopyWrite[] = "error writing \"%s\"";
inline constexpr char kMsgCopyCloseSource[] = "error after reading \"%s\"";
inline constexpr char kMsgDirectoryFound[] =
    "Identified existing directory location for monitoring: %s";
inline constexpr char kMsgFileDiscovered[] = "Discovered new file within directory scan: %s";

// Rotates the live file, whose backups are "<name>._hlr_<n>" in the
// directory `dir`.  `live_rd` and `live_wr` are the live file open for
// reading and writing, `live` its status.  The older backups move one number
// up by rename, the live content goes into a file created new and synced,
// which is renamed into place as backup 0, and the live file is emptied
// through `live_wr`: nothing is ever written into a file that someone else
// made.  kRotated: *backup0 holds the new backup open for reading.
enum class RotateResult { kRotated, kNotRotated };
RotateResult RotateLog(int dir, const char *name, int live_rd, int live_wr, const struct stat &live,
                       veld::UniqueFd *backup0);

// Sends what `fd` holds from its position as log-line records stamped
// `stamp`, pausing after every kRecordsPerPause of them, and returns the
// bytes consumed: those of every record handed to SendLog.  It stops at the
// end of the file, or at the first record end once `budget` bytes are
// consumed.  A read error leaves an unfinished line for the next pass.
uint64_t SendRecords(int fd, time_t stamp, uint64_t budget);

// ---- reaching files and directories (veld-logfile-path.cpp) ----

// Who besides root could have made or replaced the links a resolution
// passed through: nobody, exactly one user, or anybody.
struct LinkTrust {
  enum Kind : unsigned char { kNobody, kOneUser, kAnyone };
  Kind kind = kNobody;
  uid_t user = 0;
  void Add(uid_t uid);  // one more user who could have acted; root adds nothing
  // A link `link` found in a directory with status `parent`.
  void AddLink(const struct stat &link, const struct stat &parent);
  // Whether what the links lead to may be used when it belongs to `owner`.
  bool Allows(uid_t owner) const;
};

// Whether a user other than root and `owner` can add names to a directory
// with status `dir` (and so plant a second name of another file there).
bool OthersCanAddNames(const struct stat &dir, uid_t owner);

enum class Reach { kOk, kMissing, kRefused, kFailed };  // errno tells why

inline constexpr size_t kWalkBuffer = 4096;

// Where a path led: the directory holding its last component (held open,
// O_PATH), that component's name and status (a link is not followed past
// the last component only when it is the last thing met), and who could
// have laid the links on the way.
struct Resolution {
  veld::UniqueFd dir;
  struct stat dir_st;
  char name[256];
  struct stat st;
  LinkTrust trust;
};
// Follows `path` one component at a time; links are followed wherever they
// stand, and recorded in `trust` for the caller to judge.
Reach Resolve(const char *path, Resolution *out);

// A directory reached from its path, open with the given flags (O_PATH to
// look things up in it, O_RDONLY to list it).
struct ReachedDir {
  veld::UniqueFd fd;
  struct stat st;
  LinkTrust trust;  // what its files must satisfy too
};
// kRefused when a link on the way could have been laid by a user other than
// root and the directory's owner.
Reach ReachDirectory(const char *path, int flags, ReachedDir *out);

// ---- the tailer's bookkeeping of one file (veld-logfile-tail.cpp) ----

struct FileState {
  bool identity_known = false;  // dev/ino hold the file last read
  dev_t dev = 0;
  ino_t ino = 0;
  // Each refusal or failure is said once, until the condition ends.
  bool missing_logged = false;
  bool nonregular_logged = false;
  bool unsafe_logged = false;
  bool unemptiable_logged = false;
};

// Unsigned number with the base taken from its prefix (0x, 0, decimal);
// parsing stops at the first character that does not fit, no digits give 0.
inline uint64_t ParseAutoBase(const char *s) { return std::strtoull(s, nullptr, 0); }

inline bool SameIdentity(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace logfile

#endif
