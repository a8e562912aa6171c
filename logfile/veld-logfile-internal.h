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
#include <vector>

#include "veld-logfile.h"
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

// Copying (veld-logfile-copy.cpp): the data of `in` from *pos to its end
// goes to the same offsets of `out`, holes kept, and *pos ends at that end.
enum class CopyResult { kDone, kReadFailed, kWriteFailed };
CopyResult CopyExtents(int in, int out, off_t *pos);
// The permission bits a backup of a file with status `st` gets.
mode_t BackupMode(const struct stat &st);
RotateResult RotateLog(int dir, const char *name, int live_rd, int live_wr, const struct stat &live,
                       veld::UniqueFd *backup0);

// ---- records and batches (veld-logfile-record.cpp, veld-logfile-link.cpp) ----

// The records of one file's burst, laid end to end in one buffer: a TCP link
// sends them with one call, a UDP link one datagram each with one sendmmsg.
// Each entry keeps the file offset its record ends at, so a batch sent only
// in part tells how far the file was handed over.
struct Batch {
  static constexpr size_t kBytes = 65536;  // a batch is sent before it would grow past this
  struct Entry {
    uint32_t start;  // in bytes[]
    uint32_t len;
    uint64_t end;  // the file offset just behind the record's line part
  };
  char bytes[kBytes];
  Entry entries[kRecordsPerPause];
  size_t used = 0;   // bytes taken
  size_t count = 0;  // entries taken
};
static_assert(Batch::kBytes >= kRecordMax, "a batch holds at least one record");

// ---- the link's own (veld-logfile-link.cpp, veld-logfile-send.cpp) ----

inline constexpr int kProtoUDP = 0;
inline constexpr int kProtoTCP = 1;
inline constexpr char kDefaultServer[] = "127.0.0.1";  // when no host was ever set
// A TCP connect, or a send, that cannot finish within this long fails like
// any other: a collector that accepts but never reads, or a host that
// swallows packets, must not hold the tailer and the monitor (who wait on
// the lock) for ever.
inline constexpr time_t kStallSeconds = 15;

// Forgets a past outage: a new link starts afresh (LogInit).
void LinkStateReset();

inline const char *ServerName(const SOCKET_DATA &d) {
  return d.server != nullptr ? d.server : kDefaultServer;
}

// Sends the batch, in order, each record whole; the number of records sent.
// Fewer than all: the link was broken and could not be restored at once,
// and the sender should stop.
size_t LinkSendBatch(const Batch &b);

// The bytes just before an offset, kept to recognise a file again: a file
// that no longer holds them there was truncated or rewritten.
struct Fingerprint {
  static constexpr size_t kBytes = 32;
  unsigned char bytes[kBytes] = {};
  uint8_t len = 0;
  bool operator==(const Fingerprint &o) const;
  // Takes the up to kBytes bytes of `fd` before `offset`; false on a read error.
  bool Take(int fd, uint64_t offset);
  // Whether `fd` holds these bytes just before `offset`.
  bool Matches(int fd, uint64_t offset) const;
};

// How a read stopped.
enum class ReadOutcome {
  kEnd,        // the file, or what it held when opened, was read to its end
  kPause,      // a burst of kRecordsPerPause records went out: pause, then go on
  kLinkDown,   // a record could not be sent; the offset stays at its start
  kTruncated,  // the file shrank under the read; nothing of the cut line went out
};

// Turns the bytes of a file into records and sends them in batches.
// Resumable: after kPause, Run goes on where it stopped.  One instance, the
// tailer's, holds the buffers.
class RecordReader {
 public:
  // Reads `fd` from `from`; stops at the first record end at or past `limit`
  // (what the file held when opened).  Every record carries `stamp`.
  void Start(int fd, uint64_t from, uint64_t limit, time_t stamp);
  ReadOutcome Run();
  uint64_t consumed() const { return done_; }  // the offset behind the last record sent
  // The fingerprint at consumed(), from the bytes read where possible.
  Fingerprint TakeFingerprint() const;
  // The file's first bytes, when this read began at the start of the file:
  // taken from the very bytes that were sent.  Empty otherwise.
  const Fingerprint &head() const { return head_; }

 private:
  bool Flush();  // false when the link failed
  bool Emit();   // the record ends; false when a flush failed
  bool TakeBytes(const char *in, size_t n, bool *stop);
  bool TakeNuls(uint64_t z, bool *stop);
  bool PassHole(bool *stop);
  ReadOutcome AtEnd();

  int fd_ = -1;
  uint64_t pos_ = 0;    // next byte to read
  uint64_t limit_ = 0;  // read no further line than the one this falls in
  uint64_t done_ = 0;   // behind the last record sent (or left out, empty)
  uint64_t taken_ = 0;  // behind the last byte put in a record
  char prefix_[32];
  size_t plen_ = 0, cap_ = 0;  // prefix length; line bytes per record
  size_t raw_ = 0;             // line bytes of the record being built
  bool building_ = false;      // a record has been started in the batch
  unsigned burst_ = 0;         // records since the last pause
  bool paused_ = false;        // Run returned kPause with the burst sent
  Batch batch_;
  Fingerprint head_;
  char in_[kReadBuffer];
  uint64_t in_at_ = 0;  // file offset of in_[0]
  size_t in_len_ = 0;   // bytes in in_
  size_t in_next_ = 0;  // next byte of in_ to take
};

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

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId &o) const { return dev == o.dev && ino == o.ino; }
};
inline FileId IdOf(const struct stat &st) { return FileId{st.st_dev, st.st_ino}; }

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

