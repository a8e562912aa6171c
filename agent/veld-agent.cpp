// veld-agent: daemonising and the start routine.  The agent detaches from
// its terminal unless told not to, reads the configuration once, and then
// starts the workers in a fixed order before idling for ever.  There is no
// command channel, no reload and no orderly shutdown: SIGTERM and SIGINT end
// the process at once, and a hangup is ignored.
//
// A detaching agent keeps its starting process waiting, on a pipe that is
// the agent's standard error, until the configuration is read: whatever the
// agent logs until then reaches the terminal it was started from, and the
// command's exit status says whether the agent got that far.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "veld-agent.h"
#include "veld-config-unix.h"
#include "veld-logfile.h"
#include "veld-perfmon.h"
#include "veld-threads.h"

char szConfigFile[VELD_PATH_MAX];  // set from the default, then by -c
int debug = 0;                     // set by -d before start-up

namespace {

constexpr int kHighestClosedFd = 255;          // daemonising closes 0..255
constexpr unsigned int kScannerHeadStart = 5;  // seconds before offsets are read
constexpr unsigned int kIdleStep = 10;         // main thread's idle period
// The agent's last byte to its starting process: the configuration is read.
// Never part of a text, so it cannot be mistaken for one.
constexpr char kStartedByte = '\0';

// True while standard error is the pipe to the waiting starting process;
// the main thread alone sets and reads it, before any worker exists.
bool starter_waiting = false;

// Keeps 0, 1 and 2 taken by /dev/null, so nothing the agent prints after
// detaching can land in a file or socket it opens later.
void ReopenStandardStreams() {
  int fd = open("/dev/null", O_RDWR);
  if (fd < 0) return;
  while (fd >= 0 && fd < 2) fd = dup(fd);
  if (fd > 2) close(fd);
}

// The starting process: shows what the agent writes to the pipe until the
// agent closes it, then ends with the agent's verdict.
[[noreturn]] void WaitForStart(int fd) {
  char buf[4096];
  bool started = false;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    started = buf[n - 1] == kStartedByte;
    std::fwrite(buf, 1, static_cast<size_t>(n) - (started ? 1 : 0), stderr);
  }
  if (!started) std::fprintf(stderr, "veldagentd: the agent ended before it was configured\n");
  std::exit(started ? kExitOk : kExitFailure);
}

// In the agent: closes every inherited descriptor, with 0 and 1 on
// /dev/null after, and 2 on the pipe to the waiting starter when there is
// one (`starter`, or -1).  Should the pipe not survive the closing, the
// starter is let go at once and 2 is /dev/null too.
void CloseInherited(int starter) {
  int keep = -1;
  if (starter >= 0) {
    keep = fcntl(starter, F_DUPFD_CLOEXEC, kHighestClosedFd + 1);
    if (keep < 0) (void)!write(starter, &kStartedByte, 1);
    if (starter > kHighestClosedFd) close(starter);
  }
  for (int fd = 0; fd <= kHighestClosedFd; ++fd) close(fd);
  ReopenStandardStreams();
  if (keep < 0) return;
  dup2(keep, STDERR_FILENO);
  close(keep);
  // The starter may be gone (interrupted); a write into its pipe must fail,
  // not end the agent.
  signal(SIGPIPE, SIG_IGN);
  starter_waiting = true;
}

// Lets the starting process go: the configuration is read.  From here on
// standard error is /dev/null again.
void ReleaseStarter() {
  if (!starter_waiting) return;
  (void)!write(STDERR_FILENO, &kStartedByte, 1);
  LogMirrorToStderr(false);
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDERR_FILENO);
    close(null);
  }
  starter_waiting = false;
}

// Reads the configuration file once, then logs what the configuration check
// finds in it, problems as warnings: the agent runs with it all the same.
void ReadConfiguration() {
  if (CfgProcessConfiguration(szConfigFile) != 1) {
    std::fprintf(stderr, "Failed to process our configuration file: %s", szConfigFile);
    // Diagnostic entries follow on the same stream: end the line first.
    if (debug || starter_waiting) std::fputc('\n', stderr);
    std::fflush(stderr);
    return;
  }
  Log(3, "Successfully processed our configuration file: %s", szConfigFile);
  std::vector<CfgFinding> findings;
  CfgCheckConfiguration(szConfigFile, &findings);
  for (const CfgFinding &f : findings)
    Log(f.problem ? 2 : 3, "%s", CfgFindingText(szConfigFile, f).c_str());
}

}  // namespace

void ZUNForkBackground() {
  int starter = -1;  // the agent's end of the pipe to the waiting starter
  if (getppid() != 1) {
    signal(SIGTTOU, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTSTP, SIG_IGN);
    int ends[2] = {-1, -1};
    const bool piped = pipe2(ends, O_CLOEXEC) == 0;
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
      std::fprintf(stderr, "Unable to fork from tty, failed!\n");
      std::exit(0);
    }
    if (pid > 0) {
      if (!piped) std::exit(kExitOk);
      close(ends[1]);
      WaitForStart(ends[0]);
    }
    if (piped) {
      close(ends[0]);
      starter = ends[1];
    }
    int tty = open("/dev/tty", O_RDWR);
    if (tty >= 0) {
      ioctl(tty, TIOCNOTTY, 0);
      close(tty);
    }
  }
  std::fflush(stdout);
  std::fflush(stderr);
  CloseInherited(starter);
  errno = 0;
  signal(SIGTTOU, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
  signal(SIGTSTP, SIG_IGN);
  signal(SIGABRT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);
  if (chdir("/") != 0) {
    // Nothing to report to: the standard streams are gone by now.
  }
  umask(0);
}

int VELDStartRoutine() {
  // Step 1: signals and standard error.  There is nothing to reload, so a
  // hangup (a closed terminal, a reload request) must not end the agent.
  // A foreground agent's standard error is collected by whoever started it,
  // a terminal or a service manager's journal: every entry goes there too.
  signal(SIGHUP, SIG_IGN);
  if (debug) {
    LogMirrorToStderr(true);
  } else {
    ZUNForkBackground();
    LogMirrorToStderr(starter_waiting);
  }

  // Step 2: the configuration, once; then the starter may go.
  ReadConfiguration();
  ReleaseStarter();

  // Step 3: the collector link; a failure is logged and the agent goes on.
  LogInit();

  // Step 4: the workers.  One handle, overwritten by every creation: the
  // workers are never joined.
  THREAD thread;
  ThreadCreate(&thread, nullptr, LogDirectoryThread, nullptr);
  // Give the scanner a head start so the offsets read next also cover the
  // files it found in watched directories.
  veld_sleep(kScannerHeadStart);
  LogFileLoadPositions(CfgHashGet(kCfgWatchdogFile));
  ThreadCreate(&thread, nullptr, LogFileThread, nullptr);
  ThreadCreate(&thread, nullptr, PerfMonThread, nullptr);

  // Step 5: idle for ever.
  for (;;) veld_sleep(kIdleStep);
}
