// End to end: the real veldagentd (-d) sends its first monitor cycle to a
// real rsyslog collector over UDP.  What must hold on this very host: every
// record matches its key's format with a sane stamp, none carries "nan", the
// first cycle holds the seven memory records, the four identity records with
// this host's values, and the space of the root file system when its type is
// one the monitor knows; it holds no CPU share (no previous reading yet) and
// no network record (the network sampler's first pass only counts).
//
// The agent pauses 5 s before it starts the monitor, whose first cycle then
// runs at once.
#include <gtest/gtest.h>
#include <mntent.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "agent_process.h"
#include "rsyslog_collector.h"
#include "test_util.h"

namespace {

using veldtest::AgentProcess;
using veldtest::RsyslogCollector;
using veldtest::TempDir;

constexpr int kFirstCycleMs = 30000;

// Every metric key with its identifier key ("" for none) and value format.
enum Value { kCount, kShare, kText };
struct Key {
  const char *id, *key;
  Value value;
};
constexpr Key kKeys[] = {{"sys_cpu_id", "sys_cpu_load_total", kShare},
                         {"sys_cpu_id", "sys_cpu_load_system", kShare},
                         {"sys_cpu_id", "sys_cpu_load_user", kShare},
                         {"sys_cpu_id", "sys_cpu_load_idle", kShare},
                         {"", "sys_mem_size_free", kCount},
                         {"", "vm_mem_size_cached", kCount},
                         {"", "sys_mem_size_total", kCount},
                         {"", "vm_mem_size_buffers", kCount},
                         {"", "vm_mem_size_shared", kCount},
                         {"", "vm_mem_size_free", kCount},
                         {"", "vm_mem_size_total", kCount},
                         {"net_if_id", "net_if_in_bytes", kCount},
                         {"net_if_id", "net_if_out_bytes", kCount},
                         {"net_if_id", "net_if_in_packets", kCount},
                         {"net_if_id", "net_if_out_packets", kCount},
                         {"net_if_id", "net_if_in_errors", kCount},
                         {"net_if_id", "net_if_in_dropped", kCount},
                         {"net_if_id", "net_if_out_errors", kCount},
                         {"net_if_id", "net_if_out_dropped", kCount},
                         {"vfs_dev_id", "vfs_dev_read_sectors", kCount},
                         {"vfs_dev_id", "vfs_dev_read_ops", kCount},
                         {"vfs_dev_id", "vfs_dev_write_sectors", kCount},
                         {"vfs_dev_id", "vfs_dev_write_ops", kCount},
                         {"vfs_fs_id", "vfs_fs_size_total", kCount},
                         {"vfs_fs_id", "vfs_fs_size_free", kCount},
                         {"", "agent_lines_sent", kCount},
                         {"", "agent_bytes_sent", kCount},
                         {"", "agent_backlog_bytes", kCount},
                         {"", "agent_oldest_unsent_seconds", kCount},
                         {"", "agent_files_tailed", kCount},
                         {"", "agent_held_deleted_files", kCount},
                         {"", "agent_held_deleted_bytes", kCount},
                         {"", "agent_reconnects", kCount},
                         {"", "agent_records_dropped", kCount},
                         {"", "agent_wakeups", kCount},
                         {"", "sys_uptime", kCount},
                         {"", "sys_hostname", kText},
                         {"", "sys_uname", kText},
                         {"", "sys_version", kText}};

bool Digits(const std::string &s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

bool ValueFits(const std::string &v, Value kind) {
  switch (kind) {
    case kCount:
      return Digits(v);
    case kShare:
      return v.size() > 3 && v[v.size() - 3] == '.' && Digits(v.substr(0, v.size() - 3)) &&
             Digits(v.substr(v.size() - 2));
    case kText:
      return !v.empty();
  }
  return false;
}

// The stamp of a well-formed metric record (as rsyslog keeps it, without
// the line end), or -1.
long long Stamp(const std::string &rec) {
  const std::string tag = " VELDPerfMon: ";
  size_t at = rec.find(tag);
  if (at == std::string::npos || !Digits(rec.substr(0, at))) return -1;
  std::string body = rec.substr(at + tag.size());
  for (const Key &k : kKeys) {
    std::string rest = body;
    if (*k.id != '\0') {
      std::string id = std::string(k.id) + ":";
      size_t sep = rest.rfind("; ");
      if (rest.compare(0, id.size(), id) != 0 || sep == std::string::npos || sep == id.size())
        continue;
      rest = rest.substr(sep + 2);
    }
    std::string key = std::string(k.key) + ":";
    if (rest.compare(0, key.size(), key) == 0 && ValueFits(rest.substr(key.size()), k.value))
      return std::stoll(rec.substr(0, at));
  }
  return -1;
}

// The root file system's type from the mount table, "" when not listed.
std::string RootType() {
  FILE *f = setmntent("/etc/mtab", "r");
  if (f == nullptr) return "";
  std::string type;
  while (struct mntent *e = getmntent(f))
    if (std::string(e->mnt_dir) == "/") type = e->mnt_type;  // the last mount on / wins
  endmntent(f);
  return type;
}

bool KnownType(const std::string &type) {
  for (const char *t : {"ext2", "ext3", "ext4", "xfs", "jfs", "reiserfs", "btrfs"})
    if (strncasecmp(type.c_str(), t, std::strlen(t)) == 0) return true;
  return false;
}

unsigned long long BootTime() {
  std::string stat = veldtest::ReadFile("/proc/stat");
  size_t at = stat.find("\nbtime ");
  return at == std::string::npos ? 0 : std::stoull(stat.substr(at + 7));
}

bool Has(const std::vector<std::string> &records, const std::string &part) {
  for (const auto &r : records)
    if (r.find(part) != std::string::npos) return true;
  return false;
}

TEST(PerfMonEndToEnd, FirstCycleArrivesWellFormed) {
  RsyslogCollector collector;
  std::string err;
  ASSERT_TRUE(collector.Start(&err)) << err;
  TempDir dir;
  veldtest::WriteFile(dir / "agent.cfg",
                      "RemoteHost=127.0.0.1\nRemotePort=" + std::to_string(collector.port()) +
                          "\nRemoteService=udp\nWatchdogFile=" + (dir / "positions") + "\n");
  std::filesystem::create_directories(dir / "log");
  const time_t t0 = time(nullptr);
  AgentProcess agent;
  ASSERT_TRUE(agent.Start({"-d", "-c", dir / "agent.cfg"}, dir / "log"));

  // Identity closes the first cycle.
  ASSERT_TRUE(collector.WaitUntil(
      [](const std::vector<std::string> &r) { return Has(r, "sys_version:"); }, kFirstCycleMs))
      << collector.Diagnostics() << "\nagent log:\n"
      << agent.DiagLog() << "\nagent stderr:\n"
      << agent.Stderr();
  std::vector<std::string> records = collector.Records();
  const time_t t1 = time(nullptr);

  int memory = 0;
  for (const auto &r : records) {
    long long stamp = Stamp(r);
    ASSERT_GE(stamp, 0) << "malformed record: " << r;
    EXPECT_GE(stamp, t0 - 1) << r;
    EXPECT_LE(stamp, t1 + 1) << r;
    EXPECT_EQ(r.find("nan"), std::string::npos) << r;
    EXPECT_EQ(r.find("sys_cpu_"), std::string::npos)
        << "CPU share without a previous reading: " << r;
    EXPECT_EQ(r.find("net_if_"), std::string::npos) << "network record in the counting pass: " << r;
    if (r.find("_mem_size_") != std::string::npos) ++memory;
  }
  EXPECT_EQ(memory, 7);

  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  struct utsname u;
  ASSERT_EQ(uname(&u), 0);
  EXPECT_TRUE(Has(records, "VELDPerfMon: sys_uptime:" + std::to_string(BootTime())));
  EXPECT_TRUE(Has(records, std::string("VELDPerfMon: sys_hostname:") + host));
  EXPECT_TRUE(Has(records, std::string("VELDPerfMon: sys_uname:") + u.sysname));
  EXPECT_TRUE(Has(records, std::string("VELDPerfMon: sys_version:") + u.release));

  std::string root = RootType();
  if (KnownType(root)) {
    EXPECT_TRUE(Has(records, "VELDPerfMon: vfs_fs_id:/; vfs_fs_size_total:")) << "root is " << root;
    EXPECT_TRUE(Has(records, "VELDPerfMon: vfs_fs_id:/; vfs_fs_size_free:")) << "root is " << root;
  } else {
    std::printf("root file system type \"%s\" is not monitored; its records are not expected\n",
                root.c_str());
  }
  EXPECT_NE(agent.DiagLog().find("Initializing our performance monitoring thread."),
            std::string::npos);
}

}  // namespace
