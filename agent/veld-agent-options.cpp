// veld-agent-options: the command line.  It prints the banner, loads the
// built-in settings, acts on the options in the order given, and either
// ends (usage text, -V, -t) or hands over to the start routine.

#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "veld-agent.h"
#include "veld-config-unix.h"

#ifndef VELD_REVISION
#define VELD_REVISION "0000000000000000000000000000000000000000"
#endif

const char *const pRevision = VELD_REVISION;  // fixed at configure time

namespace {

constexpr const char kUsage[] =
    "Usage: %s [-v] [ -c configuration file ]\n"
    "-c\t\tspecify configuration file to use (default: %s)\n"
    "-v\t\tincrease verbosity and debugging\n"
    "-d\t\tstay in the foreground and copy every diagnostic entry to standard error\n"
    "-t\t\tcheck the configuration file, start nothing, and exit 0 when it is sound\n";

// getopt returns '?' both for an unknown letter and for a listed "?", so
// "?" is left out: -? then comes back as unknown with optopt '?', which
// tells it apart.  The leading ":" keeps getopt quiet, and Complain words
// its complaints instead, for the letters that really are unknown.
constexpr const char kOptions[] = ":dc:vhtV";
const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

void CopyPath(char *dst, const char *src) {
  std::strncpy(dst, src, VELD_PATH_COPY_MAX);
  dst[VELD_PATH_COPY_MAX] = '\0';
}

// getopt's own complaint, in its own words, for what it returned as
// `ch`; the program name is av[0].
void Complain(int ch, int ac, char **av) {
  const char *prog = av[0] != nullptr ? av[0] : "veldagentd";
  const char *arg = optind > 0 && optind <= ac ? av[optind - 1] : nullptr;
  if (ch == ':') {
    std::fprintf(stderr, "%s: option requires an argument -- '%c'\n", prog, optopt);
  } else if (optopt == 0 || (arg != nullptr && std::strncmp(arg, "--", 2) == 0)) {
    std::fprintf(stderr, "%s: unrecognized option '%s'\n", prog, arg != nullptr ? arg : "");
  } else {
    std::fprintf(stderr, "%s: invalid option -- '%c'\n", prog, optopt);
  }
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

int VELDCheckConfiguration(const char *cfg_file) {
  std::vector<CfgFinding> findings;
  const bool sound = CfgCheckConfiguration(cfg_file, &findings);
  size_t problems = 0;
  for (const CfgFinding &f : findings) {
    std::fprintf(stderr, "%s\n", CfgFindingText(cfg_file, f).c_str());
    if (f.problem) ++problems;
  }
  if (sound) {
    std::fprintf(stderr, "%s: configuration is sound\n", cfg_file);
    return kExitOk;
  }
  std::fprintf(stderr, "%s: %zu problem%s found\n", cfg_file, problems, problems == 1 ? "" : "s");
  return kExitFailure;
}

int VELDMain(int argc, char **argv) {
  VELDBanner();
  GlobalConfigHash = hashtable_alloc(1, 0);
  CopyPath(szConfigFile, DEF_CONFIG_FILE);
  ExpandEnvironment();

  bool check = false;
  if (argc > 1) {
    int ch;
    while ((ch = getopt_long(argc, argv, kOptions, kLongOptions, nullptr)) != -1) {
      switch (ch) {
        case 'd':
          debug = 1;
          break;
        case 'c':
          CopyPath(szConfigFile, optarg);
          break;
        case 'v':
          break;
        case 't':
          check = true;
          break;
        case 'V':  // the banner is the version
          return kExitOk;
        case 'h':
          usage(argc, argv);
          return kExitOk;
        default:  // ':' for -c without its argument, '?' for -? or an unknown option
          if (ch == '?' && optopt == '?') {
            usage(argc, argv);
            return kExitOk;
          }
          Complain(ch, argc, argv);
          usage(argc, argv);
          return kExitUsage;
      }
    }
  }
  if (check) return VELDCheckConfiguration(szConfigFile);
  VELDStartRoutine();
}
