#include "test_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

extern char **environ;

namespace veldtest {

TempDir::TempDir() {
  char tmpl[] = "/tmp/veldtest.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

void AppendFile(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << data;
}

std::string Shape(const std::string &s) {
  std::string out = s;
  for (char &c : out)
    if (c >= '0' && c <= '9') c = '9';
  return out;
}

std::string WithoutPids(const std::string &log) {
  // By hand: g++ 12 warns inside <regex> under the sanitizers.
  static constexpr std::string_view kField = " [pid ";
  std::string out;
  out.reserve(log.size());
  size_t from = 0;
  for (size_t at = log.find(kField); at != std::string::npos; at = log.find(kField, at + 1)) {
    size_t end = at + kField.size();
    while (end < log.size() && log[end] >= '0' && log[end] <= '9') ++end;
    if (end == at + kField.size() || end + 1 >= log.size() || log[end] != ']' ||
        log[end + 1] != '\n')
      continue;
    out.append(log, from, at - from);
    from = end + 1;
  }
  out.append(log, from, std::string::npos);
  return out;
}

pid_t Spawn(const std::vector<std::string> &argv, const std::string &out_path) {
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

bool WaitUntil(const std::function<bool()> &done, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string BuiltProgram(const std::string &name) {
  return std::string(VELD_BUILD_DIR) + "/bin/" + name;
}

}  // namespace veldtest
