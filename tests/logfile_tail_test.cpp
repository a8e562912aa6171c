// The tailer: what one pass sends for each file, with which stamp and how
// paced, where it leaves each offset, and which files it must leave alone.
// Records are captured by a real UDP collector on loopback.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "logfile_test_support.h"
#include "tcp_collector.h"
#include "veld-owners.h"
#include "veld-perfmon-agent.h"

namespace {

using logtest::AddFile;
using logtest::CountOf;
using veldtest::AppendFile;
using veldtest::ReadFile;
using veldtest::WriteFile;

// Sets or clears a directory's immutable attribute (no entry may be added,
// removed or renamed), for making a rotation fail.
void SetImmutable(const std::string &path, bool on) {
  veld::UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY));
  int flags = 0;
  ASSERT_EQ(ioctl(fd.get(), FS_IOC_GETFLAGS, &flags), 0);
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  ASSERT_EQ(ioctl(fd.get(), FS_IOC_SETFLAGS, &flags), 0);
}

class TailTest : public logtest::LogCollectionTest {
 protected:
  std::vector<std::string> Pass() {
    LogFilePass((dir / "positions").c_str());
    return collector.Drain();
  }
};

// ---- record format and pacing

// Over UDP nothing pushes back, so a file sends 200 records a second: a
// file alone waits a second after each full burst, except the last, which
// nothing follows.  Over TCP the link's flow control paces: no pause at all.
TEST_F(TailTest, ThousandLinesArriveInPacedBurstsWithOneStamp) {
  std::string content;
  for (int i = 0; i < 1000; ++i) content += "line " + std::to_string(i) + "\n";
  WriteFile(dir / "app.log", content);
  P_LOGFILE_LIST n = AddFile(dir / "app.log");

  std::vector<std::string> got = Pass();
  ASSERT_EQ(got.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(got[i], Rec("line " + std::to_string(i) + "\n"));
  EXPECT_EQ(logtest::sleeps_of_1.load(), 4);  // after records 200, 400, 600 and 800
  EXPECT_EQ(n->filesize, content.size());
  EXPECT_EQ(logtest::OffsetsOnly(ReadFile(dir / "positions")),
            (dir / "app.log") + "=" + std::to_string(content.size()) + ",0\n");

  logtest::sleeps_of_1 = 0;
  veldtest::TcpCollector tcp;
  ASSERT_TRUE(tcp.Listen());
  CfgHashAdd("RemoteService", "tcp");
  CfgHashAdd("RemotePort", std::to_string(tcp.port()).c_str());
  ASSERT_EQ(LogInit(), 1);
  AppendFile(dir / "app.log", content);
  LogFilePass((dir / "positions").c_str());
  ASSERT_TRUE(veldtest::WaitUntil([&] { return tcp.Records().size() == 1000; }, 5000));
  EXPECT_EQ(logtest::sleeps_of_1.load(), 0);
}

// A writer that keeps ahead of the paced records (here: 200 more lines
// during every pause) does not hold the pass: it reads what the file held
// when it was looked at, the next file gets its turn after the first burst,
// and the rest follows in the next pass.
std::string busy_path;
int busy_appends = 0;
unsigned int SleepWhileAWriterAppends(unsigned int) {
  if (busy_appends < 20) {
    ++busy_appends;
    std::string more;
    for (int i = 0; i < 200; ++i) more += "more\n";
    veldtest::AppendFile(busy_path, more);
  }
  return 0;
}

TEST_F(TailTest, WriterFasterThanThePacingDoesNotHoldThePass) {
  std::string lines;
  for (int i = 0; i < 400; ++i) lines += "early\n";
  WriteFile(dir / "busy.log", lines);
  WriteFile(dir / "quiet.log", "quiet\n");
  P_LOGFILE_LIST busy = AddFile(dir / "busy.log");
  AddFile(dir / "quiet.log");
  busy_path = dir / "busy.log";
  busy_appends = 0;
  veld_sleep = SleepWhileAWriterAppends;

  std::vector<std::string> got = Pass();
  ASSERT_EQ(got.size(), 401u);
  EXPECT_EQ(got[199], Rec("early\n"));
  EXPECT_EQ(got[200], Rec("quiet\n"));
  EXPECT_EQ(got[400], Rec("early\n"));
  EXPECT_EQ(busy->filesize, lines.size());
  EXPECT_EQ(Pass().size(), 200u);  // the 200 lines the one pause let in
}

// Bytes the process has read through read(2) and its kin so far.
uint64_t BytesReadSoFar() {
  std::string io = ReadFile("/proc/self/io");
  size_t at = io.find("rchar: ");
  return at == std::string::npos ? 0 : std::stoull(io.substr(at + 7));
}

// A sparse file's holes read as NULs.  They make the same records as NULs
// read one by one, but are passed over without reading them: a planted
// file of a terabyte of hole must not keep the tailer reading.
TEST_F(TailTest, HolesOfASparseFileArePassedOverWithTheSameRecords) {
  const std::string path = dir / "sparse.log";
  {
    veld::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(fd.ok());
    ASSERT_EQ(pwrite(fd.get(), "abc", 3, 0), 3);
    ASSERT_EQ(pwrite(fd.get(), "def\nghi", 7, 3 << 20), 7);
    ASSERT_EQ(pwrite(fd.get(), "\x80jk\n", 4, (1LL << 30) + 5), 4);
    ASSERT_EQ(ftruncate(fd.get(), (1LL << 30) + 9 + (2 << 20)), 0);  // ends in a hole
  }
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  if (st.st_blocks * 512 > (1 << 20)) GTEST_SKIP() << "no sparse files here";
  CfgHashAdd("LogRotationSize", "4096");  // MiB: no rotation in this pass
  P_LOGFILE_LIST n = AddFile(path);
  const uint64_t before = BytesReadSoFar();
  std::vector<std::string> got = Pass();
  const uint64_t read_bytes = BytesReadSoFar() - before;
  EXPECT_LT(read_bytes, 64u << 20) << "the holes were read";
  EXPECT_EQ(n->filesize, static_cast<uint64_t>(st.st_size));

  // Each line makes a record per 4069 raw bytes; those of NULs only are not
  // sent.  "\x80" turns into a NUL and is left out too.
  EXPECT_EQ(got, (std::vector<std::string>{Rec("abc"), Rec("def\n"), Rec("ghi"), Rec("jk\n")}));
}

TEST_F(TailTest, RateCountsEachFileApart) {
  std::string lines;
  for (int i = 0; i < 150; ++i) lines += "x\n";
  WriteFile(dir / "a.log", lines);
  WriteFile(dir / "b.log", lines);
  AddFile(dir / "a.log");
  AddFile(dir / "b.log");
  EXPECT_EQ(Pass().size(), 300u);
  EXPECT_EQ(logtest::sleeps_of_1.load(), 0);  // 150 + 150, never 200 of one file
}

// A clock that moves on every reading: a stamp taken per record, or once per
// pass instead of per file, shows up as records with differing stamps.
time_t TickingTime(time_t *t) {
  time_t v = logtest::fixed_now++;
  if (t) *t = v;
  return v;
}

std::string StampOf(const std::string &rec) { return rec.substr(0, rec.find(' ')); }

TEST_F(TailTest, OneStampPerFilePerPass) {
  veld_time = TickingTime;
  std::string lines;
  for (int i = 0; i < 450; ++i) lines += "l\n";
  WriteFile(dir / "a.log", lines);
  WriteFile(dir / "b.log", "one\ntwo\n");
  AddFile(dir / "a.log");
  AddFile(dir / "b.log");

  std::vector<std::string> got = Pass();
  ASSERT_EQ(got.size(), 452u);  // a's first burst, b, then the rest of a
  const std::string a = StampOf(got[0]), b = StampOf(got[200]);
  for (int i = 0; i < 452; ++i) EXPECT_EQ(StampOf(got[i]), i == 200 || i == 201 ? b : a) << i;
  EXPECT_EQ(got[201].substr(got[201].find(' ')), " VELDUnixLog: two\n");
  EXPECT_NE(a, b);

  AppendFile(dir / "b.log", "three\n");
  got = Pass();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(StampOf(got[0]), b);
  EXPECT_EQ(got[0].substr(got[0].find(' ')), " VELDUnixLog: three\n");
}

TEST_F(TailTest, LongLineSplitsIntoRecordsOfAtMost4093Characters) {
  const std::string line(5000, 'a');
  WriteFile(dir / "long.log", line + "\n");
  AddFile(dir / "long.log");
  std::vector<std::string> got = Pass();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], Rec(std::string(4069, 'a')));  // ten-digit stamp: 24-character prefix
  EXPECT_EQ(got[0].size(), 4093u);
  EXPECT_EQ(got[1], Rec(std::string(931, 'a') + "\n"));
}

