// The source lists and the position file: appends keep list order without
// walking, offsets survive a write and a read exactly, and a failed write
// never costs the offsets saved before it.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "logfile_test_support.h"
#include "veld-owners.h"

namespace {

using logtest::AddFile;
using logtest::ListedPaths;
using veldtest::AppendFile;
using veldtest::ReadFile;
using veldtest::WriteFile;

class PositionFileTest : public logtest::LogCollectionTest {
 protected:
  std::string pos() const { return dir / "positions"; }
};

// ---- lists

TEST_F(PositionFileTest, AppendsKeepOrderAndLinkBehindTheTail) {
  P_LOGFILE_LIST a = AddFile("/a");
  P_LOGFILE_LIST b = AddFile("/b");
  // Appending through a node other than the head still lands at the tail.
  P_LOGFILE_LIST c = LogFileNew(strdup("/c"));
  EXPECT_EQ(LogFileAdd(b, c), 1);
  P_LOGFILE_LIST d = LogFileNew(strdup("/d"));
  EXPECT_EQ(LogFileAdd(a, d), 1);
  EXPECT_EQ(ListedPaths(), (std::vector<std::string>{"/a", "/b", "/c", "/d"}));
  EXPECT_EQ(c->next.load(), d);
  EXPECT_EQ(d->filesize, 0u);
  EXPECT_EQ(d->timestamp, 0u);
  EXPECT_EQ(d->next.load(), nullptr);
  EXPECT_EQ(LogFileAdd(nullptr, d), 0);
}

TEST_F(PositionFileTest, AppendingAChainKeepsItsNodes) {
  P_LOGFILE_LIST a = AddFile("/a");
  // A node that already carries a follower is linked with it; the next
  // append goes behind the follower, not between the two.
  P_LOGFILE_LIST x = LogFileNew(strdup("/x"));
  P_LOGFILE_LIST y = LogFileNew(strdup("/y"));
  x->next.store(y);
  ASSERT_EQ(LogFileAdd(a, x), 1);
  ASSERT_EQ(LogFileAdd(a, LogFileNew(strdup("/z"))), 1);
  EXPECT_EQ(ListedPaths(), (std::vector<std::string>{"/a", "/x", "/y", "/z"}));
}

TEST_F(PositionFileTest, DirectoryListAppendsInOrder) {
  logtest::AddDirectory("/d1");
  logtest::AddDirectory("/d2");
  P_LOGDIR_LIST third = LogDirectoryNew(strdup("/d3"));
  ASSERT_EQ(LogDirectoryAdd(LogDirectoryList.load(), third), 1);
  std::vector<std::string> got;
  for (P_LOGDIR_LIST d = LogDirectoryList.load(); d; d = d->next.load()) got.push_back(d->log_dir);
  EXPECT_EQ(got, (std::vector<std::string>{"/d1", "/d2", "/d3"}));
  EXPECT_EQ(LogDirectoryAdd(nullptr, third), 0);
}

// ---- round trip

TEST_F(PositionFileTest, RoundTripKeepsSixtyFourBitOffsetsAndTimestamps) {
  P_LOGFILE_LIST a = AddFile("/var/log/messages");
  P_LOGFILE_LIST b = AddFile("/var/log/app");
  P_LOGFILE_LIST c = AddFile("/var/log/none");
  a->filesize = 812;
  b->filesize = 18446744073709551615ull;
  b->timestamp = 4294967296ull;
  ASSERT_EQ(LogFileWriteWatchdogFile(pos().c_str()), 1);
  EXPECT_EQ(ReadFile(pos()),
            "/var/log/messages=812,0\n"
            "/var/log/app=18446744073709551615,4294967296\n"
            "/var/log/none=0,0\n");
  struct stat st;
  ASSERT_EQ(stat(pos().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);  // digests of root's logs: root's alone

  a->filesize = b->filesize = b->timestamp = 0;
  c->filesize = 99;
  ASSERT_EQ(LogFileReadWatchdogFile(pos().c_str()), 1);
  EXPECT_EQ(a->filesize, 812u);
  EXPECT_EQ(b->filesize, 18446744073709551615ull);
  EXPECT_EQ(b->timestamp, 4294967296ull);
  EXPECT_EQ(c->filesize, 0u);
}

TEST_F(PositionFileTest, EmptyListWritesEmptyFile) {
  WriteFile(pos(), "/old=1,1\n");
  ASSERT_EQ(LogFileWriteWatchdogFile(pos().c_str()), 1);
  EXPECT_EQ(ReadFile(pos()), "");
}

// ---- reading

// File names on Linux are case-sensitive: /var/log/Pair.log and
// /var/log/pair.log are two files, and neither may take the other's offset.
TEST_F(PositionFileTest, ReadMatchesPathsExactlyAndOnlyTheFirstNode) {
  P_LOGFILE_LIST first = AddFile("/var/log/app");
  P_LOGFILE_LIST twin = AddFile("/var/log/app");
  P_LOGFILE_LIST upper = AddFile("/var/log/Other");
  P_LOGFILE_LIST lower = AddFile("/var/log/other");
  WriteFile(pos(),
            "/VAR/LOG/APP=10,1\n"
            "/var/log/app=20,2\n"
            "/var/log/app=25,3\n"
            "/var/log/other=30,3\n"
            "/var/log/gone=40,4\n");
  ASSERT_EQ(LogFileReadWatchdogFile(pos().c_str()), 1);
  EXPECT_EQ(first->filesize, 25u);  // both lines go to the first node; the later wins
  EXPECT_EQ(first->timestamp, 3u);
  EXPECT_EQ(twin->filesize, 0u);
  EXPECT_EQ(upper->filesize, 0u);
  EXPECT_EQ(lower->filesize, 30u);
  EXPECT_EQ(lower->timestamp, 3u);
}

TEST_F(PositionFileTest, ReadTrimsFieldsAndTakesTheBaseFromThePrefix) {
  P_LOGFILE_LIST hex = AddFile("/h");
  P_LOGFILE_LIST oct = AddFile("/o");
  P_LOGFILE_LIST junk = AddFile("/j");
  P_LOGFILE_LIST quoted = AddFile("/q w");
  junk->filesize = 5;
  WriteFile(pos(),
            " /h = 0x10 , 0X1f \n"
            "/o=010,7\r\n"
            "/j=abc,\n"
            "\"/q w\"='12',\"9\"\n");
  ASSERT_EQ(LogFileReadWatchdogFile(pos().c_str()), 1);
  EXPECT_EQ(hex->filesize, 16u);
  EXPECT_EQ(hex->timestamp, 31u);
  EXPECT_EQ(oct->filesize, 8u);
  EXPECT_EQ(oct->timestamp, 7u);
  EXPECT_EQ(junk->filesize, 0u);
  EXPECT_EQ(quoted->filesize, 12u);
  EXPECT_EQ(quoted->timestamp, 9u);
}

// A line is read whole, whatever its length, and its path is everything
// before the last "=": a configured path holding "=", or one longer than
// any buffer, keeps its offset across a restart, and a long junk line is
// never read as pieces that look like entries.
TEST_F(PositionFileTest, ReadSkipsMalformedLinesAndSplitsAtTheLastEquals) {
  P_LOGFILE_LIST a = AddFile("/a");
  P_LOGFILE_LIST eq = AddFile("/x=y");
  const std::string deep = "/" + std::string(3000, 'd') + "/app.log";
  P_LOGFILE_LIST longer = AddFile(deep);
  a->filesize = 3;
  WriteFile(pos(),
            "/a 77,1\n"  // no "="
            "/a=77\n"    // no ","
            "/x=y=5,6\n" +
                deep + "=7,8\n" + std::string(2047, 'j') + "/a=99,9\n");
  ASSERT_EQ(LogFileReadWatchdogFile(pos().c_str()), 1);
  EXPECT_EQ(a->filesize, 3u);
  EXPECT_EQ(eq->filesize, 5u);
  EXPECT_EQ(eq->timestamp, 6u);
  EXPECT_EQ(longer->filesize, 7u);
  ASSERT_EQ(LogFileWriteWatchdogFile(pos().c_str()), 1);
  eq->filesize = longer->filesize = 0;
  ASSERT_EQ(LogFileReadWatchdogFile(pos().c_str()), 1);
  EXPECT_EQ(eq->filesize, 5u);
  EXPECT_EQ(longer->filesize, 7u);
}

TEST_F(PositionFileTest, MissingFileCountsAsReadAndNullPathDoesNot) {
  P_LOGFILE_LIST a = AddFile("/a");
  a->filesize = 4;
  EXPECT_EQ(LogFileReadWatchdogFile((dir / "absent").c_str()), 1);
  EXPECT_EQ(a->filesize, 4u);
  EXPECT_EQ(LogFileReadWatchdogFile(nullptr), 0);
  EXPECT_EQ(LogFileWriteWatchdogFile(nullptr), 0);
}

TEST_F(PositionFileTest, LoadPositionsLogsTheOutcome) {
  EXPECT_EQ(LogFileLoadPositions(pos().c_str()), 1);
  EXPECT_EQ(LogFileLoadPositions(nullptr), 0);
  std::string log = DiagLog();
  EXPECT_NE(log.find("VELDAgent [3]: Processed our watchdog file " + pos() + ", successfully."),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("VELDAgent [1]: Failed to read our watchdog file"), std::string::npos) << log;
}

// ---- a write that fails never costs the saved offsets

// Files beyond this size cannot be written: a full disk as the writer sees it.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old_);
    rlimit r = old_;
    r.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &r);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old_); }

 private:
  rlimit old_{};
};

