// Attacks by a local user on the agent, which runs as root.  Each test sets
// up one attack against the real binary (the tailer's spin against the
// library, where it can be triggered exactly) and checks what must hold once
// the attack is defended.  What a user could make is made here by root and
// handed to nobody (uid 65534) with lchown, so no test depends on the host's
// link-protection settings.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "tcp_collector.h"
#include "test_util.h"
#include "veld-agent.h"
#include "veld-config-unix.h"
#include "veld-hash.h"
#include "veld-logfile.h"
#include "veld-owners.h"

namespace {

using veldtest::AgentProcess;
using veldtest::ReadFile;
using veldtest::TempDir;
using veldtest::WriteFile;

constexpr uid_t kNobody = 65534;
constexpr int kFirstPassMs = 30000;  // 5 s start pause and one pass, with room for a loaded host

using veldtest::WaitUntil;

// "tag-0\n" to "tag-<n-1>\n".
std::string Numbered(const std::string &tag, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += tag + "-" + std::to_string(i) + "\n";
  return out;
}

// The lines of `s`, a last one without a line end included.
std::vector<std::string> Lines(const std::string &s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

constexpr const char kLogTag[] = " VELDUnixLog: ";

// True when `line` begins as a record does: "<digits> VELDUnixLog: " or
// "<digits> VELDPerfMon: ".
bool BeginsAsRecord(const std::string &line) {
  const size_t d = line.find_first_not_of("0123456789");
  return d != 0 && d != std::string::npos &&
         (line.compare(d, 14, kLogTag) == 0 || line.compare(d, 14, " VELDPerfMon: ") == 0);
}

// Each helper makes one object as root, then gives it to `owner`.
void Check(bool ok, const std::string &what) {
  if (!ok) ADD_FAILURE() << what << ": " << std::strerror(errno);
}
void MakeDir(const std::string &p, mode_t mode, uid_t owner = 0) {
  Check(mkdir(p.c_str(), mode) == 0 && chmod(p.c_str(), mode) == 0 &&
            lchown(p.c_str(), owner, owner) == 0,
        "mkdir " + p);
}
void MakeFile(const std::string &p, const std::string &data, mode_t mode, uid_t owner = 0) {
  WriteFile(p, data);
  Check(chmod(p.c_str(), mode) == 0 && lchown(p.c_str(), owner, owner) == 0, "file " + p);
}
void MakeLink(const std::string &target, const std::string &p, uid_t owner) {
  Check(symlink(target.c_str(), p.c_str()) == 0 && lchown(p.c_str(), owner, owner) == 0,
        "symlink " + p);
}

using veldtest::TcpCollector;

// ---- the tailer, at the library

std::string grow_path;  // the file the pause hook grows; child process only
bool grown = false;     // the hook has run; child process only

// Stands in for the pause after 200 records, and adds the hole then: after
// the pass took the file's size, before the rotation copies it.
unsigned GrowOnFirstPause(unsigned) {
  struct stat st;
  if (!grown && stat(grow_path.c_str(), &st) == 0)
    grown = truncate(grow_path.c_str(), st.st_size + 8192) == 0;
  return 0;
}

// A file over the rotation limit gains an 8 KiB hole where the pass stops
// reading, before the rotation copies it.  What must hold: LogFileProcess
// returns.  It runs in a child process, so a spinning tailer is killed and
// fails the test instead of holding the suite.
TEST(SecurityTailerTest, HoleAddedBeforeRotationDoesNotSpinTheTailer) {
  TempDir dir;
  grow_path = dir / "app.log";
  const std::string text = Numbered("line", 300);  // 200 records, then a pause
  WriteFile(grow_path, text);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    GlobalConfigHash = hashtable_alloc(1, 0);
    std::snprintf(pLogFile, sizeof pLogFile, "%s", (dir / "agent.log").c_str());
    CfgHashAdd("LogRotationSize", "0");
    // Records must go somewhere for the pass to move on: a loopback socket
    // that nobody reads takes them.
    int sink = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(sink, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(sink, reinterpret_cast<sockaddr *>(&a), &len) != 0)
      _exit(4);
    CfgHashAdd("RemoteService", "udp");
    CfgHashAdd("RemotePort", std::to_string(ntohs(a.sin_port)).c_str());
    if (LogInit() != 1) _exit(5);
    veld_sleep = GrowOnFirstPause;
    LogFileProcess(LogFileNew(strdup(grow_path.c_str())));
    _exit(grown ? 0 : 3);
  }
  int status = 0;
  // The pass takes milliseconds; a bound far above that only catches a spin.
  const bool ended = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  ASSERT_TRUE(ended) << "LogFileProcess was still running after 20 s";
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the pass never paused";
  // The trigger took place: the backup holds the lines, then the hole.
  struct stat st {};
  ASSERT_EQ(stat((grow_path + "._hlr_0").c_str(), &st), 0);
  EXPECT_EQ(static_cast<size_t>(st.st_size), text.size() + 8192);
  EXPECT_EQ(ReadFile(grow_path), "");
}

// ---- the real agent

class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Check(chmod(dir_.path().c_str(), 0755) == 0, "chmod");  // nobody must reach into it
    MakeDir(dir_ / "log", 0755);
  }
  std::string P(const std::string &name) const { return dir_ / name; }

  // Starts the agent (again) with `lines` and the link, position file and
  // rotation size below as its configuration.
  void StartAgent(const std::string &lines, bool stall_first = false) {
    if (collector_.port() == 0) Check(collector_.Listen(stall_first), "collector");
    WriteFile(P("agent.cfg"),
              "RemoteHost=127.0.0.1\nRemotePort=" + std::to_string(collector_.port()) +
                  "\nRemoteService=tcp\nWatchdogFile=" + positions_ +
                  "\nLogRotationSize=" + rotation_mib_ + "\n" + lines);
    ASSERT_TRUE(agent_.Start({"-d", "-c", P("agent.cfg")}, P("log")));
  }
  // The position file is first written at the end of the first pass; what
  // the pass sent is given a moment to be read.
  void WaitFirstPass() {
    ASSERT_TRUE(WaitUntil([&] { return access(positions_.c_str(), F_OK) == 0; }, kFirstPassMs))
        << agent_.DiagLog();
    Settle();
  }
  static void Settle() { std::this_thread::sleep_for(std::chrono::seconds(1)); }
  bool Received(const std::string &text) {
    return collector_.All().find(text) != std::string::npos;
  }

  struct Secret {
    std::string path, text;
  };
  // A root 0600 file in the root-only directory "secret".
  Secret MakeSecret(const std::string &name) {
    if (access(P("secret").c_str(), F_OK) != 0) MakeDir(P("secret"), 0700);
    Secret s{P("secret/" + name), Numbered("root-only-" + name, 3)};
    MakeFile(s.path, s.text, 0600);
    return s;
  }
  // The root file still holds all it held, and its lines reached neither the
  // collector nor any other file (a backup beside a link, say).
  void ExpectKept(const Secret &s) {
    EXPECT_EQ(ReadFile(s.path), s.text) << "the root file was emptied";
    const std::string first = s.text.substr(0, s.text.find('\n'));
    EXPECT_FALSE(Received(first)) << "the root file was forwarded";
    struct stat own {};
    stat(s.path.c_str(), &own);
    for (const auto &e : std::filesystem::recursive_directory_iterator(dir_.path())) {
      struct stat st;
      if (lstat(e.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
          (st.st_ino == own.st_ino && st.st_dev == own.st_dev))
        continue;
      EXPECT_EQ(ReadFile(e.path()).find(first), std::string::npos) << "copied into " << e.path();
    }
  }

  TempDir dir_;
  TcpCollector collector_;
  AgentProcess agent_;  // ends before the collector and the directory go
  std::string positions_ = dir_ / "positions";
  std::string rotation_mib_ = "0";  // every non-empty file rotates at every pass
};

