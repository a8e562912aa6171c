// veldcollect-options: reading veldcollect's command line.  A fault is named
// on standard error with the usage text behind it.

#include "veldcollect-options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace collect {

namespace {

constexpr const char kUsage[] =
    "Usage: veldcollect [-u] [-a address] [-T cert -K key [-C ca]] -p port\n"
    "Receives records from veldagentd and writes each to standard output as it arrives.\n"
    "  -p port     port to listen on; 0 picks a free one (the port is printed on standard error)\n"
    "  -a address  IPv4 address to listen on (default 127.0.0.1; 0.0.0.0 for every address)\n"
    "  -u          receive UDP datagrams instead of TCP connections\n"
    "  -T cert     serve TLS with this PEM certificate; with -K key, its private key (when\n"
    "              neither file exists, a key and a certificate for localhost are made there)\n"
    "  -C ca       require agents to show a certificate from this PEM bundle\n"
    "  -h          print this text\n";

bool ParsePort(const char *text, int *port) {
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 65535) return false;
  *port = static_cast<int>(v);
  return true;
}

std::array<char, 2> OptionName(int letter) { return {static_cast<char>(letter), '\0'}; }

Parsed Refuse(const char *fmt, const char *arg) {
  std::fprintf(stderr, "veldcollect: ");
  std::fprintf(stderr, fmt, arg);
  std::fprintf(stderr, "\n%s", kUsage);
  return Parsed::kRefused;
}

}  // namespace

Parsed ParseOptions(int argc, char **argv, Options *o) {
  int opt;
  opterr = 0;
  while ((opt = getopt(argc, argv, ":a:p:uT:K:C:h")) != -1) {
    switch (opt) {
      case 'T':
        o->cert = optarg;
        break;
      case 'K':
        o->key = optarg;
        break;
      case 'C':
        o->ca = optarg;
        break;
      case 'a':
        o->address = optarg;
        break;
      case 'p':
        if (!ParsePort(optarg, &o->port)) return Refuse("bad port \"%s\" (0 to 65535)", optarg);
        break;
      case 'u':
        o->udp = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return Parsed::kHelp;
      case ':':
        return Refuse("option -%s needs a value", OptionName(optopt).data());
      default:
        return Refuse("unknown option -%s", OptionName(optopt).data());
    }
  }
  if (optind < argc) return Refuse("unexpected argument \"%s\"", argv[optind]);
  if (o->port < 0) return Refuse("%s", "no port given (-p)");
  if ((o->cert == nullptr) != (o->key == nullptr))
    return Refuse("%s", "-T and -K go together (a certificate and its key)");
  if (o->ca != nullptr && o->cert == nullptr) return Refuse("%s", "-C needs -T and -K");
  if (o->cert != nullptr && o->udp) return Refuse("%s", "TLS (-T) is for TCP, not -u");
  // NetSocket takes what does not parse as "every address"; a typo must not
  // open the collector to the network.
  in_addr probe{};
  if (inet_pton(AF_INET, o->address, &probe) != 1)
    return Refuse("bad address \"%s\" (a dotted IPv4 address)", o->address);
  return Parsed::kRun;
}

}  // namespace collect
