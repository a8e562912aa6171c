// Delivery: every line a writer appends reaches the collector exactly once,
// whatever happens around it: the collector restarts or stays away, another
// tool rotates the file (renaming it, or copying and truncating it), a
// watched file is renamed, or the agent is killed at any moment.
//
// Every line carries its file's tag, a sequence number and a checksum
// ("a 000123 <payload> <crc32>"), so the collector's records are counted
// exactly: lost (a line written but never received), duplicated (received
// more than once), garbled (a record that does not parse or fails its
// checksum, or a record cut short when a connection ended).  Duplicates are
// tolerated only where the agent is killed between sending and saving.
//
// The collector is a loopback TCP listener in this process that can go down
// and come back on the same port; going down, it closes its connections
// without reading what they still hold, as a collector process that stops
// does.  Scenarios about the process (collector outages, kill -9, restarts)
// run the real veldagentd, which pauses 5 s at start and 10 s between passes
// and paces 200 records of a file per second; the rotation and rename
// scenarios drive the tailer and the scanner in this process, pass by pass.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "agent_process.h"
#include "logfile_test_support.h"
#include "tcp_collector.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using veldtest::ReadFile;

// ---- self-checking lines

uint32_t Crc32(std::string_view s) {
  uint32_t c = 0xffffffffu;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
  }
  return ~c;
}

// "<tag> <seq, 6 digits> <payload> <crc32 of what precedes, 8 hex>\n".  The
// payload length varies with the sequence unless `payload` fixes it, so a
// line cut anywhere no longer matches its checksum.
std::string MakeLine(const std::string &tag, int seq, size_t payload) {
  char head[32];
  std::snprintf(head, sizeof head, " %06d ", seq);
  std::string body = tag + head;
  const size_t len = payload != 0 ? payload : 20 + static_cast<size_t>(seq % 37);
  for (size_t i = 0; i < len; ++i) body += static_cast<char>('a' + (seq * 31 + i * 7) % 26);
  char crc[16];
  std::snprintf(crc, sizeof crc, " %08x\n", Crc32(body));
  return body + crc;
}

enum class Kind { kLine, kOther, kGarbled };

// One record as the collector got it, its line end removed.  Metric records
// of the agent's monitor are "other"; log records must hold a whole line.
Kind ParseRecord(std::string_view r, std::string *tag, int *seq) {
  size_t d = 0;
  while (d < r.size() && r[d] >= '0' && r[d] <= '9') ++d;
  std::string_view rest = r.substr(d);
  if (d > 0 && rest.starts_with(" VELDPerfMon: ")) return Kind::kOther;
  constexpr std::string_view kTag = " VELDUnixLog: ";
  if (d == 0 || !rest.starts_with(kTag)) return Kind::kGarbled;
  std::string_view line = rest.substr(kTag.size());
  const size_t crc_at = line.rfind(' ');
  const size_t tag_end = line.find(' ');
  if (crc_at == std::string_view::npos || line.size() - crc_at != 9 || tag_end + 8 > crc_at)
    return Kind::kGarbled;
  const std::string crc(line.substr(crc_at + 1));
  if (std::strtoul(crc.c_str(), nullptr, 16) != Crc32(line.substr(0, crc_at)))
    return Kind::kGarbled;
  *tag = std::string(line.substr(0, tag_end));
  *seq = std::atoi(std::string(line.substr(tag_end + 1, 6)).c_str());
  return Kind::kLine;
}

struct Tally {
  long written = 0, lost = 0, dup = 0, garbled = 0;
  std::string detail;  // the first lines lost, per file
};

std::ostream &operator<<(std::ostream &os, const Tally &t) {
  return os << t.written << " written: " << t.lost << " lost, " << t.dup << " duplicated, "
            << t.garbled << " garbled" << t.detail;
}

