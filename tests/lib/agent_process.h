// Runs the real veldagentd binary for a test.  The agent's diagnostic log
// path is fixed at /var/log/veldagentd.log, so the agent runs in a private
// mount namespace whose /var/log is the test's own directory: no test ever
// writes to the host's /var/log.  Standard output and error are captured.
#ifndef VELD_AGENT_PROCESS_H
#define VELD_AGENT_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace veldtest {

class AgentProcess {
 public:
  AgentProcess() = default;
  ~AgentProcess();  // kills and reaps the agent if it still runs
  AgentProcess(const AgentProcess &) = delete;
  AgentProcess &operator=(const AgentProcess &) = delete;

  // Starts `program` (default: the built veldagentd) with `args`; its
  // /var/log is `logdir`, its output goes to files in `logdir`/.. .
  bool Start(const std::vector<std::string> &args, const std::string &logdir,
             const std::string &program = "");
  // Exit status (as from waitpid's WEXITSTATUS), or -1 if still running after
  // timeout_ms, or -2 when ended by a signal.
  int Wait(int timeout_ms);
  bool Running();
  void Kill(int sig);
  pid_t pid() const { return pid_; }
  std::string Stdout() const;
  std::string Stderr() const;
  // The diagnostic log the agent wrote.
  std::string DiagLog() const;
  // Runs in the new process just before the agent's command replaces it
  // (to narrow what the agent may do); null for nothing.
  void (*in_child)() = nullptr;

 private:
  pid_t pid_ = -1;
  std::string out_path_, err_path_, logdir_;
};

// Pids of live processes whose command line contains `needle`.
std::vector<pid_t> FindProcesses(const std::string &needle);

}  // namespace veldtest

#endif
