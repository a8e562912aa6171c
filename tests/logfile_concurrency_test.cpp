// The scanner appends thousands of nodes while the tailer walks the list and
// the start-up reads the position file: every node must be seen complete,
// none twice, and every line sent once.  Built also under ThreadSanitizer,
// where any unordered access between the threads fails the run.
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "logfile_test_support.h"

namespace {

using logtest::ListedPaths;
using veldtest::WriteFile;

class ListConcurrencyTest : public logtest::LogCollectionTest {};

TEST_F(ListConcurrencyTest, ScannerAppendsWhileTailerWalks) {
  constexpr int kFiles = 3000;
  const std::string watched = dir / "watched";
  std::filesystem::create_directory(watched);
  const std::string positions = dir / "positions";
  logtest::AddFile(dir / "configured.log");
  WriteFile(dir / "configured.log", "configured\n");
  logtest::AddDirectory(watched);
  // Offsets saved by an earlier run for files the scanner may have found by
  // the time they are read.
  std::string saved;
  for (int i = 0; i < kFiles; i += 2) saved += watched + "/f" + std::to_string(i) + "=2,9\n";
  WriteFile(positions, saved);

  std::atomic<int> created{0};
  std::atomic<bool> scanner_done{false};
  std::thread maker([&] {
    for (int i = 0; i < kFiles; ++i) {
      WriteFile(watched + "/f" + std::to_string(i), "xx" + std::to_string(i) + "\n");
      created.store(i + 1, std::memory_order_release);
    }
  });
  std::thread scanner([&] {
    for (;;) {
      bool all = created.load(std::memory_order_acquire) == kFiles;
      LogDirectoryScanPass();
      if (all) break;
    }
    scanner_done = true;
  });
  // Start-up reads the position file while the scanner already appends.
  while (created.load() < kFiles / 2) LogFileReadWatchdogFile(positions.c_str());
  LogFileReadWatchdogFile(positions.c_str());

  std::thread tailer([&] {
    int passes = 0;
    while (!scanner_done.load() || passes < 2) {
      if (scanner_done.load()) ++passes;
      LogFilePass(positions.c_str());
    }
  });
  maker.join();
  scanner.join();
  tailer.join();

  std::vector<std::string> paths = ListedPaths();
  ASSERT_EQ(paths.size(), static_cast<size_t>(kFiles) + 1);
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), paths.size());
  EXPECT_EQ(paths[0], dir / "configured.log");

  // Each file's line arrives exactly once: whole ("xx<n>"), or without the
  // two bytes a saved offset skipped when the read found its node in time.
  std::vector<std::string> got = collector.Drain();
  std::vector<int> seen(kFiles, 0);
  int configured = 0;
  for (auto &r : got) {
    std::string line = r.substr(r.find(": ") + 2);
    if (line == "configured\n") {
      ++configured;
      continue;
    }
    if (line.rfind("xx", 0) == 0) line = line.substr(2);
    int n = std::stoi(line);
    ASSERT_TRUE(n >= 0 && n < kFiles) << r;
    seen[n]++;
  }
  EXPECT_EQ(configured, 1);
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ(seen[i], 1) << "file " << i;
  for (P_LOGFILE_LIST n = LogFileList.load(); n; n = n->next.load()) {
    struct stat st {};
    ASSERT_EQ(stat(n->log_file, &st), 0);
    EXPECT_EQ(n->filesize, static_cast<uint64_t>(st.st_size)) << n->log_file;
  }
  EXPECT_EQ(logtest::CountOf(veldtest::ReadFile(positions), "\n"), static_cast<size_t>(kFiles) + 1);
}

}  // namespace
