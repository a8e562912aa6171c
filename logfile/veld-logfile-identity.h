// veld-logfile-identity: how the tailer knows a file again
// (veld-logfile-identity.cpp).  A file is the same file only when its device,
// inode number, birth time and owner all match: inode numbers come back for
// new files, births do not.  Where the file system keeps no birth time the
// identity holds none, and the bytes before the offset must then vouch for
// the file (the change time is no birth: every write moves it).
//
// A fingerprint is a digest of the up to 32 bytes before an offset, so the
// position file keeps no log content.  A fingerprint of nothing vouches for
// nothing.
#ifndef VELD_LOGFILE_IDENTITY_H
#define VELD_LOGFILE_IDENTITY_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace logfile {

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  uid_t uid = 0;
  bool has_owner = true;  // false only for an identity saved by an older agent
  bool has_birth = false;
  statx_timestamp birth{};
  // Device and inode only: the same inode now, whoever it belongs to.
  bool SameInode(const FileId &o) const { return dev == o.dev && ino == o.ino; }
  // The same file: inode and, where both sides know them, owner and birth.
  bool operator==(const FileId &o) const;
  // Born strictly before `o`; false where either birth is unknown.
  bool BornBefore(const FileId &o) const;
};

// One statx call for the status and the identity of an open file, or of the
// entry `name` of `dir` (a symlink is not followed); false on failure, errno
// set.
bool StatFd(int fd, struct stat *st, FileId *id);
bool StatAt(int dir, const char *name, struct stat *st, FileId *id);
inline bool SameIdentity(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A digest of the bytes just before an offset.  `len` is how many there
// were (up to kBytes); none at all is an empty fingerprint.
struct Fingerprint {
  static constexpr size_t kBytes = 32;
  uint8_t len = 0;
  uint64_t digest = 0;
  bool empty() const { return len == 0; }
  bool operator==(const Fingerprint &o) const { return len == o.len && digest == o.digest; }
  // Of the bytes `p[0..n)`, n <= kBytes.
  static Fingerprint Of(const void *p, size_t n);
  // Takes the up to kBytes bytes of `fd` before `offset`; false on a read error.
  bool Take(int fd, uint64_t offset);
  // Whether `fd` holds the same bytes just before `offset`.  An empty
  // fingerprint matches nothing: callers that may go on without one say so.
  bool Matches(int fd, uint64_t offset) const;
};

// Whether the file `fd`, whose identity matched `id`, is vouched for at
// `offset`: the bytes before it match `fp`, or, at offset 0 where there are
// none, the identity holds a birth time.
bool Confirmed(const FileId &id, const Fingerprint &fp, int fd, uint64_t offset);

// pread that goes on after a signal.
ssize_t PRead(int fd, void *buf, size_t n, uint64_t at);

}  // namespace logfile

#endif