// ---- links and hard links on the way to a file

// The owner of a watched directory's parent swaps the directory for a link
// to a root-only directory.  What must hold: the root file there is not
// forwarded, not emptied, and not copied into a backup.
TEST_F(SecurityTest, WatchedDirectorySwappedForALinkToARootDirectoryIsNotFollowed) {
  const Secret s = MakeSecret("app.log");
  MakeDir(P("home"), 0755, kNobody);
  MakeLink(P("secret"), P("home/watched"), kNobody);
  StartAgent("LogDirectory=" + P("home/watched") + "\n");
  WaitFirstPass();
  ExpectKept(s);
}

// A root-made configured link leads through a second link in a user's
// directory, which the user points at a root file.  What must hold: as above.
TEST_F(SecurityTest, ConfiguredLinkWhoseSecondHopAUserRepointsIsNotFollowed) {
  const Secret s = MakeSecret("root.log");
  MakeDir(P("home"), 0755, kNobody);
  MakeLink(s.path, P("home/current.log"), kNobody);
  MakeLink(P("home/current.log"), P("app.log"), 0);
  StartAgent("LogFile=" + P("app.log") + "\n");
  WaitFirstPass();
  ExpectKept(s);
}

// A second name of a root file stands in a directory a user may write, found
// by the scan or at a configured name.  Root makes the hard link, as a user
// could wherever fs.protected_hardlinks is 0.  What must hold: as above.
TEST_F(SecurityTest, HardLinkToARootFileInAUserDirectoryIsNotTouched) {
  std::string config;
  std::vector<Secret> secrets;
  for (const bool scanned : {true, false}) {
    const std::string drop = P(scanned ? "drop-scanned" : "drop-configured");
    secrets.push_back(MakeSecret(scanned ? "scanned.log" : "configured.log"));
    MakeDir(drop, 0755, kNobody);
    Check(link(secrets.back().path.c_str(), (drop + "/app.log").c_str()) == 0, "link");
    config += scanned ? "LogDirectory=" + drop + "\n" : "LogFile=" + drop + "/app.log\n";
  }
  StartAgent(config);
  WaitFirstPass();
  for (const Secret &s : secrets) {
    SCOPED_TRACE(s.path);
    ExpectKept(s);
  }
}

