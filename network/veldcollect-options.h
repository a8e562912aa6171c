// veldcollect-options: veldcollect's command line.
#ifndef VELDCOLLECT_OPTIONS_H
#define VELDCOLLECT_OPTIONS_H

namespace collect {

// Where the collector listens unless told otherwise: this host only.
inline constexpr char kDefaultAddress[] = "127.0.0.1";

// What the command line asks for.
struct Options {
  const char *address = kDefaultAddress;
  int port = -1;
  bool udp = false;
  // TLS: the collector's certificate and key (both, or neither), and the CA
  // bundle that agents' certificates must chain to (then required).
  const char *cert = nullptr;
  const char *key = nullptr;
  const char *ca = nullptr;
};

// kRun with the options filled; kHelp once the usage text is on standard
// output; kRefused once the fault and the usage text are on standard error.
enum class Parsed { kRun, kHelp, kRefused };

Parsed ParseOptions(int argc, char **argv, Options *o);

}  // namespace collect

#endif
