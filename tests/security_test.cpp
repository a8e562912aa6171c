// Attacks by a local user on the agent, which runs as root.  Each test sets
// up one attack against the real binary (the tailer's spin against the
// library, where it can be triggered exactly) and checks what must hold once
// the attack is defended.  What a user could make is made here by root and
// handed to nobody (uid 65534) with lchown, so no test depends on the host's
// link-protection settings.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
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
 public:  // the tables' rows lay out their attacks with these
  void SetUp() override {
    Check(chmod(dir_.path().c_str(), 0755) == 0, "chmod");  // nobody must reach into it
    MakeDir(dir_ / "log", 0755);
    MakeFile(control_, "control-0\n", 0644);
  }
  std::string P(const std::string &name) const { return dir_ / name; }

  // Starts the agent (again) with `lines`, a root log of its own (the
  // control) and the link, position file and rotation size below as its
  // configuration.
  void StartAgent(const std::string &lines, bool stall_first = false) {
    if (collector_.port() == 0) Check(collector_.Listen(stall_first), "collector");
    WriteFile(P("agent.cfg"),
              "RemoteHost=127.0.0.1\nRemotePort=" + std::to_string(collector_.port()) +
                  "\nRemoteService=tcp\nWatchdogFile=" + positions_ +
                  "\nLogRotationSize=" + rotation_mib_ + "\nLogFile=" + control_ + "\n" + lines);
    ASSERT_TRUE(agent_.Start({"-d", "-c", P("agent.cfg")}, P("log")));
  }
  // The position file is first written at the end of the first pass; what
  // the pass sent is given a moment to be read.  The control line proves
  // that the agent forwards.
  void WaitFirstPass() {
    ASSERT_TRUE(WaitUntil([&] { return access(positions_.c_str(), F_OK) == 0; }, kFirstPassMs))
        << agent_.DiagLog();
    Settle();
    ASSERT_TRUE(Received(kLogTag + std::string("control-0\n"))) << agent_.DiagLog();
  }
  // A new control line arrives: a later pass ran, and the agent still forwards.
  void ExpectAnotherPass() {
    const std::string line = "control-" + std::to_string(++controls_) + "\n";
    veldtest::AppendFile(control_, line);
    EXPECT_TRUE(WaitUntil([&] { return Received(kLogTag + line); }, kFirstPassMs))
        << "no later pass sent " << line << agent_.DiagLog();
    Settle();
  }
  static void Settle() { std::this_thread::sleep_for(std::chrono::seconds(1)); }
  bool Received(const std::string &text) {
    return collector_.All().find(text) != std::string::npos;
  }
  size_t TimesReceived(const std::string &text) {
    const std::string all = collector_.All();
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
  }

  struct Secret {
    std::string path, text;
  };
  // A 0600 file of `owner`'s at `path`, in the root-only directory "secret"
  // unless its directory exists already.
  Secret MakeSecret(const std::string &path, uid_t owner = 0) {
    if (access(P("secret").c_str(), F_OK) != 0) MakeDir(P("secret"), 0700);
    const std::string name = path.substr(path.rfind('/') + 1);
    Secret s{path, Numbered("root-only-" + name, 3)};
    MakeFile(s.path, s.text, 0600, owner);
    return s;
  }
  // The file still holds all it held, and its lines reached neither the
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
  const std::string control_ = dir_ / "control.log";
  int controls_ = 0;  // control lines added after control-0
};

// ---- the way to a file: who controls it decides what may be touched
//
// Each row lays out one attack by nobody on a file nobody could not read or
// change, and names it in the configuration.  What must hold: the file is
// not forwarded, not emptied, and not copied into a backup, and the agent
// still forwards its control log.

struct Layout {
  std::string config;
  std::vector<SecurityTest::Secret> secrets;
};
struct WayAttack {
  const char *name;
  Layout (*setup)(SecurityTest &t);
  void (*after_first_pass)(SecurityTest &t);  // or null
};

void PrintTo(const WayAttack &a, std::ostream *os) { *os << a.name; }

class WayAttackTest : public SecurityTest, public ::testing::WithParamInterface<WayAttack> {};