// ---- backups: root's 0600 app.log in a directory of a user's, who plants a
// name where its backup 0 goes

class SecurityBackupTest : public SecurityTest {
 protected:
  void SetUp() override {
    SecurityTest::SetUp();
    MakeDir(P("home"), 0755, kNobody);
    MakeFile(live_, text_, 0600);
  }
  // Some backup is a regular file of root's holding all the log held.
  bool RootBackupHolds() const {
    for (int k = 0; k < 4; ++k) {
      const std::string b = live_ + "._hlr_" + std::to_string(k);
      struct stat st;
      if (lstat(b.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
          ReadFile(b) == text_)
        return true;
    }
    return false;
  }
  const std::string live_ = P("home/app.log"), text_ = Numbered("root-log", 5);
};

// The user creates "app.log._hlr_0".  What must hold: after the rotation
// the user's file holds none of the log, and a backup of root's holds all of
// it.
TEST_F(SecurityBackupTest, BackupPlantedByAUserDoesNotReceiveTheLog) {
  MakeFile(live_ + "._hlr_0", "", 0644, kNobody);
  veld::UniqueFd planted(open((live_ + "._hlr_0").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(planted.ok());
  StartAgent("LogFile=" + live_ + "\n");
  WaitFirstPass();
  EXPECT_EQ(ReadFile("/proc/self/fd/" + std::to_string(planted.get())), "")
      << "the user's file received root's log";
  EXPECT_EQ(ReadFile(live_), "") << "not rotated";
  EXPECT_TRUE(RootBackupHolds());
}

// The user plants a dangling link at "app.log._hlr_0".  What must hold: the
// log is still rotated (emptied, its content in a backup of root's), nothing
// is written through the link, and later passes add nothing to the
// diagnostic log.
TEST_F(SecurityBackupTest, DanglingLinkAtABackupNameDoesNotBlockRotation) {
  MakeLink(P("home/elsewhere"), live_ + "._hlr_0", kNobody);
  StartAgent("LogFile=" + live_ + "\n");
  WaitFirstPass();
  const std::string first = agent_.DiagLog();
  std::this_thread::sleep_for(std::chrono::seconds(13));  // the second pass is 10 s on
  const std::string later = agent_.DiagLog();
  EXPECT_EQ(later.size(), first.size()) << "a later pass wrote:\n"
                                        << later.substr(std::min(first.size(), later.size()));
  EXPECT_EQ(ReadFile(live_), "") << "not rotated";
  EXPECT_TRUE(RootBackupHolds());
  EXPECT_NE(access(P("home/elsewhere").c_str(), F_OK), 0) << "written through the link";
}

// ---- names and the position file

// A user creates "app.log " (a trailing blank) beside the tailed app.log in
// a sticky world-writable watched directory; lines are added to app.log
// while the agent is down.  What must hold: after the restart all of them
// arrive.
TEST_F(SecurityTest, NameDifferingByATrailingBlankDoesNotStealASavedOffset) {
  rotation_mib_ = "1";
  MakeDir(P("pub"), 01777);
  const std::string live = P("pub/app.log");
  MakeFile(live, Numbered("early", 3), 0644);
  MakeFile(live + " ", std::string(599, 'x') + "\n", 0644, kNobody);
  // Configured too, so app.log is listed, and saved, before the planted name.
  const std::string config = "LogFile=" + live + "\nLogDirectory=" + P("pub") + "\n";
  StartAgent(config);
  WaitFirstPass();
  agent_.Kill(SIGKILL);
  const std::string late = Numbered("late-padded-line", 40);  // 800 bytes and more
  veldtest::AppendFile(live, late);
  StartAgent(config);
  EXPECT_TRUE(WaitUntil([&] { return Received("late-padded-line-39\n"); }, kFirstPassMs));
  Settle();
  std::vector<std::string> missing;
  for (const std::string &l : Lines(late))
    if (!Received(kLogTag + l + "\n")) missing.push_back(l);
  EXPECT_TRUE(missing.empty()) << missing.size() << " of 40 lines never arrived, from "
                               << missing.front() << " to " << missing.back();
}

// The position file lies in a watched directory, and /var/log (where the
// diagnostic log is) is watched too.  What must hold: no line of either
// reaches the collector.
TEST_F(SecurityTest, AgentsOwnFilesInAWatchedDirectoryAreNotForwarded) {
  rotation_mib_ = "1";
  MakeDir(P("watched"), 0755);
  MakeFile(P("watched/app.log"), "app-line\n", 0644);
  positions_ = P("watched/positions");
  const std::string saved = P("watched/app.log") + "=0,0\n";  // as an earlier run left it
  MakeFile(positions_, saved, 0644);
  StartAgent("LogDirectory=" + P("watched") + "\nLogDirectory=/var/log\n");
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(positions_) != saved; }, kFirstPassMs));
  Settle();
  ASSERT_TRUE(Received(kLogTag + std::string("app-line\n"))) << "the pass sent nothing";
  const std::pair<const char *, std::string> own[] = {
      {"position file", saved + ReadFile(positions_)}, {"diagnostic log", agent_.DiagLog()}};
  for (const auto &[what, text] : own)
    for (const std::string &l : Lines(text))
      EXPECT_FALSE(Received(kLogTag + l + "\n")) << what << " line sent: " << l;
}