TEST_F(TailTest, ShorterStampLeavesRoomForALongerPiece) {
  logtest::fixed_now = 7;
  WriteFile(dir / "long.log", std::string(4100, 'b') + "\n");
  AddFile(dir / "long.log");
  std::vector<std::string> got = Pass();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], Rec(std::string(4078, 'b'), 7));
  EXPECT_EQ(got[1], Rec(std::string(22, 'b') + "\n", 7));
}

TEST_F(TailTest, UnfinishedLastLineIsSentAndItsRestFollowsLater) {
  WriteFile(dir / "app.log", "first\nsecond half");
  P_LOGFILE_LIST n = AddFile(dir / "app.log");
  EXPECT_EQ(Pass(), (std::vector<std::string>{Rec("first\n"), Rec("second half")}));
  EXPECT_EQ(n->filesize, 17u);
  AppendFile(dir / "app.log", " ends\n");
  EXPECT_EQ(Pass(), (std::vector<std::string>{Rec(" ends\n")}));
  EXPECT_EQ(Pass(), std::vector<std::string>{});
}

TEST_F(TailTest, TopBitClearedAndControlCharactersKept) {
  WriteFile(dir / "app.log", "caf\xe9\tx\r\n");
  AddFile(dir / "app.log");
  EXPECT_EQ(Pass(), (std::vector<std::string>{Rec("cafi\tx\r\n")}));
}