// Lines written per tag, and the appends that write them: each append is one
// write(2) of whole lines, as a program that logs writes them.
class Ledger {
 public:
  void Append(const std::string &path, const std::string &tag, int n, size_t payload = 0) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string text;
    int &next = next_[tag];
    for (int i = 0; i < n; ++i) text += MakeLine(tag, next++, payload);
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
  }
  Tally Count(const std::vector<std::string> &records, long cut) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::map<std::string, std::vector<int>> seen;
    Tally t;
    t.garbled = cut;
    for (const auto &[tag, n] : next_) seen[tag].assign(static_cast<size_t>(n), 0);
    for (const std::string &r : records) {
      std::string tag;
      int seq = -1;
      Kind k = ParseRecord(r, &tag, &seq);
      auto it = seen.find(tag);
      if (k == Kind::kLine && (it == seen.end() || seq < 0 || seq >= int(it->second.size())))
        k = Kind::kGarbled;  // a line no writer wrote
      if (k == Kind::kGarbled) t.garbled++;
      if (k == Kind::kLine) it->second[static_cast<size_t>(seq)]++;
    }
    for (const auto &[tag, counts] : seen) {
      int shown = 0;
      for (size_t s = 0; s < counts.size(); ++s) {
        t.written++;
        if (counts[s] > 1) t.dup += counts[s] - 1;
        if (counts[s] != 0) continue;
        t.lost++;
        if (shown++ < 5) t.detail += " " + tag + "#" + std::to_string(s);
      }
    }
    if (!t.detail.empty()) t.detail = "; first lost:" + t.detail;
    return t;
  }

 private:
  mutable std::mutex mu_;
  std::map<std::string, int> next_;
};

// Appends one line every `every` until it goes out of scope.
class PacedWriter {
 public:
  PacedWriter(Ledger &l, const std::string &path, const std::string &tag, milliseconds every)
      : thread_([this, &l, path, tag, every] {
          while (!stop_) {
            l.Append(path, tag, 1);
            std::this_thread::sleep_for(every);
          }
        }) {}
  ~PacedWriter() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---- the collector

using veldtest::TcpCollector;

// Waits until every written line has arrived, or no log record has come for
// `quiet` (counted from the call at the earliest), or `cap` has passed;
// returns the count at that moment.
Tally AwaitDelivery(const TcpCollector &c, const Ledger &l, milliseconds quiet, milliseconds cap) {
  const auto start = Clock::now(), deadline = start + cap;
  for (;;) {
    Tally t = l.Count(c.Records(), c.Cut());
    const auto last = std::max(c.LogArrivals().second, start);
    if (t.lost == 0 || Clock::now() >= deadline || Clock::now() - last >= quiet) return t;
    std::this_thread::sleep_for(milliseconds(50));
  }
}

// ---- the real agent

// The outage of the long-outage scenario, in seconds; run it for ten minutes
// by hand with VELD_DELIVERY_OUTAGE_SECONDS=600.
int OutageSeconds() {
  const char *v = std::getenv("VELD_DELIVERY_OUTAGE_SECONDS");
  return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : 30;
}

constexpr milliseconds kQuietAgent{22000};  // a start pause and two passes, with room
constexpr milliseconds kDeliveryCap{600000};

class AgentDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(collector_.Listen());
    ASSERT_EQ(mkdir((dir_ / "log").c_str(), 0755), 0);
  }
  void Configure(const std::vector<std::string> &tags, const std::string &extra = "") {
    std::string cfg = "WatchdogFile=" + (dir_ / "positions") +
                      "\nRemoteHost=127.0.0.1\nRemoteService=tcp\nRemotePort=" +
                      std::to_string(collector_.port()) + "\n" + extra;
    for (const std::string &t : tags) cfg += "LogFile=" + File(t) + "\n";
    veldtest::WriteFile(dir_ / "agent.cfg", cfg);
  }
  std::string File(const std::string &tag) const { return dir_ / (tag + ".log"); }
  void Start() { ASSERT_TRUE(agent_.Start({"-d", "-c", dir_ / "agent.cfg"}, dir_ / "log")); }
  Tally Await(milliseconds quiet = kQuietAgent) {
    return AwaitDelivery(collector_, lines_, quiet, kDeliveryCap);
  }
  // Everything written so far has arrived, and the offsets behind it are saved.
  void AwaitDeliveredAndSaved() {
    Tally t = Await();
    ASSERT_EQ(t.lost, 0) << t << "\n" << agent_.DiagLog();
    std::this_thread::sleep_for(milliseconds(2000));
  }
  // Waits until some records have come since `since` and the agent keeps up
  // with the writer (no more than `behind` written lines missing): the
  // collector then goes down in the middle of the stream, not in the middle
  // of a catch-up burst, which its close could cut off whole.
  void AwaitSome(size_t since, long behind) {
    const auto cap = Clock::now() + milliseconds(25000);
    while (Clock::now() < cap &&
           (collector_.LogArrivals().first < since + 20 ||
            lines_.Count(collector_.Records(), collector_.Cut()).lost > behind))
      std::this_thread::sleep_for(milliseconds(10));
  }

  veldtest::TempDir dir_;
  TcpCollector collector_;
  Ledger lines_;
  veldtest::AgentProcess agent_;
};

