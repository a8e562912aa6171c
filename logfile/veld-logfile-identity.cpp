// veld-logfile-identity: file identities, birth times and fingerprints.

#include "veld-logfile-identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace logfile {

namespace {

statx_timestamp BirthIn(const struct statx &sx) {
  return (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime;
}

}  // namespace

statx_timestamp BirthOf(int fd) {
  struct statx sx {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME | STATX_CTIME, &sx) != 0) return statx_timestamp{};
  return BirthIn(sx);
}

statx_timestamp BirthAt(int dir, const char *name) {
  struct statx sx {};
  if (statx(dir, name, AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_CTIME, &sx) != 0)
    return statx_timestamp{};
  return BirthIn(sx);
}

bool BirthBefore(const statx_timestamp &a, const statx_timestamp &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

bool SameBirth(const statx_timestamp &a, const statx_timestamp &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

ssize_t PRead(int fd, void *buf, size_t n, uint64_t at) {
  ssize_t r;
  do {
    r = pread(fd, buf, n, static_cast<off_t>(at));
  } while (r < 0 && errno == EINTR);
  return r;
}

bool Fingerprint::operator==(const Fingerprint &o) const {
  return len == o.len && std::memcmp(bytes, o.bytes, len) == 0;
}

bool Fingerprint::Take(int fd, uint64_t offset) {
  len = static_cast<uint8_t>(std::min<uint64_t>(offset, kBytes));
  return len == 0 || PRead(fd, bytes, len, offset - len) == static_cast<ssize_t>(len);
}

bool Fingerprint::Matches(int fd, uint64_t offset) const {
  Fingerprint now;
  return now.Take(fd, offset) && now == *this;
}

}  // namespace logfile
