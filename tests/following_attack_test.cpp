// Attacks by a local user on how the tailer recognises a moved file.  The
// agent runs as root; the user owns a tailed file and would have the agent
// forward root's content as theirs, through an inode number root's file
// received after the user freed it, or a root file planted beside theirs
// that a rotation might be taken to have made.  The tailer runs in this
// process, pass by pass, so each step lands exactly; what the user makes is
// made here by root and handed to nobody (uid 65534).
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "logfile_test_support.h"

namespace {

using veldtest::AppendFile;
using veldtest::WriteFile;

constexpr uid_t kNobody = 65534;

class FollowingAttackTest : public logtest::LogCollectionTest {
 protected:
  void SetUp() override {
    LogCollectionTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make files of another user";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  }
  std::vector<std::string> Pass() {
    LogFilePass((dir / "positions").c_str());
    std::vector<std::string> got = collector.Drain();
    all_.insert(all_.end(), got.begin(), got.end());
    return got;
  }
  static void Own(const std::string &path, uid_t uid, mode_t mode) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    ASSERT_EQ(lchown(path.c_str(), uid, uid), 0);
  }
  bool Forwarded(const std::string &text) const {
    for (const std::string &r : all_)
      if (r.find(text) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> all_;
};

// In a sticky shared directory the user deletes their empty tailed file,
// root makes a 0600 file that receives the freed inode number, and the user
// makes their file anew.  The old identity must not lead to root's file.
TEST_F(FollowingAttackTest, InodeNumberFreedByAUserAndReusedByRootIsNotTheirFile) {
  const std::string shared = dir / "shared", mine = shared + "/user.log";
  ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  WriteFile(mine, "");
  Own(mine, kNobody, 0644);
  logtest::AddFile(mine);
  Pass();
  struct stat old {};
  ASSERT_EQ(stat(mine.c_str(), &old), 0);
  ASSERT_EQ(unlink(mine.c_str()), 0);
  Pass();  // the user's file has no name left and nothing unsent: let go
  const std::string secret = shared + "/root.secret";
  WriteFile(secret, "db_password=hunter2\n");
  Own(secret, 0, 0600);
  struct stat reused {};
  ASSERT_EQ(stat(secret.c_str(), &reused), 0);
  WriteFile(mine, "");
  Own(mine, kNobody, 0644);
  Pass();
  AppendFile(mine, "control\n");
  Pass();
  EXPECT_FALSE(Forwarded("db_password")) << "root's file was forwarded as the user's";
  EXPECT_TRUE(Forwarded("control")) << "the user's own file is no longer read";
  if (reused.st_ino != old.st_ino) GTEST_SKIP() << "the file system did not reuse the number";
}

// The user's directory holds their tailed log "a".  Root's 0600 "aroot.gz"
// appears beside it, and the user rotates "a": a file whose name merely
// begins with the log's, owned by root, is no file the log moved to.
TEST_F(FollowingAttackTest, RootFileBesideAUsersLogIsNotTakenForItsRotation) {
  const std::string home = dir / "home", log = home + "/a";
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  Own(home, kNobody, 0755);
  WriteFile(log, "first\n");
  Own(log, kNobody, 0644);
  logtest::AddFile(log);
  Pass();
  for (const std::string name : {"aroot.gz", "a.1.gz", "a.2"}) {
    WriteFile(home + "/" + name, "db_password=hunter2 in " + name + "\n");
    Own(home + "/" + name, 0, 0600);
  }
  std::filesystem::rename(log, log + ".1");
  WriteFile(log, "control\n");
  Own(log, kNobody, 0644);
  Pass();
  EXPECT_FALSE(Forwarded("db_password")) << "a root file was taken for the log's rotation";
  EXPECT_TRUE(Forwarded("control"));
}

}  // namespace
