// TLS over socket objects on loopback, with keys and certificates made by
// the real openssl program: handshakes, data both ways, clean close, the
// two-step shutdown, loading failures, encrypted keys, and the release of
// contexts and connections (checked by LeakSanitizer in the sanitizer build).

#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "owned_socket.h"
#include "test_util.h"
#include "veld-agent.h"
#include "veld-network-ssl.h"
#include "veld-network.h"

extern char **environ;

namespace {

constexpr const char kLoopback[] = "127.0.0.1";

using Owned = veldtest::OwnedSocket;

// Runs a program with an argument vector, output discarded; its exit status.
int RunProgram(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool DescriptorOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

class SslSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SSLInit();
    dir_ = new veldtest::TempDir();
    std::snprintf(pLogFile, sizeof pLogFile, "%s", (*dir_ / "veld.log").c_str());
    ASSERT_EQ(
        SSLGenCertificate("", "2", "unused.csr", Key().c_str(), Crt().c_str(), "/CN=veld-test"), 1);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string Key() { return *dir_ / "server.key"; }
  static std::string Crt() { return *dir_ / "server.crt"; }

  // A listening server, a client connected to it, and the accepted end.
  void Connect() {
    listener_.p = NetSocket(nullptr, 0, kLoopback, 0, 6, NET_MODE_SERVER, 0);
    ASSERT_TRUE(listener_);
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    getsockname(listener_->sockOpts->sock, reinterpret_cast<sockaddr *>(&sa), &len);
    client_.p = NetSocket(kLoopback, ntohs(sa.sin_port), nullptr, 0, 6, NET_MODE_CLIENT, 0);
    ASSERT_TRUE(client_);
    server_.p = NetAccept(listener_.get());
    ASSERT_TRUE(server_);
  }

  // Both handshakes at once, the server's on a second thread.
  void Handshake() {
    ASSERT_EQ(SSLInstall(server_.get(), Crt().c_str(), Key().c_str(), "", TLS_server_method()), 1);
    ASSERT_EQ(SSLSetContext(client_.get(), TLS_client_method()), 1);
    int accepted = 0;
    std::thread t([&] { accepted = SSLAccept(server_.get()); });
    int connected = SSLConnect(client_.get());
    t.join();
    ASSERT_EQ(connected, 1);
    ASSERT_EQ(accepted, 1);
  }

  static veldtest::TempDir *dir_;
  Owned listener_, client_, server_;
};

veldtest::TempDir *SslSessionTest::dir_ = nullptr;

// --- A whole session

TEST_F(SslSessionTest, DataFlowsBothWaysThenCleanCloseAndTwoStepShutdown) {
  Connect();
  Handshake();
  char buf[64];
  int length = -7;
  ASSERT_EQ(SSLWrite(client_.get(), "ping", 4, &length), 1);
  EXPECT_EQ(length, 4);
  ASSERT_EQ(SSLRead(server_.get(), buf, sizeof(buf), &length), 1);
  EXPECT_EQ(std::string(buf, length), "ping");
  ASSERT_EQ(SSLWrite(server_.get(), "pong!", 5, &length), 1);
  ASSERT_EQ(SSLRead(client_.get(), buf, sizeof(buf), &length), 1);
  EXPECT_EQ(std::string(buf, length), "pong!");

  // The client closes first: its peer has not answered yet.
  EXPECT_EQ(SSLShutdown(client_.get()), 0);
  EXPECT_NE(client_->sslOpts->ssl, nullptr);
  // The server sees the clean close as a read of length 0...
  length = -7;
  EXPECT_EQ(SSLRead(server_.get(), buf, sizeof(buf), &length), 1);
  EXPECT_EQ(length, 0);
  // ...and its own shutdown completes at once, releasing the connection.
  EXPECT_EQ(SSLShutdown(server_.get()), 1);
  EXPECT_EQ(server_->sslOpts->ssl, nullptr);
  // The client's second call reads the server's notification.
  EXPECT_EQ(SSLShutdown(client_.get()), 1);
  EXPECT_EQ(client_->sslOpts->ssl, nullptr);
  // Descriptors and contexts stay until the objects are freed.
  EXPECT_TRUE(DescriptorOpen(client_->sockOpts->sock));
  EXPECT_TRUE(DescriptorOpen(server_->sockOpts->sock));
  EXPECT_NE(server_->sslOpts->context, nullptr);
  EXPECT_EQ(SSLShutdown(client_.get()), 0);  // nothing left to shut down
}

TEST_F(SslSessionTest, GarbageOnTheWireGivesReadErrorWithNegativeLength) {
  Connect();
  Handshake();
  const char junk[] = "this is not a TLS record at all, just bytes on the stream";
  ASSERT_EQ(send(client_->sockOpts->sock, junk, sizeof(junk), 0),
            static_cast<ssize_t>(sizeof(junk)));
  char buf[64];
  int length = 0;
  EXPECT_EQ(SSLRead(server_.get(), buf, sizeof(buf), &length), 0);
  EXPECT_LT(length, 0);
}

TEST_F(SslSessionTest, FreeingObjectsMidSessionReleasesConnectionAndContext) {
  // LeakSanitizer fails this test if NetSocketFree leaves either behind.
  Connect();
  Handshake();
  EXPECT_NE(client_->sslOpts->ssl, nullptr);
  EXPECT_EQ(NetSocketFree(client_.p), 1);
  client_.p = nullptr;
  char buf[8];
  int length = 1;
  // Without a close notification the server sees an error or an end, never data.
  SSLRead(server_.get(), buf, sizeof(buf), &length);
  EXPECT_LE(length, 0);
}

// --- Handshake failures

TEST_F(SslSessionTest, FailedHandshakeReleasesConnectionButKeepsDescriptorAndContext) {
  Connect();
  ASSERT_EQ(SSLSetContext(client_.get(), TLS_client_method()), 1);
  // The server end closes without speaking TLS.
  close(server_->sockOpts->sock);
  server_->sockOpts->sock = -1;
  EXPECT_EQ(SSLConnect(client_.get()), 0);
  EXPECT_EQ(client_->sslOpts->ssl, nullptr);
  EXPECT_NE(client_->sslOpts->context, nullptr);
  EXPECT_TRUE(DescriptorOpen(client_->sockOpts->sock));
}

TEST_F(SslSessionTest, OperationsWithoutContextOrConnectionFail) {
  Connect();
  char buf[8];
  int length = 99;
  EXPECT_EQ(SSLConnect(client_.get()), 0);
  EXPECT_EQ(SSLAccept(server_.get()), 0);
  EXPECT_EQ(client_->sslOpts->ssl, nullptr);
  EXPECT_EQ(SSLWrite(client_.get(), "x", 1, &length), 0);
  EXPECT_EQ(SSLRead(client_.get(), buf, sizeof(buf), &length), 0);
  EXPECT_EQ(length, 99);
  EXPECT_EQ(SSLShutdown(client_.get()), 0);
  EXPECT_EQ(SSLConnect(nullptr), 0);
  EXPECT_EQ(SSLAccept(nullptr), 0);
  EXPECT_EQ(SSLWrite(nullptr, "x", 1, &length), 0);
  EXPECT_EQ(SSLRead(nullptr, buf, sizeof(buf), &length), 0);
  EXPECT_EQ(SSLShutdown(nullptr), 0);
  EXPECT_EQ(SSLSetContext(nullptr, TLS_client_method()), 0);
  EXPECT_EQ(SSLSetContext(client_.get(), nullptr), 0);
}

// --- Loading certificates and keys

TEST_F(SslSessionTest, KeyThatDoesNotMatchCertificateIsRefusedAndContextCleared) {
  std::string otherKey = *dir_ / "other.key", otherCrt = *dir_ / "other.crt";
  ASSERT_EQ(
      SSLGenCertificate("", "2", "unused.csr", otherKey.c_str(), otherCrt.c_str(), "/CN=other"), 1);
  Owned s(NetSocketCreate());
  EXPECT_EQ(SSLInstall(s.get(), Crt().c_str(), otherKey.c_str(), "", TLS_server_method()), 0);
  EXPECT_EQ(s->sslOpts->context, nullptr);
  EXPECT_EQ(SSLInstall(s.get(), otherCrt.c_str(), otherKey.c_str(), "", TLS_server_method()), 1);
  EXPECT_NE(s->sslOpts->context, nullptr);
}

TEST_F(SslSessionTest, MissingFilesAreRefusedAndContextCleared) {
  Owned s(NetSocketCreate());
  std::string none = *dir_ / "absent.pem";
  EXPECT_EQ(SSLInstall(s.get(), none.c_str(), Key().c_str(), "", TLS_server_method()), 0);
  EXPECT_EQ(s->sslOpts->context, nullptr);
  EXPECT_EQ(SSLInstall(s.get(), Crt().c_str(), none.c_str(), "", TLS_server_method()), 0);
  EXPECT_EQ(s->sslOpts->context, nullptr);
}

TEST_F(SslSessionTest, EncryptedKeyOpensWithItsPassPhraseOnly) {
  std::string key = *dir_ / "enc.key", crt = *dir_ / "enc.crt";
  ASSERT_EQ(RunProgram({"/usr/bin/openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                        "rsa_keygen_bits:2048", "-aes-256-cbc", "-pass", "pass:open sesame", "-out",
                        key}),
            0);
  ASSERT_EQ(RunProgram({"/usr/bin/openssl", "req", "-new", "-x509", "-key", key, "-passin",
                        "pass:open sesame", "-days", "1", "-subj", "/CN=encrypted", "-out", crt}),
            0);
  ASSERT_NE(veldtest::ReadFile(key).find("ENCRYPTED"), std::string::npos);

  Owned s(NetSocketCreate());
  for (const char *wrong : {"", "open", "open sesame!"}) {
    EXPECT_EQ(SSLInstall(s.get(), crt.c_str(), key.c_str(), wrong, TLS_server_method()), 0)
        << wrong;
    EXPECT_EQ(s->sslOpts->context, nullptr);
  }
  std::string pass = "open sesame";
  EXPECT_EQ(SSLInstall(s.get(), crt.c_str(), key.c_str(), pass.c_str(), TLS_server_method()), 1);
  ASSERT_NE(s->sslOpts->context, nullptr);
  // The context does not keep pointing at the caller's pass phrase.
  EXPECT_EQ(SSL_CTX_get_default_passwd_cb_userdata(s->sslOpts->context), nullptr);
}

TEST_F(SslSessionTest, NullArgumentIsRefusedBeforeAnythingIsCreated) {
  Owned s(NetSocketCreate());
  ASSERT_EQ(SSLSetContext(s.get(), TLS_server_method()), 1);
  SSL_CTX *before = s->sslOpts->context;
  const SSL_METHOD *m = TLS_server_method();
  EXPECT_EQ(SSLInstall(s.get(), Crt().c_str(), Key().c_str(), nullptr, m), 0);
  EXPECT_EQ(SSLInstall(s.get(), nullptr, Key().c_str(), "", m), 0);
  EXPECT_EQ(SSLInstall(s.get(), Crt().c_str(), nullptr, "", m), 0);
  EXPECT_EQ(SSLInstall(s.get(), Crt().c_str(), Key().c_str(), "", nullptr), 0);
  EXPECT_EQ(SSLInstall(nullptr, Crt().c_str(), Key().c_str(), "", m), 0);
  EXPECT_EQ(s->sslOpts->context, before);
}

TEST_F(SslSessionTest, ReplacingContextsReleasesTheOldOnes) {
  // LeakSanitizer fails this test if a replaced context is left behind.
  Owned s(NetSocketCreate());
  ASSERT_EQ(SSLSetContext(s.get(), TLS_server_method()), 1);
  ASSERT_EQ(SSLSetContext(s.get(), TLS_server_method()), 1);
  ASSERT_EQ(SSLInstall(s.get(), Crt().c_str(), Key().c_str(), "", TLS_server_method()), 1);
  ASSERT_EQ(SSLInstall(s.get(), Crt().c_str(), Key().c_str(), "", TLS_server_method()), 1);
  EXPECT_NE(s->sslOpts->context, nullptr);
}

// --- The pass-phrase callback

TEST(SslPasswordCallback, CopiesAtMostSizeMinusOneCharacters) {
  char buf[8];
  std::memset(buf, 'Z', sizeof(buf));
  char pass[] = "0123456789";
  EXPECT_EQ(SSLPasswordCallback(buf, 4, 0, pass), 3);
  EXPECT_STREQ(buf, "012");
  EXPECT_EQ(buf[4], 'Z');  // nothing written past size
  EXPECT_EQ(SSLPasswordCallback(buf, sizeof(buf), 1, const_cast<char *>("abc")), 3);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(SSLPasswordCallback(buf, sizeof(buf), 0, const_cast<char *>("")), 0);
  EXPECT_EQ(SSLPasswordCallback(buf, sizeof(buf), 0, nullptr), 0);
  EXPECT_EQ(SSLPasswordCallback(nullptr, sizeof(buf), 0, pass), 0);
  EXPECT_EQ(SSLPasswordCallback(buf, 0, 0, pass), 0);
}

}  // namespace
