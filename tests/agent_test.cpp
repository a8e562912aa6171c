// The real binary's start-up: banner and usage, option handling, staying in
// the foreground with -d, and detaching without it.  Each scenario runs
// veldagentd with its /var/log in a temporary directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "agent_process.h"
#include "test_util.h"

using veldtest::AgentProcess;
using veldtest::BuiltProgram;
using veldtest::FindProcesses;
using veldtest::TempDir;
using veldtest::WriteFile;

namespace {

const char kUsage[] =
    "Usage: %s [-v] [ -c configuration file ]\n"
    "-c\t\tspecify configuration file to use (default: /etc/veldagentd.cfg)\n"
    "-v\t\tincrease verbosity and debugging\n";

std::string UsageFor(const std::string &argv0) {
  std::string u = kUsage;
  return u.replace(u.find("%s"), 2, argv0);
}

void WaitFor(const std::function<bool()> &cond, int ms) {
  for (int i = 0; i < ms / 20 && !cond(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::string Link(const std::string &path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

class AgentBinaryTest : public ::testing::Test {
 protected:
  std::string LogDir() {
    std::string d = dir_ / "varlog";
    mkdir(d.c_str(), 0755);
    return d;
  }
  TempDir dir_;
};

}  // namespace

// -h, -?, an unknown letter and -c without its argument all end in the usage
// text with status 0, after the banner, without reading or logging anything.
TEST_F(AgentBinaryTest, UsageExitsZeroWithoutStarting) {
  // The revision is 40 lower-case hexadecimal digits; the notice one line.
  const std::string banner_head = "VELD Security Correlation Agent Version 2.7.1 (rev ";
  auto banner_ok = [&](const std::string &out) {
    size_t nl = out.find('\n');
    if (out.compare(0, banner_head.size(), banner_head) != 0 || nl != banner_head.size() + 41)
      return false;
    std::string rev = out.substr(banner_head.size(), 40);
    if (rev.find_first_not_of("0123456789abcdef") != std::string::npos || out[nl - 1] != ')')
      return false;
    size_t nl2 = out.find('\n', nl + 1);
    return nl2 != std::string::npos && nl2 > nl + 1 && nl2 == out.size() - 1;
  };
  std::string bin = BuiltProgram("veldagentd");
  struct Case {
    std::vector<std::string> args;
    std::string getopt_complaint;
  } cases[] = {
      {{"-h"}, ""},
      {{"-?"}, ""},
      {{"-c", "a", "-h"}, ""},
      {{"-v", "-x"}, "invalid option -- 'x'\n"},
      {{"-c"}, "option requires an argument -- 'c'\n"},
  };
  for (const auto &c : cases) {
    AgentProcess agent;
    std::string logdir = LogDir();
    ASSERT_TRUE(agent.Start(c.args, logdir));
    EXPECT_EQ(agent.Wait(5000), 0) << c.args[0];
    EXPECT_TRUE(banner_ok(agent.Stdout())) << agent.Stdout();
    std::string err = agent.Stderr();
    if (!c.getopt_complaint.empty()) {
      EXPECT_EQ(err.find(bin + ": " + c.getopt_complaint), 0u) << err;
      err.erase(0, err.find('\n') + 1);
    }
    EXPECT_EQ(err, UsageFor(bin));
    EXPECT_EQ(agent.DiagLog(), "") << "usage must not log";
  }
}

// -d keeps the agent in the foreground; a missing configuration is reported
// on standard error without a line end, and logged with the reason, and the
// agent keeps running.  The last -c wins and is cut to 1023 bytes.
TEST_F(AgentBinaryTest, ForegroundWithMissingConfiguration) {
  std::string missing = dir_ / "missing.cfg";
  std::string longpath = "/" + std::string(1100, 'p');
  const struct {
    std::vector<std::string> args;
    std::string want, reason;
  } cases[] = {
      {{"-v", "-c", "/nowhere", "-d", "-c", missing, "-v"}, missing, "No such file or directory"},
      {{"-d", "-c", longpath}, longpath.substr(0, 1023), "File name too long"},
  };
  for (const auto &[args, want, reason] : cases) {
    AgentProcess agent;
    std::string logdir = LogDir();
    ASSERT_TRUE(agent.Start(args, logdir));
    std::string expect = "Failed to process our configuration file: " + want;
    WaitFor([&] { return agent.Stderr().size() >= expect.size(); }, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(agent.Running()) << "the agent must carry on with its defaults";
    EXPECT_EQ(agent.Stderr(), expect);
    EXPECT_NE(veldtest::WithoutPids(agent.DiagLog())
                  .find("VELDAgent [1]: Error reading our configuration file: " + want + ": " +
                        reason + "\n\n"),
              std::string::npos)
        << agent.DiagLog();
    agent.Kill(SIGTERM);
  }
}

// Without -d the command returns 1 at once; the detached child runs on in
// "/", with its standard streams on /dev/null, and reads its configuration.
TEST_F(AgentBinaryTest, DetachesFromTheStartingShell) {
  std::string cfg = dir_ / "detach-unique.cfg";
  WriteFile(cfg, "RemotePort=1\n");
  AgentProcess agent;
  std::string logdir = LogDir();
  ASSERT_TRUE(agent.Start({"-c", cfg}, logdir));
  EXPECT_EQ(agent.Wait(5000), 1);

  std::vector<pid_t> pids;
  WaitFor([&] { return !(pids = FindProcesses(cfg)).empty(); }, 3000);
  ASSERT_EQ(pids.size(), 1u);
  pid_t child = pids[0];
  WaitFor([&] { return agent.DiagLog().find("Successfully") != std::string::npos; }, 3000);
  for (int fd = 0; fd <= 2; ++fd)
    EXPECT_EQ(Link("/proc/" + std::to_string(child) + "/fd/" + std::to_string(fd)), "/dev/null");
  EXPECT_EQ(Link("/proc/" + std::to_string(child) + "/cwd"), "/");
  EXPECT_NE(
      veldtest::WithoutPids(agent.DiagLog())
          .find("VELDAgent [3]: Successfully processed our configuration file: " + cfg + "\n"),
      std::string::npos);
  EXPECT_EQ(agent.Stderr(), "");
  kill(child, SIGKILL);
}