TEST_F(TailTest, NulBytesAreLeftOutNotCuttingTheLine) {
  WriteFile(dir / "app.log", std::string("ab\0cd\x80"
                                         "ef\nnext\n",
                                         14));
  P_LOGFILE_LIST n = AddFile(dir / "app.log");
  EXPECT_EQ(Pass(), (std::vector<std::string>{Rec("abcdef\n"), Rec("next\n")}));
  EXPECT_EQ(n->filesize, 14u);
}

TEST_F(TailTest, RunOfNulsSendsNothingButMovesTheOffset) {
  WriteFile(dir / "app.log", std::string(10000, '\0'));
  P_LOGFILE_LIST n = AddFile(dir / "app.log");
  EXPECT_EQ(Pass(), std::vector<std::string>{});
  EXPECT_EQ(n->filesize, 10000u);
}

// ---- offsets

TEST_F(TailTest, StoredOffsetIsTrustedOnFirstSight) {
  WriteFile(dir / "app.log", "old\nnew\n");
  AddFile(dir / "app.log")->filesize = 4;
  EXPECT_EQ(Pass(), (std::vector<std::string>{Rec("new\n")}));
}

TEST_F(TailTest, TruncatedFileIsReadFromItsStart) {
  WriteFile(dir / "app.log", "a long first line\n");
  P_LOGFILE_LIST n = AddFile(dir / "app.log");
  Pass();
  WriteFile(dir / "app.log", "short\n");
  EXPECT_EQ(Pass(), (std::vector<std::string>{Rec("short\n")}));
  EXPECT_EQ(n->filesize, 6u);
}

TEST_F(TailTest, FileReplacedUnderTheSamePathIsReadFromItsStart) {
  // Another tool rotated the file away and a new one grew past the old
  // offset before the next pass: its first part must not be skipped.
  WriteFile(dir / "app.log", "old 1\n");
  AddFile(dir / "app.log");
  ASSERT_EQ(Pass().size(), 1u);
  std::filesystem::rename(dir / "app.log", dir / "app.log.1");
  WriteFile(dir / "app.log", "new 1\nnew 2\n");
  EXPECT_EQ(Pass(), (std::vector<std::string>{Rec("new 1\n"), Rec("new 2\n")}));
}