// ---- the collector goes away

struct Outage {
  const char *name;
  std::vector<int> down_seconds;  // one entry per time the collector goes down
  long lost_per_outage;           // the record the link sent as the peer hung up
  int rotate_every = 0;           // seconds between rotations while it is down (0: none)
};

void PrintTo(const Outage &o, std::ostream *os) { *os << o.name; }

// logrotate's create with compress and delaycompress: app.log.1 goes to
// app.log.2 and is compressed, app.log becomes app.log.1, a new app.log is
// made; the writer opens the path afresh for every line.
void RotateWithDelayCompress(const std::string &live) {
  const std::string one = live + ".1", two = live + ".2";
  if (access(one.c_str(), F_OK) == 0) {
    ASSERT_EQ(rename(one.c_str(), two.c_str()), 0);
    ASSERT_EQ(std::system(("gzip -fnq " + two).c_str()), 0);
  }
  ASSERT_EQ(rename(live.c_str(), one.c_str()), 0);
  // The writer may have made the new file already: it must not be emptied.
  const int fd = open(live.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
}

class CollectorOutageTest : public AgentDeliveryTest,
                            public ::testing::WithParamInterface<Outage> {};

// A writer appends 50 lines a second while the collector goes down and
// comes back on the same port; in the long outage the file is rotated
// meanwhile as logrotate's delaycompress does it (the newest copy stays,
// older ones are compressed and removed).  Lines leave as they are written,
// so the collector goes down in the middle of the stream, in good order
// (what its kernel took, it reads).  Over TCP an outage may cost the one
// record in flight, never more, and nothing arrives twice or cut.
TEST_P(CollectorOutageTest, LinesWrittenDuringOutagesArriveAfterwards) {
  Configure({"app"});
  lines_.Append(File("app"), "app", 1);
  Start();
  {
    PacedWriter writer(lines_, File("app"), "app", milliseconds(20));
    long outages = 0;
    for (int down : GetParam().down_seconds) {
      // Each earlier outage may have cost its record in flight.
      AwaitSome(collector_.LogArrivals().first, 3 + GetParam().lost_per_outage * outages++);
      collector_.Stop(true);
      const int every = GetParam().rotate_every;
      for (int slept = 0; slept<down; slept += every> 0 ? every : down) {
        std::this_thread::sleep_for(std::chrono::seconds(every > 0 ? every : down));
        if (every > 0) RotateWithDelayCompress(File("app"));
      }
      ASSERT_TRUE(collector_.Listen());
    }
    std::this_thread::sleep_for(milliseconds(2000));
  }
  Tally t = Await();
  std::cout << GetParam().name << ": " << t << "\n";
  EXPECT_LE(t.lost, GetParam().lost_per_outage * long(GetParam().down_seconds.size())) << t;
  EXPECT_EQ(t.dup, 0) << t;
  EXPECT_EQ(t.garbled, 0) << t;
}

INSTANTIATE_TEST_SUITE_P(
    Delivery, CollectorOutageTest,
    ::testing::Values(Outage{"RestartsOfOneToThreeSeconds", {1, 3, 2, 1, 2}, 1},
                      Outage{"LongOutageWithRotations", {OutageSeconds()}, 1, 10}),
    [](const ::testing::TestParamInfo<Outage> &info) { return std::string(info.param.name); });

// ---- the agent is killed

// Five files and an agent killed again and again, each time soon after it
// began to send: 600 more lines a file are written before every start, and
// the kills land at different points of the first pass (before it, in the
// middle of the stream, after it).  Every restart must build on the last:
// after four runs every line has arrived; lines sent again are counted only.
TEST_F(AgentDeliveryTest, CrashLoopMakesProgress) {
  constexpr milliseconds kHeadStart{5000};  // the agent's pause before it reads offsets
  constexpr milliseconds kSending[] = {milliseconds(150), milliseconds(40), milliseconds(600),
                                       milliseconds(1500)};
  const std::vector<std::string> tags = {"c0", "c1", "c2", "c3", "c4"};
  Configure(tags);
  for (milliseconds sending : kSending) {
    for (const std::string &t : tags) lines_.Append(File(t), t, 600);
    Start();
    std::this_thread::sleep_for(kHeadStart + sending);
    agent_.Kill(SIGKILL);
  }
  Start();
  Tally t = Await();
  std::cout << "crash loop: " << t << "; position file "
            << (access((dir_ / "positions").c_str(), F_OK) == 0 ? "present" : "absent") << "\n";
  EXPECT_EQ(t.lost, 0) << t;
  EXPECT_EQ(t.garbled, 0) << t;
  // Progress: an agent whose saved offsets never outlived a kill would send
  // every earlier round again at each start, more than all that was written.
  EXPECT_LT(t.dup, long(std::size(kSending) * tags.size() * 600)) << t;
}

// The agent rotates a file over the limit, is killed before its pass ends,
// and the emptied file (same inode) grows past the offset saved before the
// rotation while the agent is down.  After the restart nothing is lost.
TEST_F(AgentDeliveryTest, KillAfterOwnRotationLosesNothing) {
  Configure({"rot", "busy"}, "LogRotationSize=1\n");
  lines_.Append(File("rot"), "rot", 100);
  lines_.Append(File("busy"), "busy", 0);
  Start();
  AwaitDeliveredAndSaved();
  // Right after a pass: the next one reads both, rotates "rot" (over 1 MiB),
  // then spends some 5 s on "busy".
  lines_.Append(File("busy"), "busy", 1000);
  lines_.Append(File("rot"), "rot", 360, 3000);
  const auto cap = Clock::now() + milliseconds(30000);
  struct stat st {};
  while (Clock::now() < cap && !(access((File("rot") + "._hlr_0").c_str(), F_OK) == 0 &&
                                 stat(File("rot").c_str(), &st) == 0 && st.st_size < (1 << 20)))
    std::this_thread::sleep_for(milliseconds(5));
  ASSERT_LT(Clock::now(), cap) << "no rotation\n" << agent_.DiagLog();
  std::this_thread::sleep_for(milliseconds(500));
  agent_.Kill(SIGKILL);
  lines_.Append(File("rot"), "rot", 500);
  Start();
  Tally t = Await();
  std::cout << "kill after rotation: " << t << "\n";
  EXPECT_EQ(t.lost, 0) << t;
  EXPECT_EQ(t.garbled, 0) << t;
}

// While the agent is stopped its file is replaced by a longer one.  The
// offset saved for the old file must not apply: the new file arrives whole.
TEST_F(AgentDeliveryTest, FileReplacedWhileStoppedIsReadFromItsStart) {
  Configure({"app"});
  lines_.Append(File("app"), "app", 100);
  Start();
  AwaitDeliveredAndSaved();
  agent_.Kill(SIGKILL);
  lines_.Append(File("app") + ".new", "app", 300);
  ASSERT_EQ(rename((File("app") + ".new").c_str(), File("app").c_str()), 0);
  Start();
  Tally t = Await();
  std::cout << "replaced while stopped: " << t << "\n";
  EXPECT_EQ(t.lost, 0) << t;
  EXPECT_EQ(t.garbled, 0) << t;
}

// ---- other tools move the file: the tailer and scanner in this process

// Called at the tailer's pacing pauses; runs `armed` once, mid-read.
std::function<void()> armed;
unsigned int SleepRunsArmed(unsigned int) {
  if (auto f = std::exchange(armed, nullptr)) f();
  return 0;
}

class InProcessDeliveryTest : public logtest::LogCollectionTest {
 protected:
  void SetUp() override {
    LogCollectionTest::SetUp();
    ASSERT_TRUE(tcp_.Listen());
    CfgHashAdd("RemoteService", "tcp");
    CfgHashAdd("RemotePort", std::to_string(tcp_.port()).c_str());
    ASSERT_EQ(LogInit(), 1);
    veld_sleep = SleepRunsArmed;
  }
  void TearDown() override {
    armed = nullptr;
    LogCollectionTest::TearDown();
  }
  void Pass() { LogFilePass((dir / "positions").c_str()); }
  Tally Delivered() { return AwaitDelivery(tcp_, lines_, milliseconds(500), milliseconds(5000)); }

  TcpCollector tcp_;
  Ledger lines_;
};

enum class Style { kCreate, kCopyTruncate };
void PrintTo(Style s, std::ostream *os) {
  *os << (s == Style::kCreate ? "create" : "copytruncate");
}

// Rotations by another tool, scripted against the tailer in this process.
// The link is UDP, whose paced bursts give a place to rotate a file in the
// middle of a read: an armed step runs at the tailer's next pause.
class RotationTest : public logtest::LogCollectionTest {
 protected:
  void SetUp() override {
    LogCollectionTest::SetUp();
    veld_sleep = SleepRunsArmed;
  }
  void TearDown() override {
    armed = nullptr;
    LogCollectionTest::TearDown();
  }
  void Pass() {
    LogFilePass((dir / "positions").c_str());
    if (down_) return;  // nothing can arrive; the marker could not go either
    for (std::string &r : collector.Drain()) {
      if (!r.empty() && r.back() == '\n') r.pop_back();
      records_.push_back(std::move(r));
    }
  }
  std::string Live() const { return dir / "app.log"; }
  std::string Copy(int k) const { return Live() + "." + std::to_string(k); }
  // The tool's rotation: older copies (compressed or not) move one number
  // up and the live content becomes app.log.1.  Copy-and-truncate writes
  // nothing between its copy and its truncate, so no line falls into that
  // window of the tool's.
  void Rotate(Style style) {
    for (int k = copies_; k >= 1; --k) {
      for (const std::string ext : {"", ".gz"}) {
        if (access((Copy(k) + ext).c_str(), F_OK) == 0) {
          ASSERT_EQ(rename((Copy(k) + ext).c_str(), (Copy(k + 1) + ext).c_str()), 0);
        }
      }
    }
    ++copies_;
    if (style == Style::kCreate) {
      ASSERT_EQ(rename(Live().c_str(), Copy(1).c_str()), 0);
      veldtest::WriteFile(Live(), "");
    } else {
      veldtest::WriteFile(Copy(1), ReadFile(Live()));
      ASSERT_EQ(truncate(Live().c_str(), 0), 0);
    }
  }
  // What delaycompress does after a rotation: every copy but the newest is
  // compressed and removed.
  void Compress() {
    for (int k = 2; k <= copies_; ++k) {
      if (access(Copy(k).c_str(), F_OK) == 0) {
        ASSERT_EQ(std::system(("gzip -nq " + Copy(k)).c_str()), 0);
      }
    }
  }
  // The collector goes away (the link leads nowhere) and comes back.
  void LinkDown() {
    down_ = true;
    CfgHashAdd("RemoteService", "tcp");
    CfgHashAdd("RemotePort", "1");
    LogInit();
  }
  void LinkUp() {
    down_ = false;
    CfgHashAdd("RemoteService", "udp");
    CfgHashAdd("RemotePort", std::to_string(collector.port()).c_str());
    ASSERT_EQ(LogInit(), 1);
  }
  // The agent stops and starts again: new lists, the offsets from the
  // position file the last pass wrote.
  void Restart() {
    logtest::FreshLists();
    logtest::AddFile(Live());
    ASSERT_EQ(LogFileReadWatchdogFile((dir / "positions").c_str()), 1);
  }
  // Runs a script of appends ("a<n>"), passes ("p"), rotations ("r"),
  // compressions ("z"), removal of the newest copy ("x"), a rotation armed
  // to happen mid-read ("m"), the collector going down ("d") and coming back
  // ("u"), and a restart of the agent ("s").
  void Run(const std::string &text, Style style) {
    std::istringstream script(text);
    for (std::string step; script >> step;) {
      if (step[0] == 'a') lines_.Append(Live(), "app", std::atoi(step.c_str() + 1));
      if (step == "p") Pass();
      if (step == "r") Rotate(style);
      if (step == "z") Compress();
      if (step == "x") std::filesystem::remove(Copy(1));
      if (step == "d") LinkDown();
      if (step == "u") LinkUp();
      if (step == "s") Restart();
      if (step == "m")
        armed = [this, style] {
          Rotate(style);
          lines_.Append(Live(), "app", 20);
        };
    }
    EXPECT_FALSE(armed) << "the mid-read rotation never ran";
  }
  Tally Delivered() const { return lines_.Count(records_, 0); }

  Ledger lines_;
  std::vector<std::string> records_;
  int copies_ = 0;
  bool down_ = false;
};

struct Scenario {
  const char *name;
  const char *script;
  long lost = 0;  // lines that were gone from every disk before a look could find them
};

class ExternalRotationTest : public RotationTest,
                             public ::testing::WithParamInterface<std::tuple<Scenario, Style>> {};

// Every line written to app.log arrives once and whole, in each scenario
// and with either style of rotation, but those that no look could reach.
TEST_P(ExternalRotationTest, EveryLineArrivesOnce) {
  const auto &[scenario, style] = GetParam();
  logtest::AddFile(Live());
  Run(scenario.script, style);
  Tally t = Delivered();
  std::cout << scenario.name << "/" << ::testing::PrintToString(style) << ": " << t << "\n";
  EXPECT_EQ(t.lost, scenario.lost) << t;
  EXPECT_EQ(t.dup, 0) << t;
  EXPECT_EQ(t.garbled, 0) << t;
}

INSTANTIATE_TEST_SUITE_P(
    Delivery, ExternalRotationTest,
    ::testing::Combine(
        ::testing::Values(
            Scenario{"UnreadEndOfTheOldFileGoesFirst", "a40 p a25 r a10 p"},
            Scenario{"NewFileGrownPastTheOldOffsetIsReadWhole", "a40 p a25 r a120 p"},
            Scenario{"FileThatLivedBetweenTwoPassesIsSent", "a40 p a25 r a30 r a10 p"},
            Scenario{"RotationInTheMiddleOfAReadLosesNothing", "a1500 m p p p"},
            Scenario{"RotationBetweenBurstsThenACopyBetweenPasses", "a300 m p a200 r a10 p p"},
            Scenario{"RotationWhileAMovedFileIsBeingSent", "a100 p a300 r a250 m p p"},
            // delaycompress: the old file is compressed and removed before the
            // next look; what was unread in it comes from the held descriptor,
            // and no byte of a .gz is ever sent.
            Scenario{"CompressedAfterItWasTakenOverIsReadToItsEnd",
                     "a40 p a25 r a10 p a30 r z a5 p p"},
            // While the collector is away every pass still follows the
            // file: each generation is held before it is compressed.
            Scenario{"GenerationsRotatedDuringAnOutageAllArrive",
                     "a100 p d a50 r a50 p r z a50 p r z a50 p r z a50 p u p p"},
            // Every unsent file is saved, so a start finds each again.
            Scenario{"RestartDuringAnOutageFindsEveryUnsentFile",
                     "a100 p d a50 r a50 p r a50 p s u p p"},
            // The oldest unsent file was compressed away before the start:
            // its 50 lines are gone, the newer files are still found.
            Scenario{"RestartAfterTheOldestUnsentFileWentFindsTheNewerOnes",
                     "a100 p d a50 r a50 p r z a50 p s u p p", 50}),
        ::testing::Values(Style::kCreate, Style::kCopyTruncate)),
    [](const ::testing::TestParamInfo<std::tuple<Scenario, Style>> &info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) == Style::kCreate ? "Create" : "CopyTruncate");
    });

