// What each link kind promises about the file's offsets, driven pass by pass
// in this process: a record the collector did not take leaves the offset
// before it, so the next pass sends it again.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "logfile_test_support.h"
#include "test_util.h"

namespace {

class LinkDeliveryTest : public logtest::LogCollectionTest {};

// A UDP refusal stops the pass.  With no listener on the port, every pass
// sends until the first refusal comes back (at once, on loopback) and
// stops there with the offset kept; once a collector listens, the next pass
// sends every line, none lost.
TEST_F(LinkDeliveryTest, UdpRefusalStopsThePassAndKeepsTheOffset) {
  int port;
  {
    veld::UniqueFd probe(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(probe.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(probe.get(), reinterpret_cast<sockaddr *>(&a), &len), 0);
    port = ntohs(a.sin_port);
  }  // nobody listens there now
  CfgHashAdd(kCfgRemotePort, std::to_string(port).c_str());
  ASSERT_EQ(LogInit(), 1);
  P_LOGFILE_LIST node = logtest::AddFile(dir / "app.log");
  std::string text;
  for (int pass = 0; pass < 3; ++pass) {
    for (int i = 0; i < 500; ++i)
      text += "pass " + std::to_string(pass) + " line " + std::to_string(i) + "\n";
    veldtest::WriteFile(dir / "app.log", text);
    LogFilePass((dir / "positions").c_str());
    EXPECT_EQ(node->filesize, 0u) << "pass " << pass;
  }
  // The collector comes: on the same port, read by a thread.
  veld::UniqueFd server(socket(AF_INET, SOCK_DGRAM, 0));
  int big = 16 << 20;
  setsockopt(server.get(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(server.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  LogFilePass((dir / "positions").c_str());
  EXPECT_EQ(node->filesize, text.size());
  std::vector<std::string> got;
  char buf[8192];
  for (ssize_t n; (n = recv(server.get(), buf, sizeof buf, MSG_DONTWAIT)) > 0;)
    got.emplace_back(buf, static_cast<size_t>(n));
  ASSERT_EQ(got.size(), 1500u);
  EXPECT_EQ(got.front(), Rec("pass 0 line 0\n"));
  EXPECT_EQ(got.back(), Rec("pass 2 line 499\n"));
  EXPECT_EQ(logtest::CountOf(DiagLog(),
                             "Failed to send message to host: 127.0.0.1:" + std::to_string(port)),
            2u)
      << DiagLog() << "said once, and its repeats counted once the link works";
}

}  // namespace