TEST_F(TailTest, IdleFilesAreNotOpened) {
  WriteFile(dir / "app.log", "one\n");
  AddFile(dir / "app.log");
  ASSERT_EQ(Pass().size(), 1u);

  int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(in, 0);
  ASSERT_GE(inotify_add_watch(in, (dir / "app.log").c_str(), IN_OPEN | IN_ACCESS), 0);
  Pass();
  Pass();
  char buf[4096];
  EXPECT_LT(read(in, buf, sizeof buf), 0) << "an idle file was opened or read";
  AppendFile(dir / "app.log", "two\n");  // this open is the test's own
  while (read(in, buf, sizeof buf) > 0) {
  }
  EXPECT_EQ(Pass(), (std::vector<std::string>{Rec("two\n")}));
  EXPECT_GT(read(in, buf, sizeof buf), 0) << "a file with news was not read";
  close(in);
}

// ---- files left alone

TEST_F(TailTest, IgnoredExtensionsMatchTheTextAfterTheLastDot) {
  CfgHashAdd("LogRotationSize", "0");  // would rotate anything that is looked at
  std::filesystem::create_directory(dir / "x.gz");
  for (auto name : {"app.GZ", "app.bz2", "app.Exe", "app.sys", "app.gz.1", "x.gz/app", "plain"})
    WriteFile(dir / name, std::string(name) + "\n");
  for (auto name : {"app.GZ", "app.bz2", "app.Exe", "app.sys", "app.gz.1", "x.gz/app", "plain"})
    AddFile(dir / name);
  std::vector<std::string> got = Pass();
  EXPECT_EQ(got, (std::vector<std::string>{Rec("app.gz.1\n"), Rec("x.gz/app\n"), Rec("plain\n")}));
  EXPECT_EQ(ReadFile(dir / "app.GZ"), "app.GZ\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "app.GZ._hlr_0"));
  EXPECT_TRUE(std::filesystem::exists(dir / "plain._hlr_0"));
}

// A missing file keeps its offset and is reported once per absence, not
// every pass: files that come and go would otherwise grow the agent's own
// log without end.
TEST_F(TailTest, MissingFileIsReportedOncePerAbsenceAndKeepsItsOffset) {
  P_LOGFILE_LIST n = AddFile(dir / "absent.gz");
  n->filesize = 42;
  const std::string said =
      "VELDAgent [2]: Unable to open log file for processing: " + (dir / "absent.gz");
  Pass();
  Pass();
  EXPECT_EQ(n->filesize, 42u);
  EXPECT_EQ(CountOf(DiagLog(), said), 1u);
  WriteFile(dir / "absent.gz", "back\n");  // ignored extension: present, never read
  Pass();
  std::filesystem::remove(dir / "absent.gz");
  Pass();
  Pass();
  EXPECT_EQ(CountOf(DiagLog(), said), 2u);
}

TEST_F(TailTest, NonRegularPathIsSkippedWithoutStallingAndLoggedOnce) {
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "adir");
  WriteFile(dir / "after.log", "still read\n");
  CfgHashAdd("LogRotationSize", "0");
  AddFile(dir / "pipe");
  AddFile(dir / "adir");
  AddFile(dir / "after.log");
  EXPECT_EQ(Pass(), (std::vector<std::string>{Rec("still read\n")}));
  Pass();
  std::string log = DiagLog();
  EXPECT_EQ(CountOf(log, "Log file " + (dir / "pipe") + " is not a regular file"), 1u) << log;
  EXPECT_EQ(CountOf(log, "Log file " + (dir / "adir") + " is not a regular file"), 1u) << log;
  EXPECT_FALSE(std::filesystem::exists(dir / "pipe._hlr_0"));
}

TEST_F(TailTest, PositionFileHoldsEveryNodeAfterEachPass) {
  WriteFile(dir / "a.log", "1\n22\n");
  AddFile(dir / "a.log");
  AddFile(dir / "missing.log");
  Pass();
  EXPECT_EQ(logtest::OffsetsOnly(ReadFile(dir / "positions")),
            (dir / "a.log") + "=5,0\n" + (dir / "missing.log") + "=0,0\n");
}

// ---- rotation limit

