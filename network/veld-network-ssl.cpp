// veld-network-ssl: TLS on a socket object, and key and certificate making.
//
// The TLS part of a ZUN_SOCKET owns its context and connection; this module
// creates them, releases a connection when a handshake fails or a shutdown
// completes, and releases a context when another replaces it.  NetSocketFree
// releases whatever is left.
//
// Keys and certificates are made by running the system's openssl program
// with an argument vector, never through a shell: subjects, file names and
// pass phrases reach it as single arguments whatever characters they hold.

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>

#include <openssl/ssl.h>

#include "veld-network-ssl.h"

extern char **environ;

const char *veld_openssl_program = "/usr/bin/openssl";

namespace {

constexpr const char kCipherList[] = "DEFAULT";
// Characters refused in every argument of key generation.  They were once
// the only guard against a shell; callers still rely on the refusal.
constexpr const char kRefused[] = "`;|";
constexpr const char kDevNull[] = "/dev/null";

P_NETWORK_SSL_OPTS TlsPart(P_ZUN_SOCKET sock) { return sock != nullptr ? sock->sslOpts : nullptr; }

void ReleaseConnection(P_NETWORK_SSL_OPTS t) {
  SSL_free(t->ssl);
  t->ssl = nullptr;
}

void ReleaseContext(P_NETWORK_SSL_OPTS t) {
  SSL_CTX_free(t->context);
  t->context = nullptr;
}

using Handshake = int (*)(SSL *);

bool RunHandshake(P_ZUN_SOCKET sock, Handshake handshake) {
  P_NETWORK_SSL_OPTS t = TlsPart(sock);
  if (t == nullptr || sock->sockOpts == nullptr) return false;
  if (t->ssl == nullptr) {
    if (t->context == nullptr) return false;
    t->ssl = SSL_new(t->context);
    if (t->ssl == nullptr) return false;
  }
  if (SSL_set_fd(t->ssl, sock->sockOpts->sock) != 1 || handshake(t->ssl) != 1) {
    ReleaseConnection(t);
    return false;
  }
  return true;
}

bool AnyRefused(std::initializer_list<const char *> args) {
  for (const char *a : args) {
    if (a == nullptr || std::strpbrk(a, kRefused) != nullptr) return true;
  }
  return false;
}

// Runs veld_openssl_program with `argv` (argv[0] included, null-terminated),
// standard input, output and error on /dev/null so that it can neither
// wait for a terminal nor write over the caller's streams.  True only when
// it ran and exited with status 0.
bool RunOpenssl(char *const argv[]) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  bool ok = posix_spawn_file_actions_addopen(&actions, 0, kDevNull, O_RDONLY, 0) == 0 &&
            posix_spawn_file_actions_addopen(&actions, 1, kDevNull, O_WRONLY, 0) == 0 &&
            posix_spawn_file_actions_adddup2(&actions, 1, 2) == 0;
  pid_t pid = -1;
  if (ok) ok = posix_spawn(&pid, veld_openssl_program, &actions, nullptr, argv, environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  if (!ok) return false;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  return r == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int SSLInit() {
  // The configuration file stays unread: its path and contents are not
  // ours to vouch for, and nothing here needs it.
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS |
                       OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
                       OPENSSL_INIT_NO_LOAD_CONFIG,
                   nullptr);
  return 1;
}

int SSLPasswordCallback(char *buff, int size, int /*rwflag*/, void *password) {
  if (buff == nullptr || password == nullptr || size <= 0) return 0;
  std::strncpy(buff, static_cast<const char *>(password), static_cast<size_t>(size));
  buff[size - 1] = '\0';
  return static_cast<int>(std::strlen(buff));
}

int SSLInstall(P_ZUN_SOCKET sock, const char *serverCert, const char *serverKey,
               const char *password, const SSL_METHOD *sslMethod) {
  P_NETWORK_SSL_OPTS t = TlsPart(sock);
  if (serverCert == nullptr || t == nullptr || password == nullptr || serverKey == nullptr ||
      sslMethod == nullptr)
    return 0;
  ReleaseContext(t);
  t->context = SSL_CTX_new(sslMethod);
  if (t->context == nullptr) return 0;
  SSL_CTX *ctx = t->context;
  SSL_CTX_set_default_passwd_cb(ctx, SSLPasswordCallback);
  SSL_CTX_set_default_passwd_cb_userdata(ctx, const_cast<char *>(password));
  bool loaded = SSL_CTX_use_certificate_file(ctx, serverCert, SSL_FILETYPE_PEM) == 1 &&
                SSL_CTX_use_PrivateKey_file(ctx, serverKey, SSL_FILETYPE_PEM) == 1;
  // The pass phrase is needed only while the key loads; the context must
  // not keep a pointer to the caller's text beyond this call.
  SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
  if (!loaded || SSL_CTX_check_private_key(ctx) != 1 ||
      SSL_CTX_set_cipher_list(ctx, kCipherList) == 0) {
    ReleaseContext(t);
    return 0;
  }
  return 1;
}

int SSLSetContext(P_ZUN_SOCKET sock, const SSL_METHOD *sslMethod) {
  P_NETWORK_SSL_OPTS t = TlsPart(sock);
  if (t == nullptr || sslMethod == nullptr) return 0;
  ReleaseContext(t);
  t->context = SSL_CTX_new(sslMethod);
  return t->context != nullptr ? 1 : 0;
}

int SSLConnect(P_ZUN_SOCKET sock) { return RunHandshake(sock, SSL_connect) ? 1 : 0; }

int SSLAccept(P_ZUN_SOCKET sock) { return RunHandshake(sock, SSL_accept) ? 1 : 0; }

int SSLWrite(P_ZUN_SOCKET sock, const char *buff, int size, int *length) {
  P_NETWORK_SSL_OPTS t = TlsPart(sock);
  if (buff == nullptr || t == nullptr || t->ssl == nullptr || length == nullptr) return 0;
  *length = SSL_write(t->ssl, buff, size);
  return *length >= 0 ? 1 : 0;
}

int SSLRead(P_ZUN_SOCKET sock, char *buff, int size, int *length) {
  P_NETWORK_SSL_OPTS t = TlsPart(sock);
  if (buff == nullptr || t == nullptr || t->ssl == nullptr || length == nullptr) return 0;
  *length = SSL_read(t->ssl, buff, size);
  return *length >= 0 ? 1 : 0;
}

int SSLShutdown(P_ZUN_SOCKET sock) {
  P_NETWORK_SSL_OPTS t = TlsPart(sock);
  if (t == nullptr || t->ssl == nullptr) return 0;
  if (SSL_shutdown(t->ssl) != 1) return 0;
  ReleaseConnection(t);
  return 1;
}

int SSLGenrsaKeyRequest(const char *password, const char *outKeyFile, const char *outRequestFile,
                        const char *subject) {
  if (AnyRefused({password, outKeyFile, outRequestFile, subject})) return 0;
  std::string passin = std::string("pass:") + password;
  // clang-format off
  const char *argv[] = {veld_openssl_program, "req",
                        "-passin", passin.c_str(),
                        "-new", "-nodes",
                        "-out", outRequestFile,
                        "-keyout", outKeyFile,
                        "-subj", subject,
                        nullptr};
  // clang-format on
  return RunOpenssl(const_cast<char *const *>(argv)) ? 1 : 0;
}

int SSLGenCertificate(const char *password, const char *daysValid, const char *inCsr,
                      const char *signKey, const char *serverCrt, const char *subject) {
  if (AnyRefused({password, daysValid, inCsr, signKey, serverCrt, subject})) return 0;
  std::string passin = std::string("pass:") + password;
  // clang-format off
  const char *argv[] = {veld_openssl_program, "req",
                        "-new", "-nodes", "-x509",
                        "-passin", passin.c_str(),
                        "-out", serverCrt,
                        "-keyout", signKey,
                        "-days", daysValid,
                        "-subj", subject,
                        nullptr};
  // clang-format on
  return RunOpenssl(const_cast<char *const *>(argv)) ? 1 : 0;
}