TEST_P(WayAttackTest, FileNobodyCouldReadIsNotTouched) {
  const Layout l = GetParam().setup(*this);
  StartAgent(l.config);
  WaitFirstPass();
  if (GetParam().after_first_pass != nullptr) {
    GetParam().after_first_pass(*this);
    ExpectAnotherPass();
  }
  for (const Secret &s : l.secrets) {
    SCOPED_TRACE(s.path);
    ExpectKept(s);
  }
}

const WayAttack kWayAttacks[] = {
    // The owner of a watched directory's parent swaps the directory for a
    // link to a root-only directory.
    {"WatchedDirectorySwappedForALinkToARootDirectory",
     [](SecurityTest &t) {
       Layout l{"LogDirectory=" + t.P("home/watched") + "\n", {t.MakeSecret(t.P("secret/a.log"))}};
       MakeDir(t.P("home"), 0755, kNobody);
       MakeLink(t.P("secret"), t.P("home/watched"), kNobody);
       return l;
     },
     nullptr},
    // A root-made configured link leads through a second link in a user's
    // directory, which the user points at a root file.
    {"ConfiguredLinkWhoseSecondHopAUserRepoints",
     [](SecurityTest &t) {
       Layout l{"LogFile=" + t.P("app.log") + "\n", {t.MakeSecret(t.P("secret/root.log"))}};
       MakeDir(t.P("home"), 0755, kNobody);
       MakeLink(l.secrets[0].path, t.P("home/current.log"), kNobody);
       MakeLink(t.P("home/current.log"), t.P("app.log"), 0);
       return l;
     },
     nullptr},
    // A second name of a root file stands in a sticky directory everybody
    // may write, found by the scan or at a configured name.  Root makes the
    // hard links, as a user could wherever fs.protected_hardlinks is 0.
    {"HardLinkToARootFileInASharedDirectory",
     [](SecurityTest &t) {
       Layout l{
           "LogDirectory=" + t.P("pub") + "\nLogFile=" + t.P("pub/configured.log") + "\n",
           {t.MakeSecret(t.P("secret/scanned.log")), t.MakeSecret(t.P("secret/configured.log"))}};
       MakeDir(t.P("pub"), 01777);
       Check(link(l.secrets[0].path.c_str(), t.P("pub/scanned.log").c_str()) == 0, "link");
       Check(link(l.secrets[1].path.c_str(), t.P("pub/configured.log").c_str()) == 0, "link");
       return l;
     },
     nullptr},
    // The owner of a watched directory's parent renames a root 0700
    // directory onto the watched path: no link on the way.
    {"RootDirectoryRenamedOntoAWatchedPath",
     [](SecurityTest &t) {
       MakeDir(t.P("home"), 0755, kNobody);
       MakeDir(t.P("home/stash"), 0700);
       Layout l{
           "LogDirectory=" + t.P("home/watched") + "\nLogFile=" + t.P("home/watched/b.log") + "\n",
           {t.MakeSecret(t.P("home/stash/a.log")), t.MakeSecret(t.P("home/stash/b.log"))}};
       Check(rename(t.P("home/stash").c_str(), t.P("home/watched").c_str()) == 0, "rename");
       for (auto &s : l.secrets) s.path.replace(s.path.find("/stash/"), 7, "/watched/");
       return l;
     },
     nullptr},
    // A user's link leads to a file of theirs inside a root 0700 directory,
    // which they cannot open themselves.
    {"LinkToAFileItsMakerCannotReach",
     [](SecurityTest &t) {
       Layout l{"LogFile=" + t.P("home/link.log") + "\n",
                {t.MakeSecret(t.P("secret/nobodys.log"), kNobody)}};
       MakeDir(t.P("home"), 0755, kNobody);
       MakeLink(l.secrets[0].path, t.P("home/link.log"), kNobody);
       return l;
     },
     nullptr},
    // The owner of a log's directory renames a root 0600 file, born after
    // the log, beside it under a name a rotation would give it, then moves
    // the log away and makes a new one.
    {"RootFileRenamedBesideALogInAUserDirectory",
     [](SecurityTest &t) {
       MakeDir(t.P("home"), 0755, kNobody);
       MakeFile(t.P("home/app.log"), "app-line\n", 0644);
       Layout l{"LogFile=" + t.P("home/app.log") + "\n", {t.MakeSecret(t.P("secret/db.conf"))}};
       l.secrets[0].path = t.P("home/app.log.z");  // where it will be
       return l;
     },
     [](SecurityTest &t) {
       Check(rename(t.P("secret/db.conf").c_str(), t.P("home/app.log.z").c_str()) == 0 &&
                 rename(t.P("home/app.log").c_str(), t.P("home/app.log.1").c_str()) == 0,
             "rename");
       MakeFile(t.P("home/app.log"), "", 0644, kNobody);
     }},
};

