// veld-logfile-identity: identities from statx, and fingerprints as
// SipHash-2-4 digests.  The key is fixed: the digest is there to keep log
// bytes out of the position file (which is root's alone), not to stand up
// to someone who can read it.

#include "veld-logfile-identity.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace logfile {

namespace {

bool Fill(const struct statx &sx, struct stat *st, FileId *id) {
  *st = {};
  st->st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  st->st_ino = sx.stx_ino;
  st->st_mode = sx.stx_mode;
  st->st_nlink = sx.stx_nlink;
  st->st_uid = sx.stx_uid;
  st->st_gid = sx.stx_gid;
  st->st_size = static_cast<off_t>(sx.stx_size);
  st->st_blocks = static_cast<blkcnt_t>(sx.stx_blocks);
  st->st_mtim = {sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
  st->st_ctim = {sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec};
  if (id != nullptr) {
    *id = FileId{};
    id->dev = st->st_dev;
    id->ino = st->st_ino;
    id->uid = st->st_uid;
    id->has_birth = (sx.stx_mask & STATX_BTIME) != 0;
    if (id->has_birth) id->birth = sx.stx_btime;
  }
  return true;
}

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

void SipRound(uint64_t v[4]) {
  v[0] += v[1];
  v[1] = Rotl(v[1], 13) ^ v[0];
  v[0] = Rotl(v[0], 32);
  v[2] += v[3];
  v[3] = Rotl(v[3], 16) ^ v[2];
  v[0] += v[3];
  v[3] = Rotl(v[3], 21) ^ v[0];
  v[2] += v[1];
  v[1] = Rotl(v[1], 17) ^ v[2];
  v[2] = Rotl(v[2], 32);
}

uint64_t SipHash24(const unsigned char *in, size_t n) {
  constexpr uint64_t k0 = 0x76656c6461676e74ull, k1 = 0x66696e6765727072ull;
  uint64_t v[4] = {k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull,
                   k0 ^ 0x6c7967656e657261ull, k1 ^ 0x7465646279746573ull};
  auto word = [](const unsigned char *p) {
    uint64_t m = 0;
    for (int i = 7; i >= 0; --i) m = (m << 8) | p[i];
    return m;
  };
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t m = word(in + i);
    v[3] ^= m;
    SipRound(v);
    SipRound(v);
    v[0] ^= m;
  }
  unsigned char last[8] = {};
  std::memcpy(last, in + i, n - i);
  const uint64_t m = word(last) | (static_cast<uint64_t>(n & 0xff) << 56);
  v[3] ^= m;
  SipRound(v);
  SipRound(v);
  v[0] ^= m;
  v[2] ^= 0xff;
  for (int r = 0; r < 4; ++r) SipRound(v);
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

}  // namespace

bool FileId::operator==(const FileId &o) const {
  if (!SameInode(o) || (has_owner && o.has_owner && uid != o.uid)) return false;
  if (!has_birth || !o.has_birth) return true;
  return birth.tv_sec == o.birth.tv_sec && birth.tv_nsec == o.birth.tv_nsec;
}

bool FileId::BornBefore(const FileId &o) const {
  if (!has_birth || !o.has_birth) return false;
  return birth.tv_sec < o.birth.tv_sec ||
         (birth.tv_sec == o.birth.tv_sec && birth.tv_nsec < o.birth.tv_nsec);
}

bool StatFd(int fd, struct stat *st, FileId *id) {
  struct statx sx {};
  return statx(fd, "", AT_EMPTY_PATH, kStatxMask, &sx) == 0 && Fill(sx, st, id);
}

bool StatAt(int dir, const char *name, struct stat *st, FileId *id) {
  struct statx sx {};
  return statx(dir, name, AT_SYMLINK_NOFOLLOW, kStatxMask, &sx) == 0 && Fill(sx, st, id);
}

ssize_t PRead(int fd, void *buf, size_t n, uint64_t at) {
  ssize_t r;
  do {
    r = pread(fd, buf, n, static_cast<off_t>(at));
  } while (r < 0 && errno == EINTR);
  return r;
}

Fingerprint Fingerprint::Of(const void *p, size_t n) {
  Fingerprint fp;
  fp.len = static_cast<uint8_t>(std::min(n, kBytes));
  fp.digest = fp.len == 0 ? 0 : SipHash24(static_cast<const unsigned char *>(p), fp.len);
  return fp;
}

bool Fingerprint::Take(int fd, uint64_t offset) {
  unsigned char b[kBytes];
  const size_t n = static_cast<size_t>(std::min<uint64_t>(offset, kBytes));
  if (n > 0 && PRead(fd, b, n, offset - n) != static_cast<ssize_t>(n)) {
    *this = Fingerprint{};
    return false;
  }
  *this = Of(b, n);
  return true;
}

bool Fingerprint::Matches(int fd, uint64_t offset) const {
  if (empty()) return false;
  Fingerprint now;
  return offset >= len && now.Take(fd, offset) && now == *this;
}

bool Confirmed(const FileId &id, const Fingerprint &fp, int fd, uint64_t offset) {
  return fp.empty() ? offset == 0 && id.has_birth : fp.Matches(fd, offset);
}

}  // namespace logfile
