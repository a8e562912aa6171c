// What a tailer pass costs.  An idle pass over many files must stay a stat
// per file and open none of them; reading a large file must cost one send
// per record and no heap allocation per record; appending to and looking up
// in a long list must not grow with the list.  Records go to a real UDP
// socket on loopback that nobody reads, so the kernel drops them after the
// send, as a busy collector would.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "veld-agent.h"
#include "veld-config-unix.h"
#include "veld-hash.h"
#include "veld-logfile.h"

// Every malloc of the process is counted, so "no allocation per record" is
// measured rather than assumed.
extern "C" void *__libc_malloc(size_t);
static std::atomic<unsigned long> g_mallocs{0};
extern "C" void *malloc(size_t n) {
  g_mallocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}

namespace {

unsigned int NoSleep(unsigned int) { return 0; }

// A temporary directory, the link pointed at a silent UDP socket, a
// diagnostic log inside the directory; built once for the whole program.
struct Bench {
  std::string dir;
  int sink = -1;
  Bench() {
    char tmpl[] = "/tmp/veldbench.XXXXXX";
    dir = mkdtemp(tmpl);
    sink = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sink, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(sink, reinterpret_cast<sockaddr *>(&a), &len);
    GlobalConfigHash = hashtable_alloc(1, 0);
    ExpandEnvironment();
    std::snprintf(pLogFile, sizeof pLogFile, "%s/agent.log", dir.c_str());
    CfgHashAdd("RemoteHost", "127.0.0.1");
    CfgHashAdd("RemotePort", std::to_string(ntohs(a.sin_port)).c_str());
    CfgHashAdd("RemoteService", "udp");
    CfgHashAdd("LogRotationSize", "1024");  // nothing here is rotated
    LogInit();
    veld_sleep = NoSleep;  // pacing pauses would measure only the clock
  }
  ~Bench() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Bench &TheBench() {
  static Bench b;
  return b;
}

// The list is rebuilt for each benchmark; old nodes stay reachable, as the
// agent never frees a node.
void NewList() { LogFileList.store(nullptr); }

P_LOGFILE_LIST Append(const std::string &path) {
  P_LOGFILE_LIST n = LogFileNew(strdup(path.c_str()));
  LogFileListAppend(n);
  return n;
}

void BM_IdlePass(benchmark::State &state) {
  Bench &b = TheBench();
  const int files = static_cast<int>(state.range(0));
  const std::string d = b.dir + "/idle" + std::to_string(files);
  std::filesystem::create_directory(d);
  NewList();
  for (int i = 0; i < files; ++i) {
    std::string p = d + "/f" + std::to_string(i) + ".log";
    FILE *f = std::fopen(p.c_str(), "w");
    std::fputs("already sent\n", f);
    std::fclose(f);
    Append(p);
  }
  for (P_LOGFILE_LIST n = LogFileList.load(); n; n = n->next.load()) LogFileProcess(n);

  int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  inotify_add_watch(in, d.c_str(), IN_OPEN);
  for (auto _ : state)
    for (P_LOGFILE_LIST n = LogFileList.load(); n; n = n->next.load()) LogFileProcess(n);
  char buf[65536];
  long opens = 0;
  for (ssize_t r; (r = read(in, buf, sizeof buf)) > 0;)
    for (char *p = buf; p < buf + r;) {
      auto *ev = reinterpret_cast<inotify_event *>(p);
      ++opens;
      p += sizeof(inotify_event) + ev->len;
    }
  close(in);
  state.counters["files_opened"] = static_cast<double>(opens);
  state.SetItemsProcessed(state.iterations() * files);
}
BENCHMARK(BM_IdlePass)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_ReadLargeFile(benchmark::State &state) {
  Bench &b = TheBench();
  const std::string p = b.dir + "/large.log";
  const size_t target = 100u << 20;
  {
    std::string line(99, 'x');
    line += '\n';
    FILE *f = std::fopen(p.c_str(), "w");
    for (size_t done = 0; done < target; done += line.size()) std::fputs(line.c_str(), f);
    std::fclose(f);
  }
  const uint64_t size = std::filesystem::file_size(p);
  const uint64_t records = size / 100;
  NewList();
  P_LOGFILE_LIST node = Append(p);
  unsigned long mallocs = 0;
  for (auto _ : state) {
    node->filesize = 0;
    unsigned long before = g_mallocs.load();
    LogFileProcess(node);
    mallocs += g_mallocs.load() - before;
    if (node->filesize != size) state.SkipWithError("file not read to its end");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records));
  state.counters["mallocs_per_record"] =
      static_cast<double>(mallocs) / static_cast<double>(state.iterations() * records);
}
BENCHMARK(BM_ReadLargeFile)->Unit(benchmark::kMillisecond)->Iterations(3);

// Appending and the scan's "already tailed?" test on a long list: the
// per-entry cost must stay flat as the list grows.
void BM_ScanAgainstLongList(benchmark::State &state) {
  Bench &b = TheBench();
  const int nodes = static_cast<int>(state.range(0));
  const std::string d = b.dir + "/scan" + std::to_string(nodes);
  std::filesystem::create_directory(d);
  NewList();
  for (int i = 0; i < nodes; ++i) Append("/elsewhere/f" + std::to_string(i));
  for (int i = 0; i < 100; ++i) {
    FILE *f = std::fopen((d + "/s" + std::to_string(i)).c_str(), "w");
    std::fclose(f);
  }
  LOGDIR_LIST dir{};
  dir.log_dir = const_cast<char *>(d.c_str());
  LogDirectoryProcess(&dir);  // adds the 100; later scans only look them up
  for (auto _ : state) LogDirectoryProcess(&dir);
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_ScanAgainstLongList)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
