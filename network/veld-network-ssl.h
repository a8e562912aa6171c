// veld-network-ssl: TLS over the socket objects of veld-network.h, and the
// making of keys, requests and self-signed certificates with the system's
// openssl program.  State lives in the object's TLS part: a context (set by
// SSLInstall or SSLSetContext, released when replaced or when the object is
// freed) and a connection (made by the first handshake, released by a
// completed shutdown, a failed handshake, or NetSocketFree).
//
// Every operation returns 1 for success and 0 for failure and writes no
// diagnostics; OpenSSL's error queue holds the detail.  No locking
// callbacks: use OpenSSL from one thread at a time.
#ifndef VELD_NETWORK_SSL_H
#define VELD_NETWORK_SSL_H

#include <openssl/ssl.h>

#include "veld-network.h"

// Sets OpenSSL up without reading its configuration file.  Always 1.
int SSLInit();

// Gives `sock` a new context for `sslMethod` (e.g. TLS_server_method())
// with the PEM certificate and private key, the cipher list "DEFAULT", and
// `password` for an encrypted key ("" for none; null is refused).  Any
// context the object held before is released first; on failure the object
// is left without one.
int SSLInstall(P_ZUN_SOCKET sock, const char *serverCert, const char *serverKey,
               const char *password, const SSL_METHOD *sslMethod);
// The same with a bare context: no certificate, key or cipher list.
int SSLSetContext(P_ZUN_SOCKET sock, const SSL_METHOD *sslMethod);

// Handshake on the object's descriptor, as client or server.  The first
// call makes the connection from the context; a failed handshake releases
// it again.  The descriptor stays open either way.
int SSLConnect(P_ZUN_SOCKET sock);
int SSLAccept(P_ZUN_SOCKET sock);

// One SSL_write / SSL_read; *length (required) receives its result: bytes
// moved, 0 once the peer has closed, negative on error.  1 unless negative.
int SSLWrite(P_ZUN_SOCKET sock, const char *buff, int size, int *length);
int SSLRead(P_ZUN_SOCKET sock, char *buff, int size, int *length);

// Sends the close notification.  1, with the connection released, once both
// sides have closed; 0 while the peer's notification is still due (call
// again) or on error.  The descriptor stays open.
int SSLShutdown(P_ZUN_SOCKET sock);

// OpenSSL's pem_password_cb, registered by SSLInstall: copies at most
// size - 1 characters of `password` into `buff` and returns their count.
int SSLPasswordCallback(char *buff, int size, int rwflag, void *password);

// Run openssl directly (no shell) to make a new unencrypted RSA key with a
// certificate request, or a new key with a self-signed certificate valid for
// `daysValid` days.  `inCsr` must be given but is not used.  0 when an
// argument is null or holds a backquote, semicolon or vertical bar (nothing
// is run), or when openssl cannot be started or does not exit with 0.
int SSLGenrsaKeyRequest(const char *password, const char *outKeyFile, const char *outRequestFile,
                        const char *subject);
int SSLGenCertificate(const char *password, const char *daysValid, const char *inCsr,
                      const char *signKey, const char *serverCrt, const char *subject);

// The program the two operations above run: "/usr/bin/openssl".  Tests
// alone repoint it, to see a missing program reported and to record the
// arguments it is given.
extern const char *veld_openssl_program;

#endif
