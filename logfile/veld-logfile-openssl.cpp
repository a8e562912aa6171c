// veld-logfile-openssl: loading OpenSSL's libssl (which brings libcrypto)
// and taking each call the tls room makes from it.

#include "veld-logfile-openssl.h"

#include <dlfcn.h>

#include <mutex>
#include <type_traits>

namespace logfile {

namespace {

// The soname of the OpenSSL 3 the agent is built against.
constexpr char kLibrary[] = "libssl.so.3";

OpenSsl g_api;
bool g_loaded = false;
std::string g_why;  // why it could not be loaded

// Every entry of g_api from `lib`; false with g_why naming the one missing.
bool TakeCalls(void *lib) {
  bool ok = true;
  auto take = [&](auto &call, const char *name) {
    void *sym = dlsym(lib, name);
    if (sym == nullptr && ok) {
      g_why = std::string("dlsym ") + name + ": " + dlerror();
      ok = false;
    }
    call = reinterpret_cast<std::remove_reference_t<decltype(call)>>(sym);
  };
#define VELD_TAKE(f) take(g_api.f, #f)
  VELD_TAKE(OPENSSL_init_ssl);
  VELD_TAKE(TLS_client_method);
  VELD_TAKE(SSL_CTX_new);
  VELD_TAKE(SSL_CTX_free);
  VELD_TAKE(SSL_CTX_ctrl);
  VELD_TAKE(SSL_CTX_set_verify);
  VELD_TAKE(SSL_CTX_load_verify_locations);
  VELD_TAKE(SSL_CTX_use_certificate_chain_file);
  VELD_TAKE(SSL_CTX_use_PrivateKey_file);
  VELD_TAKE(SSL_CTX_check_private_key);
  VELD_TAKE(SSL_new);
  VELD_TAKE(SSL_free);
  VELD_TAKE(SSL_ctrl);
  VELD_TAKE(SSL_set_fd);
  VELD_TAKE(SSL_get0_param);
  VELD_TAKE(SSL_connect);
  VELD_TAKE(SSL_is_init_finished);
  VELD_TAKE(SSL_get_verify_result);
  VELD_TAKE(SSL_get_error);
  VELD_TAKE(SSL_read);
  VELD_TAKE(SSL_write);
  VELD_TAKE(SSL_shutdown);
  VELD_TAKE(X509_VERIFY_PARAM_set1_host);
  VELD_TAKE(X509_VERIFY_PARAM_set1_ip_asc);
  VELD_TAKE(X509_VERIFY_PARAM_set_hostflags);
  VELD_TAKE(X509_verify_cert_error_string);
  VELD_TAKE(ERR_peek_last_error);
  VELD_TAKE(ERR_reason_error_string);
  VELD_TAKE(ERR_error_string_n);
  VELD_TAKE(ERR_clear_error);
#undef VELD_TAKE
  return ok;
}

}  // namespace

const OpenSsl *LoadOpenSsl(std::string *why) {
  static std::once_flag once;
  std::call_once(once, [] {
    // Kept for the life of the process: OpenSSL cannot be unloaded cleanly.
    void *lib = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (lib == nullptr) {
      g_why = std::string("dlopen ") + kLibrary + ": " + dlerror();
      return;
    }
    g_loaded = TakeCalls(lib);
  });
  if (!g_loaded) *why = g_why;
  return g_loaded ? &g_api : nullptr;
}

const OpenSsl &Ssl() { return g_api; }

}  // namespace logfile
