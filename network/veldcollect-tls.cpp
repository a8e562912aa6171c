// veldcollect-tls: the collector's side of TLS, on the library's socket
// objects and its TLS layer.  TLS 1.2 at least.  A certificate made here is
// for the name localhost (its subject), valid 30 days, and serves the demo:
// the agent verifies it with RemoteCAFile set to the certificate itself and
// RemoteServerName = localhost.

#include "veldcollect-tls.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "veld-network-ssl.h"

namespace collect {

namespace {

constexpr int kHandshakeSeconds = 5;  // an agent that does not finish is dropped
constexpr char kSubject[] = "/CN=localhost";
constexpr char kDaysValid[] = "30";

void SayTlsError(const char *what) {
  unsigned long e = ERR_get_error();
  char buf[256] = "no reason given";
  if (e != 0) ERR_error_string_n(e, buf, sizeof buf);
  std::fprintf(stderr, "veldcollect: %s: %s\n", what, buf);
  ERR_clear_error();
}

}  // namespace

bool TlsListen(const Options &o, P_ZUN_SOCKET listener) {
  SSLInit();
  if (access(o.cert, F_OK) != 0 && access(o.key, F_OK) != 0) {
    // The library's own generation; its password is for input keys only.
    if (!SSLGenCertificate("", kDaysValid, o.cert, o.key, o.cert, kSubject)) {
      std::fprintf(stderr, "veldcollect: cannot make a key and certificate in %s and %s\n", o.key,
                   o.cert);
      return false;
    }
    std::fprintf(stderr, "veldcollect: made a key in %s and a certificate for localhost in %s\n",
                 o.key, o.cert);
  }
  if (!SSLInstall(listener, o.cert, o.key, "", TLS_server_method())) {
    SayTlsError("cannot load the certificate and key");
    return false;
  }
  SSL_CTX *ctx = listener->sslOpts->context;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  if (o.ca != nullptr) {
    if (SSL_CTX_load_verify_locations(ctx, o.ca, nullptr) != 1) {
      SayTlsError("cannot load the CA bundle");
      return false;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  return true;
}

bool TlsAccept(P_ZUN_SOCKET listener, P_ZUN_SOCKET agent) {
  SSL_CTX *ctx = listener->sslOpts->context;
  timeval limit{kHandshakeSeconds, 0};
  int fd = agent->sockOpts->sock;
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  SSL_CTX_up_ref(ctx);  // the agent's object releases its own reference
  agent->sslOpts->context = ctx;
  if (SSLAccept(agent) != 1) {
    SayTlsError("TLS handshake with an agent failed");
    return false;
  }
  return true;
}

int AgentRead(P_ZUN_SOCKET agent, char *data, unsigned int size, unsigned int *got) {
  SSL *ssl = agent->sslOpts->ssl;
  if (ssl == nullptr) return NetRead(agent, data, size, got);
  int n = SSL_read(ssl, data, static_cast<int>(size));
  if (n <= 0) {
    *got = n == 0 ? 0 : static_cast<unsigned int>(-1);
    ERR_clear_error();
    if (n < 0) errno = EIO;
    return 0;
  }
  *got = static_cast<unsigned int>(n);
  return 1;
}

bool TlsPending(P_ZUN_SOCKET agent) {
  return agent->sslOpts->ssl != nullptr && SSL_pending(agent->sslOpts->ssl) > 0;
}

}  // namespace collect
