// veld-agent: the process entry of the daemon.  It prints the banner, loads
// the built-in settings, reads the command line, detaches from the terminal
// unless told not to, reads the configuration once, and then starts the
// workers in a fixed order before idling for ever.  There is no command
// channel, no reload and no orderly shutdown: a signal ends the process.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "veld-agent.h"
#include "veld-config-unix.h"
#include "veld-logfile.h"
#include "veld-perfmon.h"
#include "veld-threads.h"

#ifndef VELD_REVISION
#define VELD_REVISION "0000000000000000000000000000000000000000"
#endif

char szConfigFile[VELD_PATH_MAX];             // set from the default, then by -c
int debug = 0;                                // set by -d before start-up
const char *const pRevision = VELD_REVISION;  // fixed at configure time

namespace {

constexpr int kHighestClosedFd = 255;          // daemonising closes 0..255
constexpr unsigned int kScannerHeadStart = 5;  // seconds before offsets are read
constexpr unsigned int kIdleStep = 10;         // main thread's idle period

constexpr const char kUsage[] =
    "Usage: %s [-v] [ -c configuration file ]\n"
    "-c\t\tspecify configuration file to use (default: %s)\n"
    "-v\t\tincrease verbosity and debugging\n";

void CopyPath(char *dst, const char *src) {
  std::strncpy(dst, src, VELD_PATH_COPY_MAX);
  dst[VELD_PATH_COPY_MAX] = '\0';
}

// Keeps 0, 1 and 2 taken by /dev/null, so nothing the agent prints after
// detaching can land in a file or socket it opens later.
void ReopenStandardStreams() {
  int fd = open("/dev/null", O_RDWR);
  if (fd < 0) return;
  while (fd >= 0 && fd < 2) fd = dup(fd);
  if (fd > 2) close(fd);
}

}  // namespace

void VELDBanner() {
  std::printf("VELD Security Correlation Agent Version %s (rev %s)\n", VELD_VERSION, pRevision);
  std::printf("Copyright (c) VELD Systems. All rights reserved.\n");
  std::fflush(stdout);
}

void usage(int /*ac*/, char **av) {
  std::fprintf(stderr, kUsage, av && av[0] ? av[0] : "veldagentd", DEF_CONFIG_FILE);
}

void ZUNForkBackground() {
  if (getppid() != 1) {
    signal(SIGTTOU, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTSTP, SIG_IGN);
    pid_t pid = fork();
    if (pid < 0) {
      std::fprintf(stderr, "Unable to fork from tty, failed!\n");
      std::exit(0);
    }
    if (pid > 0) std::exit(1);
    int tty = open("/dev/tty", O_RDWR);
    if (tty >= 0) {
      ioctl(tty, TIOCNOTTY, 0);
      close(tty);
    }
  }
  std::fflush(stdout);
  std::fflush(stderr);
  for (int fd = 0; fd <= kHighestClosedFd; ++fd) close(fd);
  ReopenStandardStreams();
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
  if (!debug) ZUNForkBackground();

  if (CfgProcessConfiguration(szConfigFile) == 1) {
    Log(3, "Successfully processed our configuration file: %s", szConfigFile);
  } else {
    std::fprintf(stderr, "Failed to process our configuration file: %s", szConfigFile);
    std::fflush(stderr);
  }

  LogInit();

  // One handle, overwritten by every creation: the workers are never joined.
  THREAD thread;
  ThreadCreate(&thread, nullptr, LogDirectoryThread, nullptr);
  // Give the scanner a head start so the offsets read next also cover the
  // files it found in watched directories.
  veld_sleep(kScannerHeadStart);
  LogFileLoadPositions(CfgHashGet(kCfgWatchdogFile));
  ThreadCreate(&thread, nullptr, LogFileThread, nullptr);
  ThreadCreate(&thread, nullptr, PerfMonThread, nullptr);

  for (;;) veld_sleep(kIdleStep);
}

int VELDMain(int argc, char **argv) {
  VELDBanner();
  GlobalConfigHash = hashtable_alloc(1, 0);
  CopyPath(szConfigFile, DEF_CONFIG_FILE);
  ExpandEnvironment();

  if (argc > 1) {
    int ch;
    while ((ch = getopt(argc, argv, "dc:vh?")) != -1) {
      switch (ch) {
        case 'd':
          debug = 1;
          break;
        case 'c':
          CopyPath(szConfigFile, optarg);
          break;
        case 'v':
          break;
        default:  // 'h', '?', an unknown letter or -c without its argument
          usage(argc, argv);
          return 0;
      }
    }
  }
  VELDStartRoutine();
}