TEST_F(TailTest, FileOfExactlyTheLimitIsNotRotatedOneByteMoreIs) {
  std::string content(1048575, 'z');
  content += "\n";
  WriteFile(dir / "app.log", content);
  P_LOGFILE_LIST n = AddFile(dir / "app.log");
  Pass();
  EXPECT_EQ(n->filesize, 1048576u);
  EXPECT_FALSE(std::filesystem::exists(dir / "app.log._hlr_0"));

  AppendFile(dir / "app.log", "!");
  std::vector<std::string> got = Pass();
  EXPECT_EQ(got, (std::vector<std::string>{Rec("!")}));
  EXPECT_EQ(n->filesize, 0u);
  EXPECT_EQ(std::filesystem::file_size(dir / "app.log"), 0u);
  EXPECT_EQ(std::filesystem::file_size(dir / "app.log._hlr_0"), 1048577u);
  EXPECT_NE(DiagLog().find("VELDAgent [3]: Log file rotation in progress, (1048577) file " +
                           (dir / "app.log") + " greater than 1048576 bytes."),
            std::string::npos);
}

TEST_F(TailTest, RotationSizeZeroRotatesEveryNonEmptyFile) {
  CfgHashAdd("LogRotationSize", "0");
  WriteFile(dir / "a.log", "x\n");
  WriteFile(dir / "empty.log", "");
  AddFile(dir / "a.log");
  AddFile(dir / "empty.log");
  EXPECT_EQ(Pass().size(), 1u);
  EXPECT_EQ(ReadFile(dir / "a.log._hlr_0"), "x\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "empty.log._hlr_0"));
  // Nothing new and already rotated: the next pass leaves everything as it is.
  Pass();
  EXPECT_FALSE(std::filesystem::exists(dir / "a.log._hlr_1"));
}

TEST_F(TailTest, RotationSizeIsMegabytesWithTheBaseFromThePrefix) {
  // Sparse files: the size is what counts, and their NULs send nothing.
  CfgHashAdd("LogRotationSize", "0x2");
  WriteFile(dir / "at.log", "");
  WriteFile(dir / "over.log", "");
  ASSERT_EQ(truncate((dir / "at.log").c_str(), 2097152), 0);
  ASSERT_EQ(truncate((dir / "over.log").c_str(), 2097153), 0);
  AddFile(dir / "at.log");
  AddFile(dir / "over.log");
  Pass();
  EXPECT_FALSE(std::filesystem::exists(dir / "at.log._hlr_0"));
  EXPECT_TRUE(std::filesystem::exists(dir / "over.log._hlr_0"));
}

TEST_F(TailTest, FailedRotationKeepsTheLiveFileAndItsOffset) {
  // A directory that takes no new file (immutable): the backup cannot be
  // made, so the live file must keep its content and the offset, and the
  // next pass must not send anything again.
  CfgHashAdd("LogRotationSize", "0");
  const std::string sub = dir / "frozen";
  std::filesystem::create_directory(sub);
  WriteFile(sub + "/app.log", "line\n");
  P_LOGFILE_LIST n = AddFile(sub + "/app.log");
  SetImmutable(sub, true);
  EXPECT_EQ(Pass(), (std::vector<std::string>{Rec("line\n")}));
  EXPECT_EQ(Pass(), std::vector<std::string>{});
  SetImmutable(sub, false);
  EXPECT_EQ(ReadFile(sub + "/app.log"), "line\n");
  EXPECT_EQ(n->filesize, 5u);
  EXPECT_FALSE(std::filesystem::exists(sub + "/app.log._hlr_0"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sub), {}), 1) << "no temporary left";
}

TEST_F(TailTest, DanglingLinkAtBackupNameIsNeverWrittenThrough) {
  // The link moves up with its name; the rotation goes on.
  CfgHashAdd("LogRotationSize", "0");
  std::filesystem::create_symlink(dir / "created-through-link", dir / "app.log._hlr_0");
  WriteFile(dir / "app.log", "line\n");
  P_LOGFILE_LIST n = AddFile(dir / "app.log");
  Pass();
  EXPECT_FALSE(std::filesystem::exists(dir / "created-through-link"));
  EXPECT_EQ(std::filesystem::read_symlink(dir / "app.log._hlr_1"), dir / "created-through-link");
  EXPECT_EQ(ReadFile(dir / "app.log._hlr_0"), "line\n");
  EXPECT_EQ(ReadFile(dir / "app.log"), "");
  EXPECT_EQ(n->filesize, 0u);
}

