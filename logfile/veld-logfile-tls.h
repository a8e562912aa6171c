// veld-logfile-tls: the TLS session of a tls or relp-tls link, and the byte
// pipe a session-speaking transport writes and reads through (TLS or the
// bare socket).  The server's certificate is always verified against
// RemoteCAFile, and its name against RemoteServerName (RemoteHost when
// unset: an address is matched against the certificate's IP entries); TLS
// 1.2 at least; a client certificate when RemoteCertFile and RemoteKeyFile
// are set.  No record is ever written before a handshake has succeeded, and
// a failed one is never followed by anything but closing the socket.  All
// of it runs under SocketMutex.
#ifndef VELD_LOGFILE_TLS_H
#define VELD_LOGFILE_TLS_H

#include <sys/types.h>

#include <chrono>
#include <cstddef>

#include "veld-logfile.h"

typedef struct ssl_st SSL;

namespace logfile {

using Deadline = std::chrono::steady_clock::time_point;

// Called by LogInit: drops the context of an earlier link; `used` whether
// this link speaks TLS (the context is made at its first connection).
void TlsConfigure(bool used);

class TlsSession {
 public:
  ~TlsSession() { Close(); }
  // The handshake on the connected d.socket, which it makes non-blocking,
  // within kStallSeconds.  False once the failure is in the diagnostic log,
  // with the verification error where there is one.
  bool Open(const SOCKET_DATA &d);
  // Sends the close notification without waiting for the peer's; frees.
  void Close();
  SSL *ssl() const { return ssl_; }

 private:
  SSL *ssl_ = nullptr;
};

// What a session is spoken over: `tls` when set, else the bare socket
// (which Open made non-blocking).  Every wait ends at the deadline.
struct Pipe {
  int fd;
  TlsSession *tls;  // null for the bare socket
  // Writes buf[0..n); the bytes that went, all of them unless the
  // connection broke or the deadline passed.
  size_t Write(const char *buf, size_t n, Deadline deadline);
  // Reads what has come, waiting for something until the deadline: the byte
  // count; 0 when the peer has closed; -1 on an error or at the deadline.
  ssize_t Read(char *buf, size_t n, Deadline deadline);
  // Without waiting: whether the peer has closed or broken the connection,
  // or sent something we did not ask for.
  bool HungUp();
};

}  // namespace logfile

#endif
