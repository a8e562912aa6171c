// veld-logfile-transport: what the link speaks on its socket.  The link
// (veld-logfile-link.cpp) makes and connects the socket and hands it to the
// transport of its kind, which sets up its session, sends batches of records
// and tears the session down.  Plain TCP and UDP are
// veld-logfile-transport-plain.cpp.  All of it runs under SocketMutex.
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
};

// The transport of a link kind (kProtoUDP, kProtoTCP); null for none.
Transport *TransportFor(int proto);

}  // namespace logfile

#endif
