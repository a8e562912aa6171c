// veld-perfmon-net-linux: the network sampler.  Each line of /proc/net/dev
// names an interface and, after a colon, sixteen counters; the sampler sends
// bytes, packets, errors and drops in each direction for every interface
// whose eight sent counters are not all zero.  The kernel may glue the first
// number to the colon, so the colon ends the name wherever it stands.
//
// The first pass only counts the interfaces and sends nothing; at its end the
// sampler makes its counter block and reports from the next pass on.  That
// block is the one allocation after start.

#include <cstring>
#include <new>
#include <string_view>

#include "veld-config-unix.h"
#include "veld-perfmon.h"

namespace {

// clang-format off
constexpr const char *kFormats[] = {
    "net_if_id:%.*s; net_if_in_bytes:%llu\n",
    "net_if_id:%.*s; net_if_out_bytes:%llu\n",
    "net_if_id:%.*s; net_if_in_packets:%llu\n",
    "net_if_id:%.*s; net_if_out_packets:%llu\n",
    "net_if_id:%.*s; net_if_in_errors:%llu\n",
    "net_if_id:%.*s; net_if_in_dropped:%llu\n",
    "net_if_id:%.*s; net_if_out_errors:%llu\n",
    "net_if_id:%.*s; net_if_out_dropped:%llu\n",
};
// clang-format on
// For each format, the position of its counter among the sixteen numbers:
// receive bytes, packets, errors, drops, fifo, frame, compressed, multicast,
// then transmit bytes, packets, errors, drops, fifo, collisions, carrier,
// compressed.
constexpr int kSent[] = {0, 8, 1, 9, 2, 3, 10, 11};
constexpr size_t kSentCount = sizeof kSent / sizeof kSent[0];
constexpr size_t kNumbers = 16;

// An interface line: the name, then sixteen unsigned numbers.  The first
// colon ends the name even where the kernel glues the first number to it;
// more text between the name and the colon spoils the line.  The headings
// yield too few numbers and are skipped.
bool ParseInterface(std::string_view line, std::string_view *name, unsigned long long *v) {
  size_t colon = line.find(':');
  std::string_view head = line.substr(0, colon), rest;
  if (!perfmon::NextToken(&head, perfmon::kBlanks, name)) return false;
  if (colon == std::string_view::npos) {
    rest = head;
  } else {
    std::string_view extra;
    if (perfmon::NextToken(&head, perfmon::kBlanks, &extra)) return false;
    rest = line.substr(colon + 1);
  }
  for (size_t k = 0; k < kNumbers; ++k) {
    std::string_view tok;
    size_t used = 0;
    if (!perfmon::NextToken(&rest, perfmon::kBlanks, &tok) ||
        !perfmon::ParseU64(tok, &v[k], &used) || used != tok.size())
      return false;
  }
  return true;
}

}  // namespace

P_PERFMON_NET_INFO PerfMonNETInit() {
  auto *info = new (std::nothrow) PERFMON_NET_INFO{};
  if (info == nullptr) return nullptr;
  info->counter_size = 0;
  info->adapterList = nullptr;
  return info;
}

int PerfMonNETHandleAdapterList(P_PERFMON_NET_INFO info) {
  unsigned int stamp = PerfMonStamp();
  size_t counted = 0;
  char buf[perfmon::kStreamBuf];
  PerfMonLineReader r(buf, sizeof buf, perfmon::kLineMax);
  if (!r.Open(perfmon::kNetDevPath)) return 1;
  std::string_view line, name;
  unsigned long long v[kNumbers];
  while (r.Next(&line)) {
    if (!ParseInterface(line, &name, v)) continue;
    unsigned long long any = 0;
    for (int k : kSent) any |= v[k];
    if (any == 0) continue;
    if (!info->avg) {
      ++counted;
      continue;
    }
    int nl = static_cast<int>(name.size());
    for (size_t k = 0; k < kSentCount; ++k)
      PerfMonSend(stamp, kFormats[k], nl, name.data(), v[kSent[k]]);
  }
  // Should the block not be had, the sampler simply counts again next time.
  if (!info->avg)
    info->avg.reset(new (std::nothrow) unsigned long long[8 * (counted > 0 ? counted : 1)]());
  return 1;
}

int PerfMonNETProcess(P_PERFMON_NET_INFO info) {
  if (info == nullptr) return 1;
  return PerfMonNETHandleAdapterList(info);
}

void PerfMonNETFree(P_PERFMON_NET_INFO ret) { delete ret; }
