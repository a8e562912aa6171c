// veld-logfile-tls: the client side of TLS for the collector link, and the
// byte pipe the session-speaking transports use.
//
// The context is made at the first connection of a TLS link and kept; one
// that cannot be made (an unreadable CA bundle, a client key that does not
// fit its certificate) is tried again at the next connection, so mending
// the file needs no restart, and meanwhile nothing is sent at all.  Every
// wait is a poll on the non-blocking socket, bounded by the stall limit, so
// a server that accepts and never answers holds the lock for 15 s at most.
// Failures of one kind are said once and counted while they repeat
// (LogRepeat), like the link's outage entries.

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "veld-config-unix.h"
#include "veld-logfile-link.h"
#include "veld-logfile-openssl.h"
#include "veld-logfile-tls.h"

namespace logfile {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kMsgTlsFailed[] = "TLS handshake with %s:%d failed: %s";
constexpr char kMsgTlsSetup[] = "TLS cannot be set up for %s:%d: %s";

// The context of the link, made by Context() under SocketMutex.
SSL_CTX *g_ctx = nullptr;
bool g_used = false;     // the link speaks TLS (set by LogInit)
LogRepeat g_tls_failed;  // handshakes and set-up failing, said once and counted

// The reason OpenSSL gives for the last error it queued, and the queue
// emptied, so that no later call reads an old error as its own.
std::string OpenSslReason() {
  unsigned long e = Ssl().ERR_peek_last_error();
  std::string why;
  if (e == 0) {
    why = "no reason given";
  } else if (const char *r = Ssl().ERR_reason_error_string(e); r != nullptr) {
    why = r;
  } else {
    char buf[256];
    Ssl().ERR_error_string_n(e, buf, sizeof buf);
    why = buf;
  }
  Ssl().ERR_clear_error();
  return why;
}

const char *Setting(const char *key) {
  const char *v = CfgHashGet(key);
  return v != nullptr && v[0] != '\0' ? v : nullptr;
}

// The context from the settings; null with *why set when it cannot be made.
SSL_CTX *Context(std::string *why) {
  if (g_ctx != nullptr) return g_ctx;
  if (LoadOpenSsl(why) == nullptr) return nullptr;
  Ssl().OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS |
                             OPENSSL_INIT_NO_LOAD_CONFIG,
                         nullptr);
  SSL_CTX *ctx = Ssl().SSL_CTX_new(Ssl().TLS_client_method());
  if (ctx == nullptr) {
    *why = "SSL_CTX_new: " + OpenSslReason();
    return nullptr;
  }
  // Partial writes let a record's bytes be counted as they go; a moving
  // buffer lets a write that must wait be retried from the same place.
  Ssl().SSL_CTX_ctrl(ctx, SSL_CTRL_MODE,
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER, nullptr);
  Ssl().SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  const char *ca =
      Setting(kCfgRemoteCAFile) != nullptr ? Setting(kCfgRemoteCAFile) : kDefaultCAFile;
  const char *cert = Setting(kCfgRemoteCertFile);
  const char *key = Setting(kCfgRemoteKeyFile);
  if (Ssl().SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr) != 1) {
    *why = "TLS 1.2: " + OpenSslReason();
  } else if (Ssl().SSL_CTX_load_verify_locations(ctx, ca, nullptr) != 1) {
    *why = std::string("RemoteCAFile ") + ca + ": " + OpenSslReason();
  } else if (cert != nullptr && key != nullptr &&
             Ssl().SSL_CTX_use_certificate_chain_file(ctx, cert) != 1) {
    *why = std::string("RemoteCertFile ") + cert + ": " + OpenSslReason();
  } else if (cert != nullptr && key != nullptr &&
             (Ssl().SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1 ||
              Ssl().SSL_CTX_check_private_key(ctx) != 1)) {
    *why = std::string("RemoteKeyFile ") + key + ": " + OpenSslReason();
  } else {
    g_ctx = ctx;
    return ctx;
  }
  Ssl().SSL_CTX_free(ctx);
  return nullptr;
}

// The name the certificate must carry: an address is matched against its IP
// entries, a name against its DNS entries (and is sent as SNI).
bool SetPeerName(SSL *ssl, const char *name) {
  X509_VERIFY_PARAM *param = Ssl().SSL_get0_param(ssl);
  unsigned char addr[16];
  if (inet_pton(AF_INET, name, addr) == 1 || inet_pton(AF_INET6, name, addr) == 1)
    return Ssl().X509_VERIFY_PARAM_set1_ip_asc(param, name) == 1;
  Ssl().X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return Ssl().X509_VERIFY_PARAM_set1_host(param, name, 0) == 1 &&
         Ssl().SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                        const_cast<char *>(name)) == 1;
}

// Waits for `events` on `fd` until `deadline`; false at the deadline.
bool WaitFor(int fd, short events, Deadline deadline) {
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) left = 0;
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(std::min<decltype(left)>(left, INT_MAX)));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

// What an SSL call's failure asks for: a wait for reading or writing (the
// events), or nothing when the session cannot go on (0).
short WantOf(SSL *ssl, int rc) {
  switch (Ssl().SSL_get_error(ssl, rc)) {
    case SSL_ERROR_WANT_READ:
      return POLLIN;
    case SSL_ERROR_WANT_WRITE:
      return POLLOUT;
    default:
      return 0;
  }
}

