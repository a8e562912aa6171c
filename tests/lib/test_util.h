// Helpers shared by the test files: a fresh temporary directory per test and
// whole-file reads and writes.
#ifndef VELD_TEST_UTIL_H
#define VELD_TEST_UTIL_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace veldtest {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string &path);  // "" when missing
void WriteFile(const std::string &path, const std::string &data);
void AppendFile(const std::string &path, const std::string &data);

// `s` with every decimal digit replaced by '9', so a stamped text compares
// against one shape.
std::string Shape(const std::string &s);

// The diagnostic log text with the " [pid N]" field taken out of every
// entry, for tests that compare messages and not the process that wrote them.
std::string WithoutPids(const std::string &log);

// Runs argv (looked up in PATH) with stdin from /dev/null and stdout and
// stderr appended to out_path; its pid, or -1 when it could not start.
pid_t Spawn(const std::vector<std::string> &argv, const std::string &out_path);

// Polls `done` every 20 ms; false when it has not come true in `timeout_ms`.
bool WaitUntil(const std::function<bool()> &done, int timeout_ms);

// Path of a program built next to the tests (veldagentd, veldcollect).
std::string BuiltProgram(const std::string &name);

}  // namespace veldtest

#endif