// app.log and app.log.json are both tailed: renaming app.log must not send
// app.log.json again as a file that lived at app.log, nor may a tailed
// app.log.1 be sent twice when app.log is rotated onto it.
TEST_F(RotationTest, TailedSiblingIsSentByItsOwnNodeOnly) {
  lines_.Append(Live(), "app", 10);
  lines_.Append(Live() + ".json", "json", 50);
  for (const std::string &name : {Live(), Live() + ".json", Copy(1)}) logtest::AddFile(name);
  Pass();
  lines_.Append(Live(), "app", 5);
  Rotate(Style::kCreate);
  lines_.Append(Live(), "app", 5);
  Pass();
  Pass();
  Tally t = Delivered();
  EXPECT_EQ(t.lost, 0) << t;
  EXPECT_EQ(t.dup, 0) << t;
}

// Twenty rotations between two looks: the sixteen oldest files that lived
// at the path in between are sent, the rest are given up and said.
TEST_F(RotationTest, MoreThanSixteenFilesBetweenTwoLooksAreBoundedAndSaid) {
  logtest::AddFile(Live());
  Run("a10 p a1 r a1 r a1 r a1 r a1 r a1 r a1 r a1 r a1 r a1 r a1 r a1 r a1 r a1 r a1 r a1 r a1 r "
      "a1 r a1 r a1 r a1 p",
      Style::kCreate);
  Tally t = Delivered();
  EXPECT_EQ(t.lost, 3) << t;  // the three youngest of the nineteen in between
  EXPECT_EQ(t.dup, 0) << t;
  EXPECT_NE(DiagLog().find("3 files that lived at log file " + Live() +
                           " between two looks were not sent (16 at most are taken)"),
            std::string::npos)
      << DiagLog();
}