// ---- the record stream

// A log line holds the byte 0x8A, then text shaped as a metric record.  What
// must hold: the line arrives as one log record, without that byte.
TEST_F(SecurityTest, ByteThatClearsToALineFeedDoesNotForgeARecord) {
  rotation_mib_ = "1";
  MakeFile(P("app.log"),
           "user said \x8a"
           "1500000000 VELDPerfMon: sys_hostname:forged-host\n",
           0644);
  StartAgent("LogFile=" + P("app.log") + "\n");
  ASSERT_TRUE(WaitUntil([&] { return Received("forged-host\n"); }, kFirstPassMs));
  const std::string whole =
      "1700000000 VELDUnixLog: user said 1500000000 VELDPerfMon: sys_hostname:forged-host";
  for (const std::string &l : Lines(collector_.All())) {
    if (l.find("forged-host") != std::string::npos) {
      EXPECT_EQ(veldtest::Shape(l), veldtest::Shape(whole));
    }
  }
}

// The collector stops reading while a long log goes out in 4000-byte lines;
// past the 15 s stall bound the agent gives that connection up for a new
// one.  What must hold: all the old connection carried is whole records.
TEST_F(SecurityTest, CollectorThatStopsReadingGetsOnlyWholeRecords) {
  rotation_mib_ = "100";
  std::string text;
  for (int i = 0; i < 2000; ++i)  // more than any send buffer holds
    text += "long-" + std::to_string(i) + std::string(4000, 'x') + "\n";
  MakeFile(P("app.log"), text, 0644);
  StartAgent("LogFile=" + P("app.log") + "\n", /*stall_first=*/true);
  // Filling the buffers takes a few seconds; a probe of the closed window
  // may let the agent's send buffer grow once, so two stalls may pass.
  ASSERT_TRUE(WaitUntil([&] { return collector_.Streams().size() >= 2; }, 90000))
      << "the agent never gave up the stalled connection";
  collector_.Release();
  ASSERT_TRUE(WaitUntil([&] { return collector_.Streams()[0].closed; }, 20000));
  const std::string old = collector_.Streams()[0].bytes;
  ASSERT_FALSE(old.empty());
  EXPECT_EQ(old.back(), '\n') << "the old connection ends " << old.size() - old.rfind('\n') - 1
                              << " bytes into a record";
  const std::vector<std::string> lines = Lines(old);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), BeginsAsRecord), std::ssize(lines))
      << "lines on the old connection that do not begin as a record does";
}

}  // namespace