std::vector<std::string> DirectoryNames(const std::string &d) {
  std::vector<std::string> out;
  for (auto &e : std::filesystem::directory_iterator(d))
    if (e.path().filename() != "agent.log") out.push_back(e.path().filename());
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(PositionFileTest, FullDiskDuringWriteLeavesOldFileAndNoTemporary) {
  const std::string old = "/var/log/app=1234,5\n";
  WriteFile(pos(), old);
  for (int i = 0; i < 200; ++i) AddFile("/var/log/file-with-a-long-name-" + std::to_string(i));
  {
    FileSizeLimit limit(512);
    EXPECT_EQ(LogFileWriteWatchdogFile(pos().c_str()), 0);
  }
  EXPECT_EQ(ReadFile(pos()), old);
  EXPECT_EQ(DirectoryNames(dir.path()), (std::vector<std::string>{"positions"}));
}

TEST_F(PositionFileTest, FailedReplaceLeavesTargetAndNoTemporary) {
  // A directory in the way cannot be replaced by a file.
  std::filesystem::create_directory(pos());
  WriteFile(pos() + "/keep", "x");
  AddFile("/a");
  EXPECT_EQ(LogFileWriteWatchdogFile(pos().c_str()), 0);
  EXPECT_EQ(ReadFile(pos() + "/keep"), "x");
  std::vector<std::string> names = DirectoryNames(dir.path());
  EXPECT_EQ(names, (std::vector<std::string>{"positions"}));
}

TEST_F(PositionFileTest, UncreatableFileFailsAndPassReportsIt) {
  const std::string bad = dir / "no-such-dir/positions";
  EXPECT_EQ(LogFileWriteWatchdogFile(bad.c_str()), 0);
  LogFilePass(bad.c_str());
  EXPECT_NE(
      DiagLog().find("VELDAgent [2]: Failed to write our watchdog status to " + bad + ", ignoring"),
      std::string::npos);
}

TEST_F(PositionFileTest, WriteReplacesTheFileNotItsContentInPlace) {
  // A reader holding the old file open keeps seeing whole old content: the
  // new file arrives by rename, never by rewriting the old one.
  WriteFile(pos(), "/a=1,0\n");
  FILE *held = std::fopen(pos().c_str(), "r");
  ASSERT_NE(held, nullptr);
  AddFile("/a")->filesize = 2;
  ASSERT_EQ(LogFileWriteWatchdogFile(pos().c_str()), 1);
  char buf[64] = {};
  ASSERT_NE(std::fgets(buf, sizeof buf, held), nullptr);
  std::fclose(held);
  EXPECT_STREQ(buf, "/a=1,0\n");
  EXPECT_EQ(ReadFile(pos()), "/a=2,0\n");
}

// An idle pass leaves the position file alone (no write, no flush, no
// rename), but a changed offset, or a file that was deleted or edited behind
// our back, is written again.  The old file is held open so that its inode
// number cannot be reused by a new file and fool the comparison.
TEST_F(PositionFileTest, OnlyChangedOrDisturbedPositionsAreWrittenAgain) {
  auto same_file = [&](int held) {
    struct stat a {
    }, b{};
    return fstat(held, &a) == 0 && stat(pos().c_str(), &b) == 0 && a.st_ino == b.st_ino;
  };
  P_LOGFILE_LIST node = AddFile("/a");
  node->filesize = 1;
  ASSERT_EQ(LogFileWriteWatchdogFile(pos().c_str()), 1);
  veld::UniqueFd held(open(pos().c_str(), O_RDONLY));
  ASSERT_TRUE(held.ok());

  ASSERT_EQ(LogFileWriteWatchdogFile(pos().c_str()), 1);
  EXPECT_TRUE(same_file(held.get())) << "an unchanged list was written again";

  node->filesize = 2;
  ASSERT_EQ(LogFileWriteWatchdogFile(pos().c_str()), 1);
  EXPECT_FALSE(same_file(held.get()));
  EXPECT_EQ(ReadFile(pos()), "/a=2,0\n");

  WriteFile(pos(), "/a=9,0\n");  // edited in place by hand
  ASSERT_EQ(LogFileWriteWatchdogFile(pos().c_str()), 1);
  EXPECT_EQ(ReadFile(pos()), "/a=2,0\n");

  ASSERT_EQ(unlink(pos().c_str()), 0);
  ASSERT_EQ(LogFileWriteWatchdogFile(pos().c_str()), 1);
  EXPECT_EQ(ReadFile(pos()), "/a=2,0\n");
}

// ---- what a line says of the files behind it

// A position line holds no log bytes, only digests, and it says which file
// the offset belongs to: a start reads on from the offset when the file is
// the same one, and from its start when another file has taken its place
// (here, one that reused the freed inode number).
TEST_F(PositionFileTest, SavedIdentityHoldsNoLogBytesAndTellsAReplacedFile) {
  const std::string path = dir / "app.log";
  WriteFile(path, "secret-1\nsecret-2\n");
  P_LOGFILE_LIST n = AddFile(path);
  LogFilePass(pos().c_str());
  collector.Drain();
  const std::string saved = ReadFile(pos());
  EXPECT_EQ(saved.find("secret"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("736563726574"), std::string::npos) << "the bytes in hexadecimal: " << saved;

  AppendFile(path, "more\n");  // the same file grows while the agent is stopped
  logtest::FreshLists();
  n = AddFile(path);
  ASSERT_EQ(LogFileReadWatchdogFile(pos().c_str()), 1);
  EXPECT_EQ(n->filesize, 18u);
  LogFilePass(pos().c_str());
  EXPECT_EQ(collector.Drain(), (std::vector<std::string>{Rec("more\n")}));

  // Deleted and made anew, beginning with the very same lines: only the
  // birth tells the files apart (and ext4 hands the inode number out again).
  ASSERT_EQ(unlink(path.c_str()), 0);
  WriteFile(path, "secret-1\nsecret-2\nmore\nfresh\n");
  logtest::FreshLists();
  AddFile(path);
  ASSERT_EQ(LogFileReadWatchdogFile(pos().c_str()), 1);
  LogFilePass(pos().c_str());
  EXPECT_EQ(collector.Drain(), (std::vector<std::string>{Rec("secret-1\n"), Rec("secret-2\n"),
                                                         Rec("more\n"), Rec("fresh\n")}));
}

// Saved file fields that do not parse leave the node without a saved
// identity, as a line of an older agent would: the offset still counts, and
// no made-up identity sends the file again from its start.
TEST_F(PositionFileTest, MalformedFileFieldsKeepTheOffsetButNoIdentity) {
  const std::string path = dir / "app.log";
  WriteFile(path, "012345\nnext\n");
  for (const char *fields : {
           "1:x:5.1:0:7:7:-:-",                        // inode not a number
           "99999999999999999999999:2:5.1:0:7:7:-:-",  // device beyond 64 bits
           "1:2:5.1000000000:0:7:7:-:-",               // nanoseconds of a birth
           "1:2:5.1:4294967296:7:7:-:-",               // owner beyond 32 bits
           "1:2:5.1:0:7:7:3.abc:-",                    // digest too short
           "1:2:5.1:0:7:7:33.0123456789abcdef:-",      // more bytes than are kept
           "1:2:5.1:0:7:7:-",                          // a field missing
           "1,2,abc",                                  // older form, odd hex
       }) {
    SCOPED_TRACE(fields);
    logtest::FreshLists();
    AddFile(path);
    WriteFile(pos(), path + "=7,1," + fields + "\n");
    ASSERT_EQ(LogFileReadWatchdogFile(pos().c_str()), 1);
    LogFilePass(pos().c_str());
    EXPECT_EQ(collector.Drain(), (std::vector<std::string>{Rec("next\n")}));
  }
}

}  // namespace
