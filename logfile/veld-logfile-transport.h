// veld-logfile-transport: what the link speaks on its socket.  The link
// (veld-logfile-link.cpp) makes and connects the socket and hands it to the
// transport of its kind, which sets up its session, sends batches of records
// and tears the session down.  Plain TCP and UDP are
// veld-logfile-transport-plain.cpp, TLS veld-logfile-transport-tls.cpp and
// RELP, over either, veld-logfile-transport-relp.cpp.  A stream transport
// frames rfc5424 messages by octet counting (FrameHeader).  All of it runs
// under SocketMutex.
#ifndef VELD_LOGFILE_TRANSPORT_H
#define VELD_LOGFILE_TRANSPORT_H

#include <sys/uio.h>

#include <cstddef>

#include "veld-logfile.h"

namespace logfile {

class Transport {
 public:
  virtual ~Transport() = default;
  // SOCK_STREAM or SOCK_DGRAM: the socket the link makes for it.
  virtual int SocketType() const = 0;
  // Sets up the session on the connected d.socket; false when it failed
  // (said in the diagnostic log).  The link closes the socket then.
  virtual bool Open(SOCKET_DATA &d) = 0;
  // Whether the collector has ended the session: looked at once before a
  // batch, since our kernel would take records into a dead connection.
  virtual bool HungUp(const SOCKET_DATA &d) = 0;
  // Sends the records v[0..n) in order, each whole or not at all; the
  // number of records that went.  The iovecs may be changed.
  virtual size_t Send(SOCKET_DATA &d, iovec *v, size_t n) = 0;
  // Ends the session; the link closes the socket right after.
  virtual void Close(SOCKET_DATA &d) = 0;
  // After a Send that fell short: whether the collector refused what went
  // (a UDP port unreachable).  A fresh socket would take the next records
  // without complaint, so the link must not try one at once.
  virtual bool Refused() const { return false; }
};

// The transport of a link kind (kProtoUDP ... kProtoRELPTLS); null for none.
Transport *TransportFor(int proto);
Transport *TlsTransport();
Transport *RelpTransport(bool tls);

// RFC 6587 octet counting: "<length> " before each message on a stream, when
// the record format is rfc5424; the header's length, 0 for the plain format,
// whose records end in their line ends.  `out` holds kFrameHeaderMax bytes.
inline constexpr size_t kFrameHeaderMax = 24;
size_t FrameHeader(char *out, size_t len);

}  // namespace logfile

#endif