// ---- turns, the hold of deleted files, and the agent's own figures

std::string urgent_path;
int sleeps_seen = 0;
// Each pause is a second on the test's clock; the third one appends a line
// to a quiet file.
unsigned int SleepASecondAppendingOnce(unsigned int s) {
  logtest::fixed_now += s;
  if (++sleeps_seen == 3) AppendFile(urgent_path, "urgent\n");
  return 0;
}

// A file of 40 000 short lines drains at its rate (200 a second over UDP); a
// line appended meanwhile to another file arrives within one pass period,
// not after the whole backlog.
TEST_F(TailTest, BacklogOfOneFileDoesNotHoldAnotherFilesLineBeyondAPass) {
  std::string big;
  for (int i = 0; i < 40000; ++i) big += "x\n";
  WriteFile(dir / "big.log", big);
  WriteFile(dir / "quiet.log", "");
  AddFile(dir / "big.log");
  AddFile(dir / "quiet.log");
  urgent_path = dir / "quiet.log";
  sleeps_seen = 0;
  veld_sleep = SleepASecondAppendingOnce;
  std::vector<std::string> got = Pass();
  ASSERT_EQ(got.size(), 40001u);
  size_t at = 0;
  while (at < got.size() && got[at].find(" VELDUnixLog: urgent\n") == std::string::npos) ++at;
  ASSERT_LT(at, got.size());
  // Written after the third burst; seen at the look 10 s after the pass
  // began, and served before the big file's next burst.
  EXPECT_LE(at, 200u * 11) << "the quiet file's line waited behind the backlog";
}

// While the collector is away, files rotated and then deleted stay held so
// their lines can still go.  Past LogHoldFiles the oldest is let go: its
// loss is counted and said once, naming the file; the live file never is.
TEST_F(TailTest, HeldDeletedFilesStopAtTheCapAndTheirLossIsCountedAndSaid) {
  CfgHashAdd("LogHoldFiles", "1");
  CfgHashAdd("RemoteService", "tcp");
  CfgHashAdd("RemotePort", "1");  // nobody listens: the collector is away
  LogInit();
  LOGFILE_STATS before{};
  LogFileGetStats(&before);
  const std::string live = dir / "app.log", old = dir / "app.log.1";
  WriteFile(live, "one\ntwo\nthree\n");
  AddFile(live);
  LogFilePass((dir / "positions").c_str());
  for (const char *next : {"four\n", "five\n"}) {
    std::filesystem::rename(live, old);
    WriteFile(live, next);
    LogFilePass((dir / "positions").c_str());  // the old file is held
    std::filesystem::remove(old);
    LogFilePass((dir / "positions").c_str());  // and now has no name left
  }
  LOGFILE_STATS after{};
  LogFileGetStats(&after);
  EXPECT_EQ(after.held_deleted_files, 1u);
  EXPECT_EQ(after.held_deleted_bytes, 5u);  // "four\n"
  EXPECT_EQ(after.records_dropped - before.records_dropped, 3u);
  const std::string said = "Let go of a deleted file of log file " + live +
                           " held for the collector (at most 1 files and 256 MiB are held): 14 "
                           "unsent bytes in 3 lines are lost";
  EXPECT_EQ(CountOf(DiagLog(), said), 1u) << DiagLog();

  CfgHashAdd("RemoteService", "udp");  // the collector is back
  CfgHashAdd("RemotePort", std::to_string(collector.port()).c_str());
  ASSERT_EQ(LogInit(), 1);
  EXPECT_EQ(Pass(), (std::vector<std::string>{Rec("four\n"), Rec("five\n")}));
}

