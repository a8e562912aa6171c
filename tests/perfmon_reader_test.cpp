// The line reader every sampler reads its kernel files through: whatever
// the buffer size, it must yield the same lines as splitting the whole file
// (ends at '\n' or '\r', empty lines skipped, over-long lines cut to their
// head with the rest dropped), and it must find files only under the kernel
// root.
#include <random>
#include <string>
#include <vector>

#include "perfmon_fixture.h"

namespace {

using perfmontest::KernelTree;

// The lines the reader must yield for `data`.
std::vector<std::string> Reference(const std::string &data, size_t maxline) {
  std::vector<std::string> out;
  std::string cur;
  auto flush = [&] {
    if (!cur.empty()) out.push_back(cur.substr(0, maxline));
    cur.clear();
  };
  for (char c : data) {
    if (c == '\n' || c == '\r')
      flush();
    else
      cur += c;
  }
  flush();
  return out;
}

std::vector<std::string> ReadAll(const char *path, size_t cap, size_t maxline) {
  std::vector<char> buf(cap);
  PerfMonLineReader r(buf.data(), cap, maxline);
  std::vector<std::string> out;
  if (!r.Open(path)) return out;
  std::string_view line;
  while (r.Next(&line)) out.emplace_back(line);
  return out;
}

// Hand-picked boundaries: a line exactly as long as the limit, one byte
// longer, one spanning many buffer fills, CR LF ends, blank runs, and a last
// line without its end.
TEST(PerfMonLineReader, BoundaryLinesMatchWholeFileSplit) {
  KernelTree tree;
  std::string data =
      "12345678\n123456789\r\n\n\n" + std::string(100, 'x') + "\nshort\r\rtail-no-end";
  tree.Write("/proc/x", data);
  std::vector<std::string> want = {"12345678", "12345678", "xxxxxxxx", "short", "tail-no-"};
  EXPECT_EQ(ReadAll("/proc/x", 16, 8), want);
  EXPECT_EQ(ReadAll("/proc/x", 9, 8), want);
  EXPECT_EQ(ReadAll("/proc/x", 4096, 8), want);
}

// Random files against the whole-file split, across buffer sizes down to
// one byte more than the line limit.
TEST(PerfMonLineReader, RandomFilesMatchWholeFileSplit) {
  KernelTree tree;
  std::mt19937 rng(20261207);
  const char alphabet[] = "ab \t\n\r";
  for (int round = 0; round < 200; ++round) {
    std::string data;
    size_t len = rng() % 3000;
    for (size_t k = 0; k < len; ++k) data += alphabet[rng() % 6];
    tree.Write("/proc/x", data);
    size_t maxline = 1 + rng() % 64;
    size_t cap = maxline + 1 + rng() % 100;
    ASSERT_EQ(ReadAll("/proc/x", cap, maxline), Reference(data, maxline))
        << "round " << round << " cap " << cap << " maxline " << maxline;
  }
}

// Files are looked up under the kernel root only; a missing or empty file
// yields no line, and a path that would not fit is refused.
TEST(PerfMonLineReader, FilesOnlyUnderKernelRoot) {
  KernelTree tree;
  tree.Write("/proc/empty", "");
  EXPECT_TRUE(ReadAll("/proc/empty", 64, 32).empty());
  char buf[64];
  PerfMonLineReader r(buf, sizeof buf, 32);
  std::string_view line;
  EXPECT_FALSE(r.Open("/proc/missing"));
  EXPECT_FALSE(r.Next(&line));
  EXPECT_FALSE(r.Open("/proc/self/stat"));  // the host's own /proc is not under the root
  std::string deep(1100, 'd');
  EXPECT_FALSE(r.Open(("/" + deep).c_str()));

  tree.Write("/proc/a", "one\ntwo\n");
  tree.Write("/proc/b", "three\n");
  ASSERT_TRUE(r.Open("/proc/a"));
  ASSERT_TRUE(r.Next(&line));
  EXPECT_EQ(line, "one");
  ASSERT_TRUE(r.Open("/proc/b"));  // reopening forgets the rest of the first file
  ASSERT_TRUE(r.Next(&line));
  EXPECT_EQ(line, "three");
  EXPECT_FALSE(r.Next(&line));
}

// Numbers: digits after blanks, saturating; no digit is no number.
TEST(PerfMonLineReader, NumbersParseDigitsOnly) {
  unsigned long long v = 7;
  size_t used = 0;
  EXPECT_TRUE(perfmon::ParseU64("  \t42 kB", &v, &used));
  EXPECT_EQ(v, 42u);
  EXPECT_EQ(used, 5u);
  EXPECT_TRUE(perfmon::ParseU64("99999999999999999999999", &v));
  EXPECT_EQ(v, ~0ULL);
  EXPECT_FALSE(perfmon::ParseU64("-5", &v));
  EXPECT_FALSE(perfmon::ParseU64("   ", &v));
}

}  // namespace