// The descriptor limit leaves room to hold nothing.  Moved files are then
// found again by their identity among their siblings, and one that is gone
// by then is said lost, not skipped in silence.
TEST_F(RotationTest, WithNoDescriptorToHoldMovedFilesAreFoundByIdentityOrSaidLost) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = 64;  // the reserve the agent keeps for everything else
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  logtest::AddFile(Live());
  Run("a40 p a25 r a10 p a20 r a5 p", Style::kCreate);
  EXPECT_EQ(Delivered().lost, 0) << Delivered();
  Run("d a10 p r x a5 u p", Style::kCreate);  // unsent, moved, then gone
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(Delivered().lost, 10) << Delivered();
  EXPECT_NE(DiagLog().find("The unsent end of log file " + Live() +
                           " was moved away and could not be found again"),
            std::string::npos)
      << DiagLog();
}

// More files than the readers' index keeps beyond the tailed ones: every
// tailed file stays known however many there are, so one renamed within its
// watched directory after all of them were read continues from its offset
// under its new name, and is not read on under its old one.
TEST_F(RotationTest, RenamedAfterMoreFilesThanTheReadersBoundContinuesFromItsOffset) {
  const std::string watched = dir / "watched";
  ASSERT_EQ(mkdir(watched.c_str(), 0755), 0);
  logtest::AddDirectory(watched);
  for (int i = 0; i < 4200; ++i)
    lines_.Append(watched + "/f" + std::to_string(i), "f" + std::to_string(i), 1);
  LogDirectoryScanPass();
  Pass();
  lines_.Append(watched + "/f0", "f0", 2);
  std::filesystem::rename(watched + "/f0", watched + "/f0.moved");
  LogDirectoryScanPass();
  Pass();
  Pass();
  Tally t = Delivered();
  EXPECT_EQ(t.lost, 0) << t;
  EXPECT_EQ(t.dup, 0) << t;
}

// A watched file is renamed within its directory (app.log -> app.log.1,
// with lines still unread) and a new app.log appears; the scan finds
// app.log.1 before the next pass.  It continues where app.log was left:
// nothing is sent twice, nothing is lost.
TEST_F(InProcessDeliveryTest, RenamedFileInWatchedDirectoryContinuesFromItsOffset) {
  const std::string watched = dir / "watched";
  ASSERT_EQ(mkdir(watched.c_str(), 0755), 0);
  logtest::AddDirectory(watched);
  lines_.Append(watched + "/app.log", "app", 50);
  LogDirectoryScanPass();
  Pass();
  lines_.Append(watched + "/app.log", "app", 20);
  ASSERT_EQ(rename((watched + "/app.log").c_str(), (watched + "/app.log.1").c_str()), 0);
  lines_.Append(watched + "/app.log", "app", 30);
  LogDirectoryScanPass();
  Pass();
  Pass();
  Tally t = Delivered();
  std::cout << "renamed in watched directory: " << t << "\n";
  EXPECT_EQ(t.lost, 0) << t;
  EXPECT_EQ(t.dup, 0) << t;
  EXPECT_EQ(t.garbled, 0) << t;
}

}  // namespace