// What the agent reports of itself matches what happened: records and
// bytes the collector took, the backlog and its age, the files, the
// reconnections and the records given up.
TEST_F(TailTest, OwnFiguresMatchWhatHappened) {
  veldtest::TcpCollector tcp;
  ASSERT_TRUE(tcp.Listen());
  CfgHashAdd("RemoteService", "tcp");
  CfgHashAdd("RemotePort", std::to_string(tcp.port()).c_str());
  ASSERT_EQ(LogInit(), 1);
  LOGFILE_STATS s0{}, s1{}, s2{};
  LogFileGetStats(&s0);
  WriteFile(dir / "a.log", "alpha\nbeta\n");
  WriteFile(dir / "b.log", std::string(5000, 'z') + "\n");  // two records
  AddFile(dir / "a.log");
  AddFile(dir / "b.log");
  AddFile(dir / "missing.log");
  LogFilePass((dir / "positions").c_str());
  // Over TCP the two records of the long line arrive as one text line.
  ASSERT_TRUE(veldtest::WaitUntil([&] { return tcp.Records().size() == 3; }, 5000));
  LogFileGetStats(&s1);
  uint64_t bytes = 0;
  for (const auto &st : tcp.Streams()) bytes += st.bytes.size();
  EXPECT_EQ(s1.lines_sent - s0.lines_sent, 4u);
  EXPECT_EQ(s1.bytes_sent - s0.bytes_sent, bytes);
  EXPECT_EQ(s1.files_tailed, 2u);
  EXPECT_EQ(s1.backlog_bytes, 0u);
  EXPECT_EQ(s1.oldest_unsent_seconds, 0u);

  tcp.Stop();  // away: the next lines wait in the file, a metric record is lost
  AppendFile(dir / "a.log", "gamma\n");
  LogFilePass((dir / "positions").c_str());
  EXPECT_EQ(SendLog("1700000000 VELDPerfMon: lost:1\n"), 0);
  logtest::fixed_now += 42;
  LogFileGetStats(&s2);
  EXPECT_EQ(s2.backlog_bytes, 6u);
  EXPECT_EQ(s2.oldest_unsent_seconds, 42u);
  EXPECT_EQ(s2.records_dropped - s1.records_dropped, 1u);
  EXPECT_EQ(s2.reconnects, s1.reconnects);

  ASSERT_TRUE(tcp.Listen());                                     // back on the same port
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // past the retry pause
  LogFilePass((dir / "positions").c_str());
  LogFileGetStats(&s2);
  EXPECT_EQ(s2.reconnects - s1.reconnects, 1u);
  EXPECT_EQ(s2.lines_sent - s0.lines_sent, 5u);
  EXPECT_EQ(s2.backlog_bytes, 0u);
  // The monitor reports the same figures.
  tcp.Stop();
  CfgHashAdd("RemoteService", "udp");
  CfgHashAdd("RemotePort", std::to_string(collector.port()).c_str());
  ASSERT_EQ(LogInit(), 1);
  LogFileGetStats(&s2);
  PerfMonAGENTProcess();
  const std::vector<std::string> metrics = collector.Drain();
  ASSERT_EQ(metrics.size(), 10u);
  EXPECT_EQ(metrics[0], std::to_string(logtest::fixed_now.load()) +
                            " VELDPerfMon: agent_lines_sent:" + std::to_string(s2.lines_sent) +
                            "\n");
  EXPECT_EQ(metrics[2].substr(metrics[2].find(' ')), " VELDPerfMon: agent_backlog_bytes:0\n");
}

// ---- the thread body

std::atomic<int> tailer_long_sleeps{0};
unsigned int ParkOnLongSleep(unsigned int s) {
  if (s == 1) return 0;
  tailer_long_sleeps++;
  for (;;) pause();  // the thread never returns; it is parked for good
}

TEST_F(TailTest, ThreadReadsPositionsOnceThenPassesAndSleepsTenSeconds) {
  WriteFile(dir / "app.log", "skip\nsend\n");
  AddFile(dir / "app.log");
  WriteFile(dir / "positions", (dir / "app.log") + "=5,77\n");
  veld_sleep = ParkOnLongSleep;
  THREAD t;
  ASSERT_EQ(ThreadCreate(&t, nullptr, LogFileThread, nullptr), 1);
  pthread_detach(t);
  for (int i = 0; i < 1000 && tailer_long_sleeps.load() == 0; ++i) usleep(10000);
  ASSERT_EQ(tailer_long_sleeps.load(), 1);
  EXPECT_EQ(collector.Drain(), (std::vector<std::string>{Rec("send\n")}));
  EXPECT_EQ(logtest::OffsetsOnly(ReadFile(dir / "positions")), (dir / "app.log") + "=10,77\n");
  EXPECT_EQ(
      CountOf(DiagLog(), "Processed our watchdog file " + (dir / "positions") + ", successfully."),
      1u);
}

}  // namespace
