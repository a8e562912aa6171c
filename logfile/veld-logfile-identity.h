// veld-logfile-identity: how the tailer knows a file again.  A file is named
// by its device and inode number, and the bytes just before an offset tell
// whether it still holds what was read there.  Inode numbers come back for
// new files, so the time a file was born is kept beside them.
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
  bool operator==(const FileId &o) const { return dev == o.dev && ino == o.ino; }
};
inline FileId IdOf(const struct stat &st) { return FileId{st.st_dev, st.st_ino}; }
inline bool SameIdentity(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The birth time of an open file, or of the entry `name` of `dir` (the
// change time where the file system keeps none).
struct statx_timestamp BirthOf(int fd);
struct statx_timestamp BirthAt(int dir, const char *name);
bool BirthBefore(const statx_timestamp &a, const statx_timestamp &b);
bool SameBirth(const statx_timestamp &a, const statx_timestamp &b);

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

// pread that goes on after a signal.
ssize_t PRead(int fd, void *buf, size_t n, uint64_t at);

}  // namespace logfile

#endif
