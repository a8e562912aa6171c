// The directory scan: which entries of a watched directory become tailed
// files, under which path, and that nothing it adds can lead the agent
// outside the directory through a link.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "logfile_test_support.h"

namespace {

namespace fs = std::filesystem;
using logtest::AddDirectory;
using logtest::AddFile;
using logtest::CountOf;
using logtest::ListedPaths;
using veldtest::ReadFile;
using veldtest::WriteFile;

class ScanTest : public logtest::LogCollectionTest {
 protected:
  void SetUp() override {
    LogCollectionTest::SetUp();
    watched = dir / "watched";
    fs::create_directory(watched);
  }
  std::vector<std::string> SortedPaths() {
    std::vector<std::string> v = ListedPaths();
    std::sort(v.begin(), v.end());
    return v;
  }
  std::string watched;
};

TEST_F(ScanTest, NewRegularFilesAreAddedOnceAndAnnounced) {
  AddFile("/configured.log");
  WriteFile(watched + "/a.log", "");
  WriteFile(watched + "/.hidden", "");
  AddDirectory(watched);
  LogDirectoryScanPass();
  LogDirectoryScanPass();
  std::vector<std::string> paths = ListedPaths();
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(paths[0], "/configured.log");  // scanned files come behind the configured ones
  EXPECT_EQ(SortedPaths(), (std::vector<std::string>{"/configured.log", watched + "/.hidden",
                                                     watched + "/a.log"}));
  std::string log = DiagLog();
  EXPECT_EQ(CountOf(log, "VELDAgent [3]: Discovered new file within directory scan: " + watched +
                             "/a.log\n"),
            1u)
      << log;
  for (P_LOGFILE_LIST n = LogFileList.load(); n; n = n->next.load()) {
    EXPECT_EQ(n->filesize, 0u);
    EXPECT_EQ(n->timestamp, 0u);
  }
}

TEST_F(ScanTest, FirstFoundFileBecomesTheHead) {
  WriteFile(watched + "/a.log", "");
  AddDirectory(watched);
  LogDirectoryScanPass();
  ASSERT_NE(LogFileList.load(), nullptr);
  EXPECT_EQ(std::string(LogFileList.load()->log_file), watched + "/a.log");
}

TEST_F(ScanTest, BackupNamesAreSkippedCaseSensitively) {
  for (auto name : {"x.log._hlr_0", "pos._hlr_tmpAbC123", "_hlr_", "x.log._HLR_0"})
    WriteFile(watched + "/" + name, "");
  AddDirectory(watched);
  LogDirectoryScanPass();
  EXPECT_EQ(ListedPaths(), (std::vector<std::string>{watched + "/x.log._HLR_0"}));
}

TEST_F(ScanTest, OnlyRegularFilesAreAdded) {
  WriteFile(dir / "host-secret", "secret\n");
  fs::create_symlink(dir / "host-secret", watched + "/link.log");
  fs::create_symlink(dir / "nowhere", watched + "/dangling.log");
  fs::create_directory(watched + "/sub");
  ASSERT_EQ(mkfifo((watched + "/pipe").c_str(), 0600), 0);
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s/sock", watched.c_str());
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  WriteFile(watched + "/real.log", "");
  AddDirectory(watched);
  LogDirectoryScanPass();
  close(s);
  EXPECT_EQ(ListedPaths(), (std::vector<std::string>{watched + "/real.log"}));
}

// File names differ by case: a name that only resembles a tailed path, or
// another entry, hides nothing.
TEST_F(ScanTest, PathTailedUnderAnotherCaseDoesNotHideAFile) {
  WriteFile(watched + "/app.log", "");
  WriteFile(watched + "/other.log", "");
  AddFile(watched + "/APP.LOG");
  AddDirectory(watched);
  LogDirectoryScanPass();
  EXPECT_EQ(SortedPaths(), (std::vector<std::string>{watched + "/APP.LOG", watched + "/app.log",
                                                     watched + "/other.log"}));
}

TEST_F(ScanTest, NamesDifferingOnlyInCaseAreEachTailed) {
  WriteFile(watched + "/App.log", "");
  WriteFile(watched + "/app.log", "");
  AddDirectory(watched);
  LogDirectoryScanPass();
  EXPECT_EQ(SortedPaths(), (std::vector<std::string>{watched + "/App.log", watched + "/app.log"}));
}

TEST_F(ScanTest, FilesAppendedByOthersSinceTheLastScanAreSeen) {
  // The index of tailed paths catches up with nodes linked after it was built.
  WriteFile(watched + "/a.log", "");
  AddDirectory(watched);
  LogDirectoryScanPass();
  AddFile(watched + "/b.log");
  WriteFile(watched + "/b.log", "");
  LogDirectoryScanPass();
  EXPECT_EQ(SortedPaths(), (std::vector<std::string>{watched + "/a.log", watched + "/b.log"}));
}

TEST_F(ScanTest, TrailingSlashGivesADoubleSlashPath) {
  WriteFile(watched + "/x.log", "");
  AddFile(watched + "/x.log");
  AddDirectory(watched + "/");
  LogDirectoryScanPass();
  EXPECT_EQ(ListedPaths(), (std::vector<std::string>{watched + "/x.log", watched + "//x.log"}));
}

// A cut path would name another file: a path over 259 bytes is not tailed,
// and said once.
TEST_F(ScanTest, PathLongerThan259BytesIsSkippedWithOneEntry) {
  std::string name(255, 'n');
  WriteFile(watched + "/" + name, "");
  AddDirectory(watched);
  LogDirectoryScanPass();
  LogDirectoryScanPass();
  EXPECT_EQ(ListedPaths(), std::vector<std::string>{});
  EXPECT_EQ(CountOf(DiagLog(), "Not tailing " + watched + "/" + name +
                                   ": its path is longer than the 259 bytes"),
            1u);
}

TEST_F(ScanTest, MissingDirectoryAndNullNodeAreHarmless) {
  AddDirectory(dir / "absent");
  LogDirectoryScanPass();
  LogDirectoryProcess(nullptr);
  LOGDIR_LIST empty{};
  LogDirectoryProcess(&empty);
  EXPECT_EQ(LogFileList.load(), nullptr);
  fs::create_directory(dir / "absent");
  WriteFile(dir / "absent/late.log", "");
  LogDirectoryScanPass();
  EXPECT_EQ(ListedPaths(), (std::vector<std::string>{dir / "absent/late.log"}));
}

TEST_F(ScanTest, FoundFileReplacedByALinkIsNotFollowed) {
  // A regular file passes the scan and is then swapped for a link to a host
  // file: the tailer must neither send nor, by rotation, empty that file.
  CfgHashAdd("LogRotationSize", "0");
  WriteFile(dir / "host-secret", "secret\n");
  WriteFile(watched + "/x.log", "mine\n");
  AddDirectory(watched);
  LogDirectoryScanPass();
  LogFilePass((dir / "positions").c_str());
  EXPECT_EQ(collector.Drain(), (std::vector<std::string>{Rec("mine\n")}));
  fs::remove(watched + "/x.log");
  fs::create_symlink(dir / "host-secret", watched + "/x.log");
  LogFilePass((dir / "positions").c_str());
  EXPECT_EQ(collector.Drain(), std::vector<std::string>{});
  EXPECT_EQ(ReadFile(dir / "host-secret"), "secret\n");
  EXPECT_EQ(CountOf(DiagLog(), "is not a regular file"), 1u);
}

TEST_F(ScanTest, PositionFileInAWatchedDirectoryLeavesNoTemporaryBehind) {
  AddDirectory(watched);
  WriteFile(watched + "/a.log", "x\n");
  for (int i = 0; i < 3; ++i) {
    LogDirectoryScanPass();
    LogFilePass((watched + "/positions").c_str());
  }
  std::vector<std::string> names;
  for (auto &e : fs::directory_iterator(watched)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.log", "positions"}));
}

// ---- the thread body

std::atomic<int> scanner_sleeps{0};
unsigned int ParkAfterTwoScans(unsigned int s) {
  if (s != 15) ADD_FAILURE() << "scanner slept " << s << " s";
  if (++scanner_sleeps >= 2)
    for (;;) pause();  // parked for good: the thread never returns
  return 0;
}

TEST_F(ScanTest, ThreadAnnouncesDirectoriesAndScansAtOnceThenEvery15Seconds) {
  WriteFile(watched + "/a.log", "");
  AddDirectory(watched);
  AddDirectory(dir / "second");
  veld_sleep = ParkAfterTwoScans;
  THREAD t;
  ASSERT_EQ(ThreadCreate(&t, nullptr, LogDirectoryThread, nullptr), 1);
  pthread_detach(t);
  for (int i = 0; i < 1000 && scanner_sleeps.load() < 2; ++i) usleep(10000);
  ASSERT_EQ(scanner_sleeps.load(), 2);
  std::string log = DiagLog();
  EXPECT_EQ(CountOf(log, "VELDAgent [3]: Identified existing directory location for monitoring: " +
                             watched + "\n"),
            1u);
  EXPECT_EQ(
      CountOf(log, "Identified existing directory location for monitoring: " + (dir / "second")),
      1u);
  EXPECT_EQ(ListedPaths(), (std::vector<std::string>{watched + "/a.log"}));
}

// A name holding "=" or a line end would write a position line that sets
// another file's offset at the next start ("victim.log=60,0" reads back as
// victim.log at offset 60), so such names are never tailed.
TEST_F(ScanTest, NamesThatWouldForgeAPositionLineAreNotTailed) {
  WriteFile(watched + "/victim.log", "");
  WriteFile(watched + "/victim.log=60,0", "");
  WriteFile(watched + "/x\nvictim.log", "");
  WriteFile(watched + "/tab\there.log", "");
  AddDirectory(watched);
  LogDirectoryScanPass();
  EXPECT_EQ(ListedPaths(), std::vector<std::string>{watched + "/victim.log"});
}

// A user who makes and deletes files by the thousand in a watched directory
// cannot grow the agent's state: a scanned file that is gone and was read to
// its end is forgotten (its node, its line in the position file, its
// state), and its node goes to the next file found.  A name that comes back
// is a new file, read from its start.
TEST_F(ScanTest, GoneFilesAreForgottenSoStateFollowsTheFilesThatExist) {
  AddDirectory(watched);
  const std::string positions = dir / "positions";
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 1500; ++i)
      WriteFile(watched + "/f" + std::to_string(round) + "-" + std::to_string(i), "x\n");
    LogDirectoryScanPass();
    LogFilePass(positions.c_str());
    EXPECT_EQ(collector.Drain().size(), 1500u);
    for (int i = 0; i < 1500; ++i)
      fs::remove(watched + "/f" + std::to_string(round) + "-" + std::to_string(i));
    LogFilePass(positions.c_str());
    LogDirectoryScanPass();
  }
  size_t nodes = 0;
  for (P_LOGFILE_LIST n = LogFileList.load(); n; n = n->next.load()) ++nodes;
  EXPECT_LE(nodes, 1500u) << "nodes are not given to new files";
  EXPECT_EQ(ReadFile(positions), "");

  WriteFile(watched + "/f1-7", "back\n");
  LogDirectoryScanPass();
  LogFilePass(positions.c_str());
  EXPECT_EQ(collector.Drain(), (std::vector<std::string>{Rec("back\n")}));
  EXPECT_EQ(logtest::OffsetsOnly(ReadFile(positions)), watched + "/f1-7=5,0\n");
}

}  // namespace
