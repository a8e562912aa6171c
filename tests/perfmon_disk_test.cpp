// The disk sampler: block-device counters from /proc/diskstats in each of
// its forms, and the space of the file systems picked once from the mount
// table by type.
#include <sys/statvfs.h>

#include <filesystem>
#include <string>
#include <vector>

#include "perfmon_fixture.h"

namespace {

// A clock that moves one second per reading, to tell the stamps apart.
std::atomic<time_t> g_tick{0};
time_t TickingClock(time_t *t) {
  time_t v = perfmontest::kStamp + g_tick++;
  if (t != nullptr) *t = v;
  return v;
}

class PerfMonDisk : public perfmontest::PerfMonTest {
 protected:
  void TearDown() override { PerfMonDISKFree(info); }

  void Start(const std::string &mtab) {
    tree.Write("/etc/mtab", mtab);
    info = PerfMonDISKInit();
    ASSERT_NE(info, nullptr);
  }
  static std::string Mount(const std::string &dir, const std::string &type) {
    return "/dev/x " + dir + " " + type + " rw,relatime 0 0\n";
  }
  static std::vector<std::string> Dev(const std::string &stamp, const std::string &name,
                                      unsigned long long rs, unsigned long long r,
                                      unsigned long long ws, unsigned long long w) {
    std::string p = stamp + " VELDPerfMon: vfs_dev_id:" + name + "; vfs_dev_";
    return {p + "read_sectors:" + std::to_string(rs) + "\n",
            p + "read_ops:" + std::to_string(r) + "\n",
            p + "write_sectors:" + std::to_string(ws) + "\n",
            p + "write_ops:" + std::to_string(w) + "\n"};
  }

  // Runs passes until the space of `dirs` holds still across one, and
  // returns that pass's records with the file-system records it must hold.
  void PassWithSpace(const std::vector<std::string> &dirs, std::vector<std::string> *got,
                     std::vector<std::string> *fs) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::vector<std::string> before = Space(dirs);
      PerfMonDISKProcess(info);
      *got = Records();
      if (Space(dirs) == before) {
        *fs = before;
        return;
      }
    }
    ADD_FAILURE() << "free space never held still";
  }
  std::vector<std::string> Space(const std::vector<std::string> &dirs) {
    std::vector<std::string> out;
    for (const auto &d : dirs) {
      struct statvfs v;
      if (statvfs(d.c_str(), &v) != 0) continue;
      unsigned long long f = v.f_frsize;
      out.push_back(
          Rec("vfs_fs_id:" + d + "; vfs_fs_size_total:" + std::to_string(f * v.f_blocks)));
      out.push_back(Rec("vfs_fs_id:" + d + "; vfs_fs_size_free:" + std::to_string(f * v.f_bavail)));
    }
    return out;
  }

  P_PERFMON_DISK_INFO info = nullptr;
};

// --- block devices

// The long form, the short form of old kernels' partitions and a newer
// kernel's longer form are all read; devices whose four counters are all
// zero send nothing, one non-zero counter sends all four; malformed lines
// are skipped.  Device records carry their own stamp, taken after the one
// of the file-system records.
TEST_F(PerfMonDisk, DeviceLinesInEveryForm) {
  Start("");
  tree.Write("/proc/diskstats",
             "   7       0 loop0 0 0 0 0 0 0 0 0 0 0 0\n"
             "   8       0 sda 1000 50 20000 300 400 60 8000 500 0 700 800\n"
             "   8       1 sda1 11 22 33 44\n"
             "   8       2 sda2 0 0 0 0\n"
             " 254       0 vda 10957 5457 1956450 9568 2383 4280 361960 5167 0 4164 15897 3966 121 "
             "103776 988 295 171\n"
             " 253       0 zram0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
             " 253       1 ram1 0 0 0 0 0 0 1 0 0 0 0\n"
             "   8      16 sdb 1 2\n"
             "garbage line here\n");
  g_tick = 0;
  veld_time = TickingClock;
  PerfMonDISKProcess(info);
  std::string dev_stamp = std::to_string(perfmontest::kStamp + 1);
  std::vector<std::string> want = Dev(dev_stamp, "sda", 20000, 1000, 8000, 400);
  for (auto v :
       {Dev(dev_stamp, "sda1", 22, 11, 44, 33), Dev(dev_stamp, "vda", 1956450, 10957, 361960, 2383),
        Dev(dev_stamp, "ram1", 0, 0, 1, 0)})
    want.insert(want.end(), v.begin(), v.end());
  EXPECT_EQ(Records(), want);
}

