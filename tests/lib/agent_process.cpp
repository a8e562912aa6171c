#include "agent_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "test_util.h"

namespace veldtest {

AgentProcess::~AgentProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int st;
    waitpid(pid_, &st, 0);
  }
}

bool AgentProcess::Start(const std::vector<std::string> &args, const std::string &logdir,
                         const std::string &program) {
  logdir_ = logdir;
  out_path_ = logdir + ".stdout";
  err_path_ = logdir + ".stderr";
  std::string bin = program.empty() ? BuiltProgram("veldagentd") : program;

  std::vector<std::string> argv = {
      "unshare", "-m", "sh", "-c", "mount --bind \"$0\" /var/log && exec \"$@\"", logdir, bin};
  argv.insert(argv.end(), args.begin(), args.end());

  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char *> cargv;
    for (auto &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    if (in_child != nullptr) in_child();
    execvp(cargv[0], cargv.data());
    _exit(127);
  }
  return true;
}

int AgentProcess::Wait(int timeout_ms) {
  if (pid_ <= 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int st;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(st) ? WEXITSTATUS(st) : -2;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool AgentProcess::Running() {
  if (pid_ <= 0) return false;
  int st;
  if (waitpid(pid_, &st, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void AgentProcess::Kill(int sig) {
  if (pid_ <= 0) return;
  kill(pid_, sig);
  int st;
  waitpid(pid_, &st, 0);
  pid_ = -1;
}

std::string AgentProcess::Stdout() const { return ReadFile(out_path_); }
std::string AgentProcess::Stderr() const { return ReadFile(err_path_); }
std::string AgentProcess::DiagLog() const { return ReadFile(logdir_ + "/veldagentd.log"); }

std::vector<pid_t> FindProcesses(const std::string &needle) {
  std::vector<pid_t> found;
  DIR *d = opendir("/proc");
  if (!d) return found;
  while (struct dirent *e = readdir(d)) {
    char *end;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    std::string cmd = ReadFile("/proc/" + std::string(e->d_name) + "/cmdline");
    for (auto &c : cmd)
      if (c == '\0') c = ' ';
    if (cmd.find(needle) != std::string::npos) found.push_back(static_cast<pid_t>(pid));
  }
  closedir(d);
  return found;
}

}  // namespace veldtest
