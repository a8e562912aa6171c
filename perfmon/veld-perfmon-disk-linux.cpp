// veld-perfmon-disk-linux: the disk sampler.  The mount table is read once,
// at start: every entry whose type begins with one of the known local file
// system types (any case) contributes its mount directory, up to 128 of
// them.  Each pass then sends the counters of every block device that has
// seen any I/O since boot, and the total and available space of each kept
// directory.
//
// Only the mount table is read under the kernel root.  The directories it
// names are live mount points of this host and are queried as named: statvfs
// asks the kernel, not a file, so there is nothing to redirect.

#include <mntent.h>
#include <sys/statvfs.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "veld-config-unix.h"
#include "veld-perfmon.h"

namespace {

// File-system types worth reporting, matched over each entry's length.
constexpr const char *kTypes[] = {"ext2", "ext3", "ext4", "xfs", "jfs", "reiserfs", "btrfs"};

constexpr const char *kFmtReadSectors = "vfs_dev_id:%.*s; vfs_dev_read_sectors:%llu\n";
constexpr const char *kFmtReadOps = "vfs_dev_id:%.*s; vfs_dev_read_ops:%llu\n";
constexpr const char *kFmtWriteSectors = "vfs_dev_id:%.*s; vfs_dev_write_sectors:%llu\n";
constexpr const char *kFmtWriteOps = "vfs_dev_id:%.*s; vfs_dev_write_ops:%llu\n";
constexpr const char *kFmtFsTotal = "vfs_fs_id:%s; vfs_fs_size_total:%llu\n";
constexpr const char *kFmtFsFree = "vfs_fs_id:%s; vfs_fs_size_free:%llu\n";

// Fields of the long form up to sectors written; later ones are ignored.
constexpr size_t kLongFields = 10;
constexpr size_t kShortFields = 7;

bool KnownType(const char *type) {
  for (const char *t : kTypes)
    if (veld_strincmp(type, t, std::strlen(t)) == 0) return true;
  return false;
}

bool IsInt(std::string_view tok) {
  if (!tok.empty() && (tok[0] == '-' || tok[0] == '+')) tok.remove_prefix(1);
  return !tok.empty() && tok.find_first_not_of("0123456789") == std::string_view::npos;
}

bool IsU64(std::string_view tok, unsigned long long *v) {
  size_t used = 0;
  return perfmon::ParseU64(tok, v, &used) && used == tok.size();
}

struct DevCounters {
  std::string_view name;
  unsigned long long reads, read_sectors, writes, write_sectors;
};

// A device line in the long form (major, minor, name, reads, merged, sectors
// read, time, writes, merged, sectors written, ...) or, failing that, the
// short form older kernels write for partitions (major, minor, name, reads,
// sectors read, writes, sectors written).
bool ParseDevice(std::string_view line, DevCounters *d) {
  std::string_view tok[kLongFields];
  size_t n = 0;
  while (n < kLongFields && perfmon::NextToken(&line, perfmon::kBlanks, &tok[n])) ++n;
  if (n < kShortFields || !IsInt(tok[0]) || !IsInt(tok[1])) return false;
  d->name = tok[2];
  if (n == kLongFields && IsU64(tok[3], &d->reads) && IsInt(tok[4]) &&
      IsU64(tok[5], &d->read_sectors) && IsInt(tok[6]) && IsU64(tok[7], &d->writes) &&
      IsInt(tok[8]) && IsU64(tok[9], &d->write_sectors))
    return true;
  return IsU64(tok[3], &d->reads) && IsU64(tok[4], &d->read_sectors) && IsU64(tok[5], &d->writes) &&
         IsU64(tok[6], &d->write_sectors);
}

struct MountTableCloser {
  void operator()(FILE *f) const { endmntent(f); }
};

// The mount table decodes "\012" into a real line end, and a user may choose
// the name a removable file system is mounted under.  Such a name would end
// the record early and put a record of the user's making on the link, so
// its file system is not reported at all.
bool HasControlCharacter(const char *s) {
  for (; *s != '\0'; ++s) {
    unsigned char c = static_cast<unsigned char>(*s);
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

}  // namespace

P_PERFMON_DISK_INFO PerfMonDISKInit() {
  std::unique_ptr<PERFMON_DISK_INFO> info(new (std::nothrow) PERFMON_DISK_INFO{});
  if (!info) return nullptr;
  info->counter_size = PERFMON_DISK_MOUNTS;
  info->adapterList.reset(new (std::nothrow) char *[PERFMON_DISK_MOUNTS]());
  info->dirs.reset(new (std::nothrow) std::unique_ptr<char[]>[PERFMON_DISK_MOUNTS]);
  if (!info->adapterList || !info->dirs) return nullptr;

  char path[VELD_PATH_MAX];
  if (!VeldKernelPath(path, sizeof path, perfmon::kMountTable)) return nullptr;
  std::unique_ptr<FILE, MountTableCloser> table(setmntent(path, "r"));
  if (!table) return nullptr;

  int kept = 0;
  struct mntent entry;
  char strings[8192];  // getmntent_r drops the rest of a longer line
  while (kept < PERFMON_DISK_MOUNTS &&
         getmntent_r(table.get(), &entry, strings, sizeof strings) != nullptr) {
    if (entry.mnt_type == nullptr || entry.mnt_dir == nullptr || !KnownType(entry.mnt_type) ||
        HasControlCharacter(entry.mnt_dir))
      continue;
    size_t len = std::strlen(entry.mnt_dir);
    std::unique_ptr<char[]> dir(new (std::nothrow) char[len + 1]);
    if (!dir) return nullptr;
    std::memcpy(dir.get(), entry.mnt_dir, len + 1);
    info->adapterList[kept] = dir.get();
    info->dirs[kept] = std::move(dir);
    ++kept;
  }
  info->counter_size = kept;
  info->avg.reset(new (std::nothrow) unsigned long long[8 * (kept > 0 ? kept : 1)]());
  if (!info->avg) return nullptr;
  return info.release();
}

int PerfMonDISKHandleReadWriteStats(P_PERFMON_DISK_INFO) {
  unsigned int stamp = PerfMonStamp();
  char buf[perfmon::kStreamBuf];
  PerfMonLineReader r(buf, sizeof buf, perfmon::kLineMax);
  if (!r.Open(perfmon::kDiskStatsPath)) return 1;
  std::string_view line;
  DevCounters d{};
  while (r.Next(&line)) {
    if (!ParseDevice(line, &d)) continue;
    if ((d.reads | d.read_sectors | d.writes | d.write_sectors) == 0) continue;
    int nl = static_cast<int>(d.name.size());
    const char *name = d.name.data();
    PerfMonSend(stamp, kFmtReadSectors, nl, name, d.read_sectors);
    PerfMonSend(stamp, kFmtReadOps, nl, name, d.reads);
    PerfMonSend(stamp, kFmtWriteSectors, nl, name, d.write_sectors);
    PerfMonSend(stamp, kFmtWriteOps, nl, name, d.writes);
  }
  return 1;
}

int PerfMonDISKProcess(P_PERFMON_DISK_INFO info) {
  if (info == nullptr) return 1;
  // The file-system records carry a stamp taken before the device part.
  unsigned int stamp = PerfMonStamp();
  PerfMonDISKHandleReadWriteStats(info);
  for (int k = 0; k < info->counter_size; ++k) {
    const char *dir = info->adapterList[k];
    struct statvfs vfs;
    if (statvfs(dir, &vfs) != 0) continue;
    unsigned long long frag = vfs.f_frsize;
    PerfMonSend(stamp, kFmtFsTotal, dir, frag * static_cast<unsigned long long>(vfs.f_blocks));
    PerfMonSend(stamp, kFmtFsFree, dir, frag * static_cast<unsigned long long>(vfs.f_bavail));
  }
  return 1;
}

void PerfMonDISKFree(P_PERFMON_DISK_INFO ret) { std::unique_ptr<PERFMON_DISK_INFO> owned(ret); }