// --- file systems chosen from the mount table

// Known types in any case and types that begin with a known name are kept,
// ext4 and jfs among them; a duplicate is reported twice; other types, and a
// shorter name that a known one only begins with, are not.  A kept directory
// whose query fails sends nothing.  File-system records follow the devices
// and carry the stamp taken first.
TEST_F(PerfMonDisk, MountTableChoosesKnownTypes) {
  veldtest::TempDir a, b, c, d;
  Start(Mount("/", "ext4") + Mount(a.path(), "XFS") + Mount("/proc", "proc") +
        Mount(b.path(), "jfs") + Mount(c.path(), "ext4dev") + Mount("/tmp", "tmpfs") +
        Mount(d.path(), "ext") + Mount("/no/such/dir", "btrfs") + Mount(a.path(), "xfs") +
        Mount("/", "Ext3"));
  ASSERT_EQ(info->counter_size, 7);
  std::vector<std::string> dirs = {"/",      a.path(), b.path(), c.path(), "/no/such/dir",
                                   a.path(), "/"};
  for (int k = 0; k < 7; ++k) EXPECT_EQ(info->adapterList[k], dirs[k]);

  tree.Write("/proc/diskstats", "   8       0 sda 1 0 2 0 3 0 4 0 0 0 0\n");
  std::vector<std::string> got, fs;
  PassWithSpace(dirs, &got, &fs);
  std::vector<std::string> want = Dev(std::to_string(perfmontest::kStamp), "sda", 2, 1, 4, 3);
  want.insert(want.end(), fs.begin(), fs.end());
  EXPECT_EQ(fs.size(), 12u);
  EXPECT_EQ(got, want);
}

// More than 128 matching entries: the first 128 are kept.  Without
// /proc/diskstats only the file-system records are sent.
TEST_F(PerfMonDisk, AtMost128MountDirectories) {
  veldtest::TempDir kept, dropped;
  std::string mtab;
  for (int n = 0; n < 127; ++n) mtab += Mount("/no/such/dir/" + std::to_string(n), "ext4");
  mtab += Mount(kept.path(), "ext4") + Mount(dropped.path(), "ext4");
  Start(mtab);
  EXPECT_EQ(info->counter_size, 128);
  EXPECT_EQ(info->adapterList[127], kept.path());
  std::vector<std::string> got, fs;
  PassWithSpace({kept.path()}, &got, &fs);
  EXPECT_EQ(got, fs);
  EXPECT_EQ(got.size(), 2u);
}

// A mount directory named with a line end (the table's "\012") or another
// control character is left out: its records would split at the collector
// into a forged record.  The rest of the table is read as usual.
TEST_F(PerfMonDisk, MountDirectoryWithControlCharactersIsLeftOut) {
  veldtest::TempDir base, plain;
  const std::string forged = base.path() + "/evil\n1700000000 VELDPerfMon: sys_hostname:forged";
  std::filesystem::create_directories(forged);
  std::filesystem::create_directories(base.path() + "/tab\there");
  Start(
      Mount(base.path() + "/evil\\0121700000000\\040VELDPerfMon:\\040sys_hostname:forged", "ext4") +
      Mount(base.path() + "/tab\\011here", "ext4") + Mount(plain.path(), "ext4"));
  ASSERT_EQ(info->counter_size, 1);
  EXPECT_EQ(info->adapterList[0], plain.path());
}

// A record longer than the bound is cut to 1023 characters without its
// line end.
TEST_F(PerfMonDisk, LongMountDirectoryCutToRecordBound) {
  veldtest::TempDir base;
  std::string dir = base.path();
  while (dir.size() < 1100) dir += "/" + std::string(200, 'd');
  std::filesystem::create_directories(dir);
  Start(Mount(dir, "ext4"));
  std::vector<std::string> got, fs;
  PassWithSpace({dir}, &got, &fs);
  ASSERT_EQ(got.size(), 2u);
  for (size_t k = 0; k < 2; ++k) {
    EXPECT_EQ(got[k].size(), 1023u);
    EXPECT_EQ(got[k], fs[k].substr(0, 1023));
  }
}

// Without a mount table the sampler cannot start.
TEST_F(PerfMonDisk, MissingMountTableFailsStart) {
  EXPECT_EQ(PerfMonDISKInit(), nullptr);
  PerfMonDISKFree(nullptr);
}

}  // namespace
