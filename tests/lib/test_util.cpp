#include "test_util.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

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
  static const std::regex pid(R"( \[pid [0-9]+\](\n*\n))");
  return std::regex_replace(log, pid, "$1");
}

std::string BuiltProgram(const std::string &name) {
  return std::string(VELD_BUILD_DIR) + "/bin/" + name;
}

}  // namespace veldtest
