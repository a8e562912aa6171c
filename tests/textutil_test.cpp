// File and text helpers: read_line over real files (including lines far past
// the first 4 KB), the bounded case-insensitive compare, percent-encoding and
// the existence check.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"
#include "veld-config-unix.h"

using veldtest::TempDir;
using veldtest::WriteFile;

namespace {

std::string ReadLine(const std::string &path, const char *key, unsigned len = 1026,
                     int *rc = nullptr) {
  std::vector<char> buf(len, '#');
  int r = read_line(path.c_str(), buf.data(), len, key);
  if (rc) *rc = r;
  return r ? std::string(buf.data()) : "<none>";
}

}  // namespace

// Separator runs count as one, the key is a case-insensitive prefix, and a
// null key gives the first non-empty line.
TEST(ReadLine, SplitsAndMatchesPrefix) {
  TempDir d;
  std::string f = d / "meminfo";
  WriteFile(f, "\r\n\nMemTotal:  100 kB\r\rMemFreeX: 1\nmemfree: 2\ncpu10 1 2\ncpu1 3 4");
  EXPECT_EQ(ReadLine(f, nullptr), "MemTotal:  100 kB");
  EXPECT_EQ(ReadLine(f, "MemFree"), "MemFreeX: 1");
  EXPECT_EQ(ReadLine(f, "MEMFREE:"), "memfree: 2");
  EXPECT_EQ(ReadLine(f, "cpu1"), "cpu10 1 2") << "a prefix match, as callers expect";
  EXPECT_EQ(ReadLine(f, "cpu1 "), "cpu1 3 4") << "last line without a newline";
  EXPECT_EQ(ReadLine(f, "Swap"), "<none>");
  EXPECT_EQ(ReadLine(f, ""), "MemTotal:  100 kB");
}

// The whole file is searched: a line after byte 4096, one straddling a
// 4096-byte boundary, and one at the end of a file over 64 KiB.
TEST(ReadLine, FindsLinesPastFirstBlock) {
  TempDir d;
  std::string f = d / "stat";
  std::string text = "intr " + std::string(5000, '1') + "\n";
  text += std::string(4096 - text.size() % 4096 - 3, 'y') + "\nbtime 1700000000\n";
  while (text.size() < 70 * 1024) text += "filler line " + std::to_string(text.size()) + "\n";
  text += "processes 4242\n";
  WriteFile(f, text);
  EXPECT_EQ(ReadLine(f, "btime"), "btime 1700000000");
  EXPECT_EQ(ReadLine(f, "processes"), "processes 4242");
  EXPECT_EQ(ReadLine(f, "intr").size(), 1025u) << "cut to len - 1 bytes";
}

// The copy is bounded by len and NUL-filled; a miss or a missing or empty
// file leaves the caller's buffer untouched.
TEST(ReadLine, BoundedCopyAndUntouchedOnMiss) {
  TempDir d;
  std::string f = d / "f";
  WriteFile(f, "abcdef\n");
  char buf[8];
  std::memset(buf, '#', sizeof buf);
  ASSERT_EQ(read_line(f.c_str(), buf, 4, nullptr), 1);
  EXPECT_EQ(std::string(buf, 4), std::string("abc\0", 4));
  std::memset(buf, '#', sizeof buf);
  ASSERT_EQ(read_line(f.c_str(), buf, 8, "ABC"), 1);
  EXPECT_EQ(std::string(buf, 8), std::string("abcdef\0\0", 8));

  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(read_line(f.c_str(), buf, 8, "zzz"), 0);
  EXPECT_EQ(read_line((d / "missing").c_str(), buf, 8, nullptr), 0);
  WriteFile(d / "empty", "");
  EXPECT_EQ(read_line((d / "empty").c_str(), buf, 8, nullptr), 0);
  WriteFile(d / "seps", "\n\r\n");
  EXPECT_EQ(read_line((d / "seps").c_str(), buf, 8, nullptr), 0);
  EXPECT_EQ(std::string(buf, 8), std::string(8, '#'));
}

// Shared state between calls would mix two files' lines under threads.
TEST(ReadLine, SafeFromSeveralThreads) {
  TempDir d;
  WriteFile(d / "a", std::string(9000, 'a') + "\nkey a\n");
  WriteFile(d / "b", "key b\n");
  std::vector<std::thread> ts;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t) {
    ts.emplace_back([&, t] {
      std::string path = d / (t % 2 ? "a" : "b");
      std::string want = t % 2 ? "key a" : "key b";
      for (int i = 0; i < 500; ++i)
        if (ReadLine(path, "key") != want) ++bad;
    });
  }
  for (auto &t : ts) t.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(Strincmp, BoundedCaseInsensitive) {
  EXPECT_EQ(veld_strincmp("WORD", "word", 4), 0);
  EXPECT_LT(veld_strincmp("wor", "word", 4), 0);
  EXPECT_EQ(veld_strincmp("ext4", "ext", 3), 0);
  EXPECT_EQ(veld_strincmp("abc", "xyz", 0), 0);
  EXPECT_EQ(veld_strincmp("XFS", "xfs", 3), 0);
  EXPECT_EQ(veld_strincmp("\xff", "a", 1), 0xff - 'a');
}

TEST(UrlEncodeTest, EscapesExactlyTheListedBytes) {
  unsigned char out[64];
  ASSERT_EQ(UrlEncode(reinterpret_cast<const unsigned char *>("a b/c~"), out), 1);
  EXPECT_STREQ(reinterpret_cast<char *>(out), "a%20b/c%7E");
  UrlEncode(reinterpret_cast<const unsigned char *>(",-._09AZaz\xa1\xff"), out);
  EXPECT_STREQ(reinterpret_cast<char *>(out), ",-._09AZaz\xa1\xff");
  UrlEncode(reinterpret_cast<const unsigned char *>("+:@[^`{\xa0\x01"), out);
  EXPECT_STREQ(reinterpret_cast<char *>(out), "%2B%3A%40%5B%5E%60%7B%A0%01");
  std::memset(out, 'x', sizeof out);
  UrlEncode(reinterpret_cast<const unsigned char *>(""), out);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(UrlEncode(reinterpret_cast<const unsigned char *>("a"), nullptr), 0);
}

TEST(FileExistsTest, AnyObjectButDanglingLinks) {
  TempDir d;
  EXPECT_EQ(FileExists(d.path().c_str()), 1);
  WriteFile(d / "f", "");
  EXPECT_EQ(FileExists((d / "f").c_str()), 1);
  EXPECT_EQ(FileExists((d / "g").c_str()), 0);
  ASSERT_EQ(symlink((d / "g").c_str(), (d / "dangling").c_str()), 0);
  EXPECT_EQ(FileExists((d / "dangling").c_str()), 0);
}
