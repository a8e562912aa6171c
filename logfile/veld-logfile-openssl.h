// veld-logfile-openssl: OpenSSL, loaded when a link first speaks TLS.  The
// agent is not linked with it: a host that never uses TLS never maps it,
// and binding its thousands of symbols at every start would cost more
// resident memory than the agent itself.  Every call the tls room makes goes
// through this table.
#ifndef VELD_LOGFILE_OPENSSL_H
#define VELD_LOGFILE_OPENSSL_H

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string>

namespace logfile {

struct OpenSsl {
#define VELD_OPENSSL_CALL(f) decltype(&::f) f
  VELD_OPENSSL_CALL(OPENSSL_init_ssl);
  VELD_OPENSSL_CALL(TLS_client_method);
  VELD_OPENSSL_CALL(SSL_CTX_new);
  VELD_OPENSSL_CALL(SSL_CTX_free);
  VELD_OPENSSL_CALL(SSL_CTX_ctrl);
  VELD_OPENSSL_CALL(SSL_CTX_set_verify);
  VELD_OPENSSL_CALL(SSL_CTX_load_verify_locations);
  VELD_OPENSSL_CALL(SSL_CTX_use_certificate_chain_file);
  VELD_OPENSSL_CALL(SSL_CTX_use_PrivateKey_file);
  VELD_OPENSSL_CALL(SSL_CTX_check_private_key);
  VELD_OPENSSL_CALL(SSL_new);
  VELD_OPENSSL_CALL(SSL_free);
  VELD_OPENSSL_CALL(SSL_ctrl);
  VELD_OPENSSL_CALL(SSL_set_fd);
  VELD_OPENSSL_CALL(SSL_get0_param);
  VELD_OPENSSL_CALL(SSL_connect);
  VELD_OPENSSL_CALL(SSL_is_init_finished);
  VELD_OPENSSL_CALL(SSL_get_verify_result);
  VELD_OPENSSL_CALL(SSL_get_error);
  VELD_OPENSSL_CALL(SSL_read);
  VELD_OPENSSL_CALL(SSL_write);
  VELD_OPENSSL_CALL(SSL_shutdown);
  VELD_OPENSSL_CALL(X509_VERIFY_PARAM_set1_host);
  VELD_OPENSSL_CALL(X509_VERIFY_PARAM_set1_ip_asc);
  VELD_OPENSSL_CALL(X509_VERIFY_PARAM_set_hostflags);
  VELD_OPENSSL_CALL(X509_verify_cert_error_string);
  VELD_OPENSSL_CALL(ERR_peek_last_error);
  VELD_OPENSSL_CALL(ERR_reason_error_string);
  VELD_OPENSSL_CALL(ERR_error_string_n);
  VELD_OPENSSL_CALL(ERR_clear_error);
#undef VELD_OPENSSL_CALL
};

// The library, loaded and initialised at the first call; null, with *why
// naming the failing call, when it cannot be.  Later calls return the same.
const OpenSsl *LoadOpenSsl(std::string *why);

// The loaded library; only after LoadOpenSsl has succeeded.
const OpenSsl &Ssl();

}  // namespace logfile

#endif
