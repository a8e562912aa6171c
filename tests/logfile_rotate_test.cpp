// Rotation: backups shift one number up, the live file becomes backup 0 and
// is emptied in place; a step that cannot copy stops the rotation with
// nothing lost, and nothing planted at a backup name is read or written
// through.
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "logfile_test_support.h"
#include "veld-owners.h"

namespace {

namespace fs = std::filesystem;
using veldtest::ReadFile;
using veldtest::WriteFile;

class RotateTest : public logtest::LogCollectionTest {
 protected:
  std::string live() const { return dir / "app.log"; }
  std::string backup(int k) const { return live() + "._hlr_" + std::to_string(k); }
  static mode_t ModeOf(const std::string &p) {
    struct stat st {};
    stat(p.c_str(), &st);
    return st.st_mode & 07777;
  }
};

// ---- shifting

TEST_F(RotateTest, FirstRotationCopiesToBackupZeroAndEmpties) {
  WriteFile(live(), "first\n");
  EXPECT_EQ(rotate_log(live().c_str()), 1);
  EXPECT_EQ(ReadFile(backup(0)), "first\n");
  EXPECT_EQ(ReadFile(live()), "");
  EXPECT_FALSE(fs::exists(backup(1)));
}

TEST_F(RotateTest, SecondRotationShiftsBackupsUp) {
  WriteFile(live(), "first\n");
  ASSERT_EQ(rotate_log(live().c_str()), 1);
  WriteFile(live(), "second\n");
  ASSERT_EQ(rotate_log(live().c_str()), 1);
  EXPECT_EQ(ReadFile(backup(0)), "second\n");
  EXPECT_EQ(ReadFile(backup(1)), "first\n");
  EXPECT_EQ(ReadFile(live()), "");
}

TEST_F(RotateTest, GapTakesTheFirstFreeNumberAndLeavesHigherOnes) {
  WriteFile(live(), "L");
  WriteFile(backup(0), "b0");
  WriteFile(backup(1), "b1");
  WriteFile(backup(3), "b3");
  ASSERT_EQ(rotate_log(live().c_str()), 1);
  EXPECT_EQ(ReadFile(backup(0)), "L");
  EXPECT_EQ(ReadFile(backup(1)), "b0");
  EXPECT_EQ(ReadFile(backup(2)), "b1");
  EXPECT_EQ(ReadFile(backup(3)), "b3");
  EXPECT_FALSE(fs::exists(backup(4)));
}

TEST_F(RotateTest, FullSetWritesNumber1024AndDropsItsOldContent) {
  for (int k = 0; k <= 1023; ++k) WriteFile(backup(k), std::to_string(k));
  WriteFile(backup(1024), "oldest");
  WriteFile(live(), "L");
  ASSERT_EQ(rotate_log(live().c_str()), 1);
  EXPECT_EQ(ReadFile(backup(1024)), "1023");
  EXPECT_EQ(ReadFile(backup(1)), "0");
  EXPECT_EQ(ReadFile(backup(0)), "L");
  EXPECT_FALSE(fs::exists(backup(1025)));
}

// A directory cannot be renamed over: one planted at a backup number is
// passed over, never moved; one at every number stops the rotation, said
// once, naming the live file's path.
TEST_F(RotateTest, DirectoriesAtBackupNumbersArePassedOver) {
  WriteFile(live(), "L");
  WriteFile(backup(0), "b0");
  ASSERT_TRUE(fs::create_directory(backup(1)));
  WriteFile(backup(1) + "/inside", "planted");
  ASSERT_EQ(rotate_log(live().c_str()), 1);
  EXPECT_EQ(ReadFile(backup(0)), "L");
  EXPECT_EQ(ReadFile(backup(1) + "/inside"), "planted");
  EXPECT_EQ(ReadFile(backup(2)), "b0");

  const std::string all = dir / "all.log";
  WriteFile(all, "kept");
  for (int k = 0; k <= 1024; ++k)
    ASSERT_TRUE(fs::create_directory(all + "._hlr_" + std::to_string(k)));
  EXPECT_EQ(rotate_log(all.c_str()), 0);
  EXPECT_EQ(rotate_log(all.c_str()), 0);
  EXPECT_EQ(ReadFile(all), "kept");
  EXPECT_EQ(logtest::CountOf(DiagLog(), "Rotation of log file " + all +
                                            " stopped: a directory stands at every backup number"),
            1u);
}

// The temporary a backup is written under has a length of its own: a live
// name of 239 to 245 bytes rotates.  Past that, "._hlr_1024" would not fit
// in a name: such a file is not rotated, and that is said once.
TEST_F(RotateTest, NamesUpToTheNameLimitRotate) {
  for (const size_t len : {239, 245}) {
    const std::string path = dir / std::string(len, 'r');
    WriteFile(path, "line\n");
    EXPECT_EQ(rotate_log(path.c_str()), 1) << len;
    EXPECT_EQ(ReadFile(path + "._hlr_0"), "line\n") << len;
    EXPECT_EQ(ReadFile(path), "") << len;
  }
  for (const size_t len : {246, 250}) {
    const std::string path = dir / std::string(len, 'n');
    WriteFile(path, "line\n");
    EXPECT_EQ(rotate_log(path.c_str()), 0) << len;
    EXPECT_EQ(rotate_log(path.c_str()), 0) << len;
    EXPECT_EQ(ReadFile(path), "line\n") << len;
    EXPECT_EQ(
        logtest::CountOf(DiagLog(), "Backup names of log file " + path + " would be too long"), 1u);
  }
}

// A program appends while a rotation moves a thousand backups.  The
// backups move before the copy, so what it appends meanwhile is in the
// copy or in the emptied file; before, it fell between the copy and the
// emptying.  The appends start when the first backup moves.
TEST_F(RotateTest, LinesAppendedWhileManyBackupsMoveAreKept) {
  for (int k = 0; k < 1000; ++k) WriteFile(backup(k), "old\n");
  WriteFile(live(), "first\n");
  veld::UniqueFd events(inotify_init1(IN_CLOEXEC));
  ASSERT_TRUE(events.ok());
  ASSERT_GE(inotify_add_watch(events.get(), dir.path().c_str(), IN_MOVED_TO), 0);
  const std::string moved_first = "app.log._hlr_1000";
  constexpr int kLines = 500;
  std::atomic<bool> saw{false};
  std::thread writer([&] {
    alignas(inotify_event) char buf[8192];
    pollfd p{events.get(), POLLIN, 0};
    while (!saw && poll(&p, 1, 10000) == 1) {
      const ssize_t n = read(events.get(), buf, sizeof buf);
      for (ssize_t at = 0; at < n;) {
        const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
        if (e->len > 0 && moved_first == e->name) saw = true;
        at += static_cast<ssize_t>(sizeof *e + e->len);
      }
    }
    veld::UniqueFd out(open(live().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    for (int i = 0; i < kLines; ++i) {
      const std::string line = "appended-" + std::to_string(i) + "\n";
      (void)!write(out.get(), line.data(), line.size());
    }
  });
  EXPECT_EQ(rotate_log(live().c_str()), 1);
  writer.join();
  ASSERT_TRUE(saw) << "the backups did not move";
  const std::string kept = ReadFile(backup(0)) + ReadFile(live());
  int lost = 0;
  for (int i = 0; i < kLines; ++i)
    if (kept.find("appended-" + std::to_string(i) + "\n") == std::string::npos) ++lost;
  EXPECT_EQ(lost, 0) << "of " << kLines << " lines appended during the rotation";
  EXPECT_EQ(ReadFile(backup(1000)), "old\n");
}

// ---- what the files keep

TEST_F(RotateTest, BackupsCarryTheSourcePermissionBitsWhateverTheMask) {
  WriteFile(live(), "x");
  ASSERT_EQ(chmod(live().c_str(), 0640), 0);
  umask(077);
  ASSERT_EQ(rotate_log(live().c_str()), 1);
  EXPECT_EQ(ModeOf(backup(0)), 0640u);
  EXPECT_EQ(ModeOf(live()), 0640u);
  ASSERT_EQ(chmod(backup(0).c_str(), 0604), 0);
  WriteFile(live(), "y");
  ASSERT_EQ(rotate_log(live().c_str()), 1);
  EXPECT_EQ(ModeOf(backup(1)), 0604u);
  EXPECT_EQ(ModeOf(backup(0)), 0640u);
}

TEST_F(RotateTest, SetIdBitsOfAForeignFileAreNotGivenToTheBackup) {
  // A planted file with the set-user-ID bit must not become a set-ID
  // program owned by the agent.
  WriteFile(live(), "#!/bin/sh\n");
  ASSERT_EQ(chmod(live().c_str(), 06755), 0);
  if (chown(live().c_str(), 4321, 4321) != 0) GTEST_SKIP() << "needs root to change owners";
  ASSERT_EQ(chmod(live().c_str(), 06755), 0);  // chown cleared them
  ASSERT_EQ(rotate_log(live().c_str()), 1);
  EXPECT_EQ(ModeOf(backup(0)), 0755u);
}

TEST_F(RotateTest, OwnSetIdBitsAreCarried) {
  WriteFile(live(), "x");
  ASSERT_EQ(chmod(live().c_str(), 04750), 0);
  ASSERT_EQ(rotate_log(live().c_str()), 1);
  EXPECT_EQ(ModeOf(backup(0)), 04750u);
}

TEST_F(RotateTest, LiveFileKeepsItsInodeAndAnOpenWriterGoesOn) {
  WriteFile(live(), "before\n");
  struct stat before {};
  ASSERT_EQ(stat(live().c_str(), &before), 0);
  int writer = open(live().c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(rotate_log(live().c_str()), 1);
  ASSERT_EQ(write(writer, "after\n", 6), 6);
  close(writer);
  struct stat after {};
  ASSERT_EQ(stat(live().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(ReadFile(live()), "after\n");
  EXPECT_EQ(ReadFile(backup(0)), "before\n");
}

TEST_F(RotateTest, TailerReadsTheEmptiedFileFromItsStart) {
  CfgHashAdd("LogRotationSize", "0");
  WriteFile(live(), "one\n");
  P_LOGFILE_LIST n = logtest::AddFile(live());
  LogFilePass((dir / "positions").c_str());
  EXPECT_EQ(n->filesize, 0u);
  WriteFile(live(), "two\n");  // same inode, written from its start
  LogFilePass((dir / "positions").c_str());
  EXPECT_EQ(collector.Drain(), (std::vector<std::string>{Rec("one\n"), Rec("two\n")}));
  EXPECT_EQ(ReadFile(backup(1)), "one\n");
  EXPECT_EQ(ReadFile(backup(0)), "two\n");
}

// A writer that gets a line in after the tailer has read the file but
// before the rotation copies it: the line is in the backup only, and the
// live file is emptied, so it must be sent from the backup, with the pass's
// stamp.  The clock seam is read once for the pass's stamp and then for the
// date of the "Rotating" entry, the moment between reading and copying.
std::string late_writer_path;
int clock_readings = 0;
time_t ClockWithLateWriter(time_t *t) {
  if (++clock_readings == 2) veldtest::AppendFile(late_writer_path, "late\n");
  if (t) *t = logtest::fixed_now;
  return logtest::fixed_now;
}

TEST_F(RotateTest, LineWrittenJustBeforeTheCopyIsSentFromTheBackup) {
  CfgHashAdd("LogRotationSize", "0");
  WriteFile(live(), "early\n");
  P_LOGFILE_LIST n = logtest::AddFile(live());
  late_writer_path = live();
  clock_readings = 0;
  veld_time = ClockWithLateWriter;
  LogFilePass((dir / "positions").c_str());
  ASSERT_EQ(ReadFile(backup(0)), "early\nlate\n");
  EXPECT_EQ(collector.Drain(), (std::vector<std::string>{Rec("early\n"), Rec("late\n")}));
  EXPECT_EQ(n->filesize, 0u);
  EXPECT_EQ(ReadFile(live()), "");
}

// A sparse file's holes stay holes in its backup: a planted file of a
// terabyte of hole must not turn into a terabyte of the agent's blocks.
TEST_F(RotateTest, HolesStayHolesInTheBackup) {
  const off_t size = (1LL << 30) + (4 << 20);
  {
    veld::UniqueFd fd(open(live().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(fd.ok());
    ASSERT_EQ(pwrite(fd.get(), "head\n", 5, 0), 5);
    ASSERT_EQ(pwrite(fd.get(), "middle\n", 7, 1LL << 30), 7);
    ASSERT_EQ(ftruncate(fd.get(), size), 0);  // and a hole at the end
  }
  struct stat st {};
  ASSERT_EQ(stat(live().c_str(), &st), 0);
  if (st.st_blocks * 512 > (1 << 20)) GTEST_SKIP() << "no sparse files here";

  ASSERT_EQ(rotate_log(live().c_str()), 1);
  struct stat bst {};
  ASSERT_EQ(stat(backup(0).c_str(), &bst), 0);
  EXPECT_EQ(bst.st_size, size);
  EXPECT_LT(bst.st_blocks * 512, 1 << 20);
  char buf[8] = {};
  veld::UniqueFd fd(open(backup(0).c_str(), O_RDONLY));
  ASSERT_EQ(pread(fd.get(), buf, 5, 0), 5);
  EXPECT_STREQ(buf, "head\n");
  ASSERT_EQ(pread(fd.get(), buf, 7, 1LL << 30), 7);
  EXPECT_EQ(std::string(buf, 7), "middle\n");
  ASSERT_EQ(pread(fd.get(), buf, 1, size - 1), 1);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(ReadFile(live()), "");
}

// ---- what a configured path may lead to

constexpr uid_t kOtherUser = 65534;  // nobody

// A configured path that is a link is followed only when the agent's user
// made the link, or when the link's maker owns the file it leads to (and can
// reach it: the test's directory is opened to them).  A link another user
// planted towards the agent's own (root's) file is neither read nor rotated,
// and is reported once.
TEST_F(RotateTest, ConfiguredLinkIsFollowedOnlyWhereItsMakerOwnsTheTarget) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make links of another user";
  CfgHashAdd("LogRotationSize", "0");
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string precious = dir / "precious.bin", own = dir / "own.log";
  WriteFile(precious, "root's secret\n");
  WriteFile(own, "nobody's line\n");
  ASSERT_EQ(chown(own.c_str(), kOtherUser, kOtherUser), 0);

  ASSERT_EQ(symlink(precious.c_str(), live().c_str()), 0);
  ASSERT_EQ(lchown(live().c_str(), kOtherUser, kOtherUser), 0);
  logtest::AddFile(live());
  LogFilePass((dir / "positions").c_str());
  LogFilePass((dir / "positions").c_str());
  EXPECT_EQ(collector.Drain(), std::vector<std::string>{});
  EXPECT_EQ(ReadFile(precious), "root's secret\n");
  EXPECT_FALSE(fs::exists(backup(0)));
  EXPECT_EQ(logtest::CountOf(DiagLog(), "VELDAgent [2]: Log file " + live() +
                                            " is a link to a file that its maker could not "
                                            "read or change, not following it.\n"),
            1u);

  // The same user's link to that user's own file is followed, and so is a
  // link the agent's user made to anything.
  fs::remove(live());
  ASSERT_EQ(symlink(own.c_str(), live().c_str()), 0);
  ASSERT_EQ(lchown(live().c_str(), kOtherUser, kOtherUser), 0);
  LogFilePass((dir / "positions").c_str());
  EXPECT_EQ(collector.Drain(), std::vector<std::string>{Rec("nobody's line\n")});
  EXPECT_EQ(ReadFile(own), "");
  EXPECT_EQ(ReadFile(backup(0)), "nobody's line\n");

  fs::remove(live());
  ASSERT_EQ(symlink(precious.c_str(), live().c_str()), 0);
  LogFilePass((dir / "positions").c_str());
  EXPECT_EQ(collector.Drain(), std::vector<std::string>{Rec("root's secret\n")});
}

// The path is checked, read, then rotated: if it is swapped for a link to
// another file in between (here while the "Rotating" entry is written), the
// other file is neither copied nor emptied.
std::string swap_path, swap_target;
int swap_readings = 0;
time_t ClockThatSwapsThePath(time_t *t) {
  if (++swap_readings == 2) {
    std::filesystem::rename(swap_path, swap_path + ".moved");
    std::filesystem::create_symlink(swap_target, swap_path);
  }
  if (t) *t = logtest::fixed_now;
  return logtest::fixed_now;
}

TEST_F(RotateTest, PathSwappedBeforeTheRotationEmptiesNothingElse) {
  CfgHashAdd("LogRotationSize", "0");
  const std::string victim = dir / "victim.bin";
  WriteFile(victim, "keep me\n");
  WriteFile(live(), "line\n");
  logtest::AddFile(live());
  swap_path = live();
  swap_target = victim;
  swap_readings = 0;
  veld_time = ClockThatSwapsThePath;
  LogFilePass((dir / "positions").c_str());
  EXPECT_EQ(collector.Drain(), std::vector<std::string>{Rec("line\n")});
  EXPECT_EQ(ReadFile(victim), "keep me\n");
  EXPECT_FALSE(fs::exists(backup(0)));
}

// A live file that cannot be emptied (append-only here) is not rotated at
// all: no backup piles up pass after pass, and it is said once.
TEST_F(RotateTest, FileThatCannotBeEmptiedGetsNoBackups) {
  CfgHashAdd("LogRotationSize", "0");
  WriteFile(live(), "line\n");
  {
    veld::UniqueFd fd(open(live().c_str(), O_RDONLY));
    int flags = 0;
    if (ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) GTEST_SKIP() << "no file attributes here";
    flags |= FS_APPEND_FL;
    if (ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) != 0)
      GTEST_SKIP() << "cannot set append-only here";
  }
  logtest::AddFile(live());
  for (int i = 0; i < 3; ++i) LogFilePass((dir / "positions").c_str());
  {
    veld::UniqueFd fd(open(live().c_str(), O_RDONLY));
    int flags = 0;
    ioctl(fd.get(), FS_IOC_GETFLAGS, &flags);
    flags &= ~FS_APPEND_FL;
    ASSERT_EQ(ioctl(fd.get(), FS_IOC_SETFLAGS, &flags), 0);  // so the directory can go
  }
  EXPECT_FALSE(fs::exists(backup(0)));
  EXPECT_EQ(ReadFile(live()), "line\n");
  EXPECT_EQ(collector.Drain(), std::vector<std::string>{Rec("line\n")});
  const std::string log = DiagLog();
  // Said once, naming the call that refused and why.
  EXPECT_EQ(logtest::CountOf(log, "Log file " + live() +
                                      " cannot be emptied, not rotating it: open: Operation not "
                                      "permitted\n"),
            1u);
  EXPECT_EQ(logtest::CountOf(log, "Log file rotation in progress"), 1u);
}

// ---- failed steps stop the rotation, and nothing is lost

// Backups move up by rename: whatever stands under a backup name, a link to
// a host file or a second name of one, moves with its name and is never
// read, written or emptied through.
TEST_F(RotateTest, LinkAtAnOlderBackupIsMovedUpNeverWrittenThrough) {
  WriteFile(dir / "target", "host file\n");
  WriteFile(live(), "L");
  WriteFile(backup(0), "b0");
  fs::create_symlink(dir / "target", backup(1));
  EXPECT_EQ(rotate_log(live().c_str()), 1);
  EXPECT_EQ(fs::read_symlink(backup(2)), dir / "target");
  EXPECT_EQ(ReadFile(backup(1)), "b0");
  EXPECT_EQ(ReadFile(backup(0)), "L");
  EXPECT_EQ(ReadFile(live()), "");
  EXPECT_EQ(ReadFile(dir / "target"), "host file\n");
}

TEST_F(RotateTest, HardLinkAtABackupNameIsNeitherEmptiedNorWrittenThrough) {
  WriteFile(dir / "target", "host file\n");
  ASSERT_EQ(link((dir / "target").c_str(), backup(0).c_str()), 0);
  WriteFile(backup(1), "b1");
  WriteFile(live(), "L");
  EXPECT_EQ(rotate_log(live().c_str()), 1);
  EXPECT_EQ(ReadFile(dir / "target"), "host file\n");
  EXPECT_TRUE(fs::equivalent(backup(1), dir / "target"));
  EXPECT_EQ(ReadFile(backup(2)), "b1");
  EXPECT_EQ(ReadFile(backup(0)), "L");
  EXPECT_EQ(ReadFile(live()), "");
}

TEST_F(RotateTest, BackupNameThatWouldNotFitIsNeverCut) {
  // Nest directories until the live path leaves no room for "._hlr_1024".
  std::string d = dir.path();
  while (d.size() < 3800) {
    d += "/" + std::string(200, 'd');
    ASSERT_TRUE(fs::create_directory(d));
  }
  std::string name(4090 - d.size() - 1, 'f');
  std::string path = d + "/" + name;
  ASSERT_EQ(path.size(), 4090u);
  WriteFile(path, "keep\n");
  EXPECT_EQ(rotate_log(path.c_str()), 0);
  EXPECT_EQ(ReadFile(path), "keep\n");
  std::vector<std::string> names;
  for (auto &e : fs::directory_iterator(d)) names.push_back(e.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{name});
  EXPECT_NE(DiagLog().find("would be too long, not rotating it."), std::string::npos);
}

// ---- copy_file and full_write

TEST_F(RotateTest, CopyOfAMissingSourceFailsAndCreatesNothing) {
  EXPECT_EQ(copy_file((dir / "absent").c_str(), (dir / "dest").c_str()), 0);
  EXPECT_FALSE(fs::exists(dir / "dest"));
  EXPECT_NE(DiagLog().find("error while opening \"" + (dir / "absent") + "\" for reading"),
            std::string::npos);
}

TEST_F(RotateTest, CopyFromAPipeFailsWithoutWaitingForAWriter) {
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(copy_file((dir / "pipe").c_str(), (dir / "dest").c_str()), 0);
}

TEST_F(RotateTest, CopyIntoADirectoryFailsAndSaysSo) {
  WriteFile(dir / "src", "x");
  fs::create_directory(dir / "dest");
  EXPECT_EQ(copy_file((dir / "src").c_str(), (dir / "dest").c_str()), 0);
  EXPECT_NE(DiagLog().find("VELDAgent [1]: cannot open backup file \"" + (dir / "dest") +
                           "\" for writing"),
            std::string::npos);
}

TEST_F(RotateTest, CopyReplacesALongerDestinationWhole) {
  WriteFile(dir / "src", "short");
  WriteFile(dir / "dest", "a much longer old content");
  EXPECT_EQ(copy_file((dir / "src").c_str(), (dir / "dest").c_str()), 1);
  EXPECT_EQ(ReadFile(dir / "dest"), "short");
}

TEST_F(RotateTest, FullWriteStopsAtAWriteThatCannotProceed) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
  std::string big(1 << 20, 'x');
  // The pipe fills, the next write fails with EAGAIN: the count is what fitted.
  size_t n = full_write(p[1], big.data(), big.size());
  EXPECT_GT(n, 0u);
  EXPECT_LT(n, big.size());
  close(p[0]);
  signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(full_write(p[1], "abc", 3), 0u);
  close(p[1]);
  EXPECT_EQ(full_write(-1, "abc", 3), 0u);
  int q[2];
  ASSERT_EQ(pipe(q), 0);
  EXPECT_EQ(full_write(q[1], "abc", 3), 3u);
  close(q[0]);
  close(q[1]);
}

}  // namespace
