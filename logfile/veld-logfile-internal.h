// veld-logfile-internal: what the files of the log-collection module share
// and nothing outside it may use: the record format, the rhythm, backup
// names, the identity comparison and the module's messages.
#ifndef VELD_LOGFILE_INTERNAL_H
#define VELD_LOGFILE_INTERNAL_H

#include <sys/stat.h>

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>

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

// Rotates `live`: kRotated when it was copied into backup 0 and emptied;
// kCannotEmpty, with *error set, when it cannot be opened for emptying, so
// nothing was moved.  `expect`, when given, is the file the caller read and
// checked: a path that now names another file is left alone.
enum class RotateResult { kRotated, kNotRotated, kCannotEmpty };
RotateResult RotateLog(const char *live, bool live_nofollow, const struct stat *expect, int *error);

// Sends what `fd` holds from its position as log-line records stamped
// `stamp`, pausing after every kRecordsPerPause of them, and returns the
// bytes consumed: those of every record handed to SendLog.  It stops at the
// end of the file, or at the first record end once `budget` bytes are
// consumed.  A read error leaves an unfinished line for the next pass.
uint64_t SendRecords(int fd, time_t stamp, uint64_t budget);

// Unsigned number with the base taken from its prefix (0x, 0, decimal);
// parsing stops at the first character that does not fit, no digits give 0.
inline uint64_t ParseAutoBase(const char *s) { return std::strtoull(s, nullptr, 0); }

inline bool SameIdentity(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace logfile

#endif