// ---- looking a file up (veld-logfile-look.cpp) ----

// What the path of a node leads to, once it was found fit to read.
struct Target {
  int dir = -1;                // the directory holding the file
  const char *name = nullptr;  // the file's name in it
  struct stat st {};
  int backup_dir = -1;  // where its backups go: the path's own directory
  const char *backup_name = nullptr;
  Resolution via;  // holds `dir` and `name` when the path's last part is a link
};

// Directories are reached afresh once per look generation: once per pass.
void NewLookGeneration();
// Finds the file behind the node's path; false, having said why once,
// when it is missing or may not be read.
bool FindTarget(P_LOGFILE_LIST node, FileState *fs, Target *t);
// Opens the target; it must still be the file that was looked at (ESTALE).
veld::UniqueFd OpenTarget(const Target &t, int mode);
bool IgnoredExtension(const char *path);

// ---- the tailer's shared steps (veld-logfile-tail.cpp) ----

// One stamp for everything a file sends in a pass, taken when first needed.
class PassStamp {
 public:
  time_t Get();

 private:
  time_t stamp_ = 0;
  bool taken_ = false;
};

enum class Read { kAll, kLinkDown, kShrank };
// Sends what `fd` holds from *offset up to `limit`, pausing a second after
// each burst (and saving progress before it); *offset and *fp follow.
// From the start of the file, *head (when given) becomes its first bytes.
Read SendFrom(int fd, uint64_t *offset, uint64_t limit, Fingerprint *fp, PassStamp *stamp,
              Fingerprint *head = nullptr);
// Keeps a file open between passes while descriptors allow; Unhold takes it
// back out, Release closes it.
void Hold(FileState *fs, veld::UniqueFd fd);
veld::UniqueFd Unhold(FileState *fs);
void Release(FileState *fs);

// ---- what the tailer does when a file has moved (veld-logfile-follow.cpp) ----

// Queues a file the path has moved away from, claiming it for `node`.
void Queue(P_LOGFILE_LIST node, FileState *fs, Earlier e);
// The path leads to another file than the one last read, or is seen for
// the first time since a start.
void Arrive(P_LOGFILE_LIST node, FileState *fs, const Target &t);
// Before reading on: the file must still hold what the offset was measured
// in, or its unsent end is looked for in a copy and the offset goes to 0.
void CheckContinuity(P_LOGFILE_LIST node, FileState *fs, const Target &t);
void LostHead(P_LOGFILE_LIST node, FileState *fs, const Target &t);
// Sends the queued files, oldest first; false when the link failed.
bool DrainEarlier(P_LOGFILE_LIST node, FileState *fs, PassStamp *stamp);

// ---- finding where a moved file went (veld-logfile-siblings.cpp) ----

// The entry of `dir` that is the file `id`, holding `fp` before `offset`,
// opened for reading.
veld::UniqueFd FindByIdentity(int dir, FileId id, uint64_t offset, const Fingerprint &fp);
// A sibling of `name` in `dir` (its name begins with it; backups included)
// that holds at least `offset` bytes, `fp` just before `offset` and `head`
// at its start: the copy a copy-and-truncate, or our own rotation, left of
// the file.  The youngest, when several qualify.
veld::UniqueFd FindCopy(int dir, const char *name, uint64_t offset, const Fingerprint &fp,
                        const Fingerprint &head);
// Siblings of `name` born after `after` that are none of the files in
// `known`, oldest first: files that lived at the path between two looks.
void FindBetween(int dir, const char *name, const struct statx_timestamp &after,
                 const std::vector<FileId> &known, std::vector<Earlier> *out);
// The birth time of an open file, or of the entry `name` of `dir` (the
// change time where the file system keeps none).
struct statx_timestamp BirthOf(int fd);
struct statx_timestamp BirthAt(int dir, const char *name);

// Which node read a file last, and how far: a file renamed within a watched
// directory and found again by the scan continues from there.  A file is
// known by its identity and birth, since inode numbers come back.
void NoteReader(FileId id, const statx_timestamp &birth, P_LOGFILE_LIST node, uint64_t offset,
                const Fingerprint &fp);
// True, with the offset and fingerprint, when a node other than `node` read
// the file (open as `fd`) and its own path has moved away from it; `node`
// then becomes its reader.
bool TakeOver(FileId id, const statx_timestamp &birth, int fd, P_LOGFILE_LIST node,
              uint64_t *offset, Fingerprint *fp);
// Whether `node` is still the reader of the file (no other node took it).
bool IsReader(FileId id, const statx_timestamp &birth, P_LOGFILE_LIST node);

// Unsigned number with the base taken from its prefix (0x, 0, decimal);
// parsing stops at the first character that does not fit, no digits give 0.
inline uint64_t ParseAutoBase(const char *s) { return std::strtoull(s, nullptr, 0); }

inline bool SameIdentity(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace logfile

#endif
