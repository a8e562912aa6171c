// Diagnostic log: the exact entry layout, re-creation after deletion, the
// complaint when the file cannot be opened, whole entries when several
// threads log long messages at once, the copy on standard error, and a
// repeating failure logged once and then counted.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"
#include "veld-agent.h"
#include "veld-config-unix.h"

using veldtest::ReadFile;
using veldtest::TempDir;

namespace {

time_t FixedClock(time_t *t) {
  // 2026-03-04 05:06:07 in the test's UTC zone.
  time_t v = 1772600767;
  if (t) *t = v;
  return v;
}

class DiagLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    std::snprintf(pLogFile, sizeof pLogFile, "%s", (dir_ / "veld.log").c_str());
  }
  void TearDown() override { veld_time = saved_clock_; }
  TempDir dir_;
  VeldClockFn saved_clock_ = veld_time;
};

}  // namespace

// One entry: date, colon, two blanks, service, priority, message, the
// process id, newline; a message ending in a newline keeps the process id on
// its line and leaves an empty line after it.
TEST_F(DiagLogTest, ExactLineLayout) {
  veld_time = FixedClock;
  const std::string pid = " [pid " + std::to_string(getpid()) + "]";
  EXPECT_EQ(Log(3, "Successfully processed our configuration file: %s", "/etc/x.cfg"), 1);
  EXPECT_EQ(Log(1, "Protocol not supported\n"), 1);
  EXPECT_EQ(Log(-7, "%d%%", 50), 1);
  errno = ENOENT;
  EXPECT_EQ(LogErrno(2, "open", "cannot read %s\n", "x"), 1);
  EXPECT_EQ(ReadFile(pLogFile),
            "2026-03-04 05:06:07:  VELDAgent [3]: Successfully processed our configuration file: "
            "/etc/x.cfg" +
                pid +
                "\n"
                "2026-03-04 05:06:07:  VELDAgent [1]: Protocol not supported" +
                pid +
                "\n\n"
                "2026-03-04 05:06:07:  VELDAgent [-7]: 50%" +
                pid +
                "\n"
                "2026-03-04 05:06:07:  VELDAgent [2]: cannot read x: open: No such file or "
                "directory" +
                pid + "\n\n");
}

// The file may be removed at any time; the next entry creates it again, with
// mode 0644 whatever the process mask was, and leaves the mask at 022.
TEST_F(DiagLogTest, RecreatedAfterDeletionWithMask022) {
  Log(2, "first");
  ASSERT_EQ(unlink(pLogFile), 0);
  umask(0);
  Log(2, "second");
  std::string text = ReadFile(pLogFile);
  EXPECT_EQ(text.find("first"), std::string::npos);
  EXPECT_NE(text.find("VELDAgent [2]: second [pid "), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(pLogFile, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  mode_t now = umask(0);
  umask(now);
  EXPECT_EQ(now, 022u);
}

// An unopenable path drops the entry, says so on standard error, returns 0.
// With the copy on standard error turned on, the entry itself follows there
// all the same, exactly as the file would have had it.
TEST_F(DiagLogTest, UnopenablePathReportsOnStderr) {
  veld_time = FixedClock;
  std::snprintf(pLogFile, sizeof pLogFile, "%s", (dir_ / "missing-dir/veld.log").c_str());
  const std::string complaint = "Failed to open log file: " + std::string(pLogFile) + "\n";
  testing::internal::CaptureStderr();
  EXPECT_EQ(Log(1, "lost"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), complaint);

  LogMirrorToStderr(true);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Log(1, "shown"), 0);
  LogMirrorToStderr(false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            complaint + "2026-03-04 05:06:07:  VELDAgent [1]: shown [pid " +
                std::to_string(getpid()) + "]\n");
}

// Four threads logging 100 KB messages: every entry arrives whole, none is
// interleaved with another.
TEST_F(DiagLogTest, ConcurrentLongEntriesStayWhole) {
  constexpr int kThreads = 4, kEntries = 50;
  constexpr size_t kLen = 100 * 1024;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string body(kLen, static_cast<char>('a' + t));
      for (int i = 0; i < kEntries; ++i) Log(3, "<%s>", body.c_str());
    });
  }
  for (auto &th : threads) th.join();

  std::istringstream in(ReadFile(pLogFile));
  std::string line;
  int count = 0;
  const std::string prefix = "9999-99-99 99:99:99:  VELDAgent [9]: <";
  while (std::getline(in, line)) {
    ++count;
    ASSERT_EQ(veldtest::Shape(line.substr(0, prefix.size())), prefix) << line.substr(0, 80);
    size_t open = line.find('<');
    size_t close = line.find('>');
    ASSERT_EQ(close - open, kLen + 1);
    char c = line[open + 1];
    ASSERT_EQ(line.find_first_not_of(c, open + 1), close) << "interleaved entry";
  }
  EXPECT_EQ(count, kThreads * kEntries);
}

// A failure repeated once per record is logged once; the repeats are counted
// and said when the failure changes, when it ends, and at the first repeat
// after kLogRepeatReport seconds.  Each entry is compared by its message.
TEST_F(DiagLogTest, RepeatedFailureIsLoggedOnceThenCounted) {
  static time_t now = 1000;
  veld_time = [](time_t *t) {
    if (t) *t = now;
    return now;
  };
  auto lines = [&] {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(pLogFile));
    for (std::string l; std::getline(in, l);) {
      size_t from = l.find("]: ");
      out.push_back(from == std::string::npos ? l : l.substr(0, l.find(" [pid ")).substr(from + 3));
    }
    return out;
  };
  LogRepeat r;
  for (int i = 0; i < 20; ++i) r.Report(2, "Failed to send message to host: %s:%d", "h", 514);
  EXPECT_EQ(lines(), std::vector<std::string>{"Failed to send message to host: h:514"});
  r.Report(2, "could not resolve address[%s]\n", "h");  // a different failure
  r.Report(2, "could not resolve address[%s]\n", "h");
  now += kLogRepeatReport - 1;
  r.Report(2, "could not resolve address[%s]\n", "h");
  now += 1;
  r.Report(2, "could not resolve address[%s]\n", "h");  // the report is due
  r.Report(2, "could not resolve address[%s]\n", "h");
  r.Clear();
  r.Clear();
  r.Report(2, "could not resolve address[%s]\n", "h");  // after a success: in full
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "Failed to send message to host: h:514",
                         "Failed to send message to host: h:514 repeated 19 times",
                         "could not resolve address[h]",
                         "",
                         "could not resolve address[h] repeated 3 times",
                         "could not resolve address[h] repeated 1 times",
                         "could not resolve address[h]",
                         "",
                     }));
}
