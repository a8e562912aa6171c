// The real binary's start-up: banner and usage, option handling and exit
// statuses, the configuration check, staying in the foreground with -d, and
// detaching without it.  Each scenario runs
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
    "-v\t\tincrease verbosity and debugging\n"
    "-d\t\tstay in the foreground and copy every diagnostic entry to standard error\n"
    "-t\t\tcheck the configuration file, start nothing, and exit 0 when it is sound\n";

std::string UsageFor(const std::string &argv0) {
  std::string u = kUsage;
  return u.replace(u.find("%s"), 2, argv0);
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

// -h, -?, --help and -V end with status 0 and an unknown option or -c
// without its argument with status 2, all after the banner, the first with
// the usage text and the last with the complaint and the usage text, and
// none reads or logs anything.
TEST_F(AgentBinaryTest, UsageVersionAndBadOptionsExitWithoutStarting) {
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
    int status;
    bool usage;
    std::string getopt_complaint;
  } cases[] = {
      {{"-h"}, 0, true, ""},
      {{"-?"}, 0, true, ""},
      {{"--help"}, 0, true, ""},
      {{"-c", "a", "-h"}, 0, true, ""},
      {{"-V"}, 0, false, ""},
      {{"--version", "-x"}, 0, false, ""},
      {{"-v", "-x"}, 2, true, "invalid option -- 'x'\n"},
      {{"-c"}, 2, true, "option requires an argument -- 'c'\n"},
      {{"-t", "--bogus"}, 2, true, "unrecognized option '--bogus'\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args[0]);
    AgentProcess agent;
    std::string logdir = LogDir();
    ASSERT_TRUE(agent.Start(c.args, logdir));
    EXPECT_EQ(agent.Wait(5000), c.status);
    EXPECT_TRUE(banner_ok(agent.Stdout())) << agent.Stdout();
    std::string err = agent.Stderr();
    if (!c.getopt_complaint.empty()) {
      EXPECT_EQ(err.find(bin + ": " + c.getopt_complaint), 0u) << err;
      err.erase(0, err.find('\n') + 1);
    }
    EXPECT_EQ(err, c.usage ? UsageFor(bin) : "");
    EXPECT_EQ(agent.DiagLog(), "") << "no option that ends the command may log";
  }
}

// -t judges the file and starts nothing: status 0 for a sound file, 1 for a
// file with a problem (each named with its line) or one that cannot be read.
TEST_F(AgentBinaryTest, CheckOptionExitsByTheConfigurationAndStartsNothing) {
  const std::string good = dir_ / "good.cfg", bad = dir_ / "bad.cfg";
  WriteFile(good, "RemotePort = 5514\nRemoteService = TCP-SSL\n");
  WriteFile(bad, "RemotePort = 5514\nRemote_Port = 5514\nRemotePort = abc\n");
  const struct {
    std::string cfg;
    int status;
    std::vector<std::string> says;
  } cases[] = {
      {good, 0, {good + ":2: note: RemoteService", good + ": configuration is sound\n"}},
      {bad,
       1,
       {bad + ":2: unknown key", bad + ":3: RemotePort is set again (first on line 1)",
        bad + ":3: RemotePort \"abc\"", "3 problems found\n"}},
      {dir_ / "absent.cfg", 1, {"absent.cfg: cannot be read (No such file or directory)\n"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.cfg);
    AgentProcess agent;
    std::string logdir = LogDir();
    ASSERT_TRUE(agent.Start({"-c", c.cfg, "-t"}, logdir));
    EXPECT_EQ(agent.Wait(10000), c.status);
    for (const std::string &s : c.says)
      EXPECT_NE(agent.Stderr().find(s), std::string::npos) << agent.Stderr();
    EXPECT_EQ(agent.DiagLog(), "") << "-t starts nothing and logs nothing";
  }
}

// -d keeps the agent in the foreground and copies every entry to standard
// error; a missing configuration is reported there on a line of its own,
// and logged with the reason, and the agent keeps running.  The last -c wins
// and is cut to 1023 bytes.  A hangup leaves it running; SIGTERM ends it.
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
    const std::string entry =
        "VELDAgent [1]: Error reading our configuration file: " + want + ": " + reason + "\n\n";
    const std::string said = "Failed to process our configuration file: " + want + "\n";
    veldtest::WaitUntil([&] { return agent.Stderr().find(said) != std::string::npos; }, 5000);
    kill(agent.pid(), SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(agent.Running()) << "neither the defaults nor a hangup may stop the agent";
    const std::string err = veldtest::WithoutPids(agent.Stderr());
    EXPECT_NE(err.find(entry + said), std::string::npos) << err;
    EXPECT_NE(veldtest::WithoutPids(agent.DiagLog()).find(entry), std::string::npos)
        << agent.DiagLog();
    kill(agent.pid(), SIGTERM);
    EXPECT_EQ(agent.Wait(2000), -2) << "SIGTERM ends the agent at once";
  }
}

// Without -d the command returns 0 once the detached agent has read its
// configuration, having shown on its standard error what the agent logged
// until then (the agent's own process id in each entry) and nothing after.
// The agent runs on in "/", with its standard streams on /dev/null.
TEST_F(AgentBinaryTest, DetachesFromTheStartingShell) {
  std::string cfg = dir_ / "detach-unique.cfg";
  WriteFile(cfg, "RemotePort=1\nRemoteHots=x\n");
  AgentProcess agent;
  std::string logdir = LogDir();
  ASSERT_TRUE(agent.Start({"-c", cfg}, logdir));
  EXPECT_EQ(agent.Wait(5000), 0) << agent.Stderr();

  std::vector<pid_t> pids;
  veldtest::WaitUntil([&] { return !(pids = FindProcesses(cfg)).empty(); }, 3000);
  ASSERT_EQ(pids.size(), 1u);
  pid_t child = pids[0];
  veldtest::WaitUntil(
      [&] { return agent.DiagLog().find("Failed to connect") != std::string::npos; }, 3000);
  for (int fd = 0; fd <= 2; ++fd)
    EXPECT_EQ(Link("/proc/" + std::to_string(child) + "/fd/" + std::to_string(fd)), "/dev/null");
  EXPECT_EQ(Link("/proc/" + std::to_string(child) + "/cwd"), "/");
  const std::string pid = " [pid " + std::to_string(child) + "]\n";
  const std::string shown =
      "VELDAgent [3]: Successfully processed our configuration file: " + cfg + pid;
  const std::string warned = "VELDAgent [2]: " + cfg + ":2: unknown key \"RemoteHots\"";
  for (const std::string &text : {agent.Stderr(), agent.DiagLog()}) {
    EXPECT_NE(text.find(shown), std::string::npos) << text;
    EXPECT_NE(text.find(warned), std::string::npos) << text;
  }
  EXPECT_EQ(agent.Stderr().find("Failed to connect"), std::string::npos)
      << "the starter is let go before the link opens";
  kill(child, SIGKILL);
}