// Why a handshake that ended with `rc` failed.
std::string HandshakeReason(SSL *ssl, int rc, bool timed_out) {
  if (timed_out) {
    Ssl().ERR_clear_error();
    return "timed out after " + std::to_string(kStallSeconds) + " s";
  }
  long v = Ssl().SSL_get_verify_result(ssl);
  if (v != X509_V_OK) {
    Ssl().ERR_clear_error();
    return std::string("certificate not accepted: ") + Ssl().X509_verify_cert_error_string(v);
  }
  if (Ssl().SSL_get_error(ssl, rc) == SSL_ERROR_SYSCALL && Ssl().ERR_peek_last_error() == 0) {
    std::string why = errno != 0 ? std::strerror(errno) : "the collector closed the connection";
    Ssl().ERR_clear_error();
    return why;
  }
  return OpenSslReason();
}

}  // namespace

void TlsConfigure(bool used) {
  if (g_ctx != nullptr) Ssl().SSL_CTX_free(g_ctx);
  g_ctx = nullptr;
  g_used = used;
  g_tls_failed.Clear();
}

bool TlsSession::Open(const SOCKET_DATA &d) {
  Close();
  std::string why;
  SSL_CTX *ctx = g_used ? Context(&why) : nullptr;
  if (ctx == nullptr) {
    if (why.empty()) why = "the link was not set up for TLS";
    g_tls_failed.Report(2, kMsgTlsSetup, ServerName(d), d.port, why.c_str());
    return false;
  }
  const int flags = fcntl(d.socket, F_GETFL);
  const char *name =
      Setting(kCfgRemoteServerName) != nullptr ? Setting(kCfgRemoteServerName) : ServerName(d);
  ssl_ = Ssl().SSL_new(ctx);
  if (flags < 0 || fcntl(d.socket, F_SETFL, flags | O_NONBLOCK) != 0 || ssl_ == nullptr ||
      Ssl().SSL_set_fd(ssl_, d.socket) != 1 || !SetPeerName(ssl_, name)) {
    why = "session set-up: " + OpenSslReason();
    g_tls_failed.Report(2, kMsgTlsFailed, ServerName(d), d.port, why.c_str());
    Close();
    return false;
  }
  const Deadline deadline = Clock::now() + std::chrono::seconds(kStallSeconds);
  for (;;) {
    errno = 0;
    int rc = Ssl().SSL_connect(ssl_);
    if (rc == 1) break;
    short want = WantOf(ssl_, rc);
    bool timed_out = want != 0 && !WaitFor(d.socket, want, deadline);
    if (want == 0 || timed_out) {
      why = HandshakeReason(ssl_, rc, timed_out);
      g_tls_failed.Report(2, kMsgTlsFailed, ServerName(d), d.port, why.c_str());
      Ssl().SSL_free(ssl_);  // no close notification after a failed handshake
      ssl_ = nullptr;
      return false;
    }
  }
  g_tls_failed.Clear();
  return true;
}

void TlsSession::Close() {
  if (ssl_ == nullptr) return;
  // One try at the close notification, never a wait for the peer's.
  if (Ssl().SSL_is_init_finished(ssl_)) (void)Ssl().SSL_shutdown(ssl_);
  Ssl().ERR_clear_error();
  Ssl().SSL_free(ssl_);
  ssl_ = nullptr;
}

size_t Pipe::Write(const char *buf, size_t n, Deadline deadline) {
  size_t done = 0;
  while (done < n) {
    short want = POLLOUT;
    const size_t chunk = std::min<size_t>(n - done, INT_MAX);
    if (tls != nullptr) {
      int k = Ssl().SSL_write(tls->ssl(), buf + done, static_cast<int>(chunk));
      if (k > 0) {
        done += static_cast<size_t>(k);
        continue;
      }
      if ((want = WantOf(tls->ssl(), k)) == 0) break;
    } else {
      ssize_t k = send(fd, buf + done, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (k > 0) {
        done += static_cast<size_t>(k);
        continue;
      }
      if (k < 0 && errno == EINTR) continue;
      if (k == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
    }
    if (!WaitFor(fd, want, deadline)) break;
  }
  if (tls != nullptr) Ssl().ERR_clear_error();
  return done;
}

ssize_t Pipe::Read(char *buf, size_t n, Deadline deadline) {
  const size_t chunk = std::min<size_t>(n, INT_MAX);
  for (;;) {
    short want = POLLIN;
    if (tls != nullptr) {
      int k = Ssl().SSL_read(tls->ssl(), buf, static_cast<int>(chunk));
      if (k > 0) return k;
      if (Ssl().SSL_get_error(tls->ssl(), k) == SSL_ERROR_ZERO_RETURN) return 0;
      if ((want = WantOf(tls->ssl(), k)) == 0) {
        Ssl().ERR_clear_error();
        return -1;
      }
    } else {
      ssize_t k = recv(fd, buf, chunk, MSG_DONTWAIT);
      if (k >= 0) return k;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    }
    if (!WaitFor(fd, want, deadline)) return -1;
  }
}

bool Pipe::HungUp() {
  char byte;
  if (tls == nullptr) {
    ssize_t n;
    do {
      n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
  }
  // Reading lets the session take what the server may send unasked (new
  // session tickets); anything that reaches us as data, or a close, ends it.
  int k = Ssl().SSL_read(tls->ssl(), &byte, 1);
  bool alive = k <= 0 && Ssl().SSL_get_error(tls->ssl(), k) == SSL_ERROR_WANT_READ;
  Ssl().ERR_clear_error();
  return !alive;
}

}  // namespace logfile