INSTANTIATE_TEST_SUITE_P(Attacks, WayAttackTest, ::testing::ValuesIn(kWayAttacks),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- backups: root's 0600 app.log in a sticky directory everybody may
// write, where a user plants names beside it

class SecurityBackupTest : public SecurityTest {
 protected:
  void SetUp() override {
    SecurityTest::SetUp();
    MakeDir(P("pub"), 01777);
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
  // Rotated: emptied, all it held in a backup of root's and at the collector.
  void ExpectRotated() {
    EXPECT_EQ(ReadFile(live_), "") << "not rotated\n" << agent_.DiagLog();
    EXPECT_TRUE(RootBackupHolds());
    for (const std::string &l : Lines(text_)) EXPECT_TRUE(Received(kLogTag + l + "\n")) << l;
  }
  const std::string live_ = P("pub/app.log"), text_ = Numbered("root-log", 5);
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
  ExpectRotated();
}

// The user plants a dangling link at "app.log._hlr_0".  What must hold: the
// log is still rotated, nothing is written through the link, and a later
// pass says nothing more about the log.
TEST_F(SecurityBackupTest, DanglingLinkAtABackupNameDoesNotBlockRotation) {
  MakeLink(P("pub/elsewhere"), live_ + "._hlr_0", kNobody);
  StartAgent("LogFile=" + live_ + "\n");
  WaitFirstPass();
  const size_t first = agent_.DiagLog().size();
  ExpectAnotherPass();
  const std::string later = agent_.DiagLog().substr(first);
  EXPECT_EQ(later.find(live_), std::string::npos) << "a later pass wrote:\n" << later;
  ExpectRotated();
  EXPECT_NE(access(P("pub/elsewhere").c_str(), F_OK), 0) << "written through the link";
}

// The user fills every backup number: files at 0 to 1023 and a directory
// holding a file at 1024, which no rename can replace.  What must hold: the
// log is rotated at once, its content reaches none of the user's files, and
// the directory is left as it was.
TEST_F(SecurityBackupTest, NamesPlantedAtEveryBackupNumberDoNotBlockRotation) {
  for (int k = 0; k < 1024; ++k)
    MakeFile(live_ + "._hlr_" + std::to_string(k), "planted\n", 0644, kNobody);
  const std::string dir = live_ + "._hlr_1024";
  MakeDir(dir, 0755, kNobody);
  MakeFile(dir + "/inside", "planted\n", 0644, kNobody);
  StartAgent("LogFile=" + live_ + "\n");
  WaitFirstPass();
  ExpectRotated();
  EXPECT_EQ(ReadFile(dir + "/inside"), "planted\n");
  const std::string first = text_.substr(0, text_.find('\n'));
  for (const auto &e : std::filesystem::recursive_directory_iterator(P("pub"))) {
    struct stat st;
    if (lstat(e.path().c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == kNobody) {
      EXPECT_EQ(ReadFile(e.path()).find(first), std::string::npos) << "copied into " << e.path();
    }
  }
}

// A crash in the middle of a rotation left its temporary, a whole copy of
// the log, under the name an older version gave it and under today's; a
// symlink stands at another such name.  What must hold: the agent removes
// both files at its start, and leaves the symlink and what it leads to.
TEST_F(SecurityBackupTest, RotationLeftoversAreRemovedAtStartWithoutFollowingLinks) {
  const std::string old_form = live_ + "._hlr_tmpab12cd34", new_form = P("pub/._hlr_tmp0123abcd");
  MakeFile(old_form, text_, 0600);
  MakeFile(new_form, text_, 0600);
  MakeFile(P("pub/target"), "target\n", 0600);
  MakeLink(P("pub/target"), P("pub/._hlr_tmpzzzzzzzz"), 0);
  StartAgent("LogFile=" + live_ + "\n");
  WaitFirstPass();
  EXPECT_NE(access(old_form.c_str(), F_OK), 0) << "left: " << old_form;
  EXPECT_NE(access(new_form.c_str(), F_OK), 0) << "left: " << new_form;
  struct stat st {};
  EXPECT_EQ(lstat(P("pub/._hlr_tmpzzzzzzzz").c_str(), &st), 0);
  EXPECT_EQ(ReadFile(P("pub/target")), "target\n");
  ExpectRotated();
}

// ---- names and the position file

// A user creates a name beside the tailed app.log in a sticky
// world-writable watched directory; lines are added to app.log while the
// agent is down.  What must hold: after the restart each line arrives, and
// the lines sent before it do not come again.
struct PlantedName {
  const char *name;
  std::string (*planted)(const std::string &dir);  // the name, for the directory's path
};

void PrintTo(const PlantedName &p, std::ostream *os) { *os << p.name; }

class PlantedNameTest : public SecurityTest, public ::testing::WithParamInterface<PlantedName> {};

TEST_P(PlantedNameTest, SavedOffsetOfTheTailedFileHolds) {
  rotation_mib_ = "1";
  MakeDir(P("pub"), 01777);
  const std::string live = P("pub/app.log"), early = Numbered("early", 3);
  MakeFile(live, early, 0644);
  MakeFile(P("pub/" + GetParam().planted(P("pub"))), std::string(599, 'x') + "\n", 0644, kNobody);
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
  for (const std::string &l : Lines(early)) EXPECT_EQ(TimesReceived(kLogTag + l + "\n"), 1u) << l;
}

const PlantedName kPlantedNames[] = {
    // Trimmed, "app.log " reads as app.log in the position file.
    {"NameDifferingByATrailingBlank", [](const std::string &) { return std::string("app.log "); }},
    // "app.log", blanks, then "Z": a scanned path cut to 259 bytes would end
    // in blanks, and read back as app.log's.
    {"NameWhosePathWouldBeCut",
     [](const std::string &dir) {
       const size_t blanks = 259 - (dir.size() + std::strlen("/app.log")) + 1;
       return "app.log" + std::string(blanks, ' ') + "Z";
     }},
};

INSTANTIATE_TEST_SUITE_P(Attacks, PlantedNameTest, ::testing::ValuesIn(kPlantedNames),
                         [](const auto &info) { return std::string(info.param.name); });

// A user pre-creates "APP.LOG" in a sticky world-writable watched
// directory; root's app.log comes later.  What must hold: app.log is
// tailed.
TEST_F(SecurityTest, NameDifferingOnlyInCaseDoesNotHideALaterFile) {
  rotation_mib_ = "1";
  MakeDir(P("pub"), 01777);
  MakeFile(P("pub/APP.LOG"), "upper-case-line\n", 0644, kNobody);
  StartAgent("LogDirectory=" + P("pub") + "\n");
  WaitFirstPass();
  MakeFile(P("pub/app.log"), "lower-case-line\n", 0644);
  // The next scan (15 s) lists it, the pass after it (10 s) reads it.
  EXPECT_TRUE(
      WaitUntil([&] { return Received(kLogTag + std::string("lower-case-line\n")); }, 45000))
      << agent_.DiagLog();
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

// ---- what the host may deny

// Container runtimes' system call filters answer openat2 with EPERM.
void DenyOpenAt2() {
  // openat2 has one number on every architecture.
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog prog{static_cast<unsigned short>(std::size(filter)), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
    _exit(126);
}

// The agent runs where openat2 is denied.  What must hold: it still
// forwards its files.
TEST_F(SecurityTest, DeniedOpenAt2StillTails) {
  agent_.in_child = DenyOpenAt2;
  StartAgent("");
  WaitFirstPass();
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
