// veld-logfile-link: what the files of the collector link share.  The link
// is one room: veld-logfile-link.cpp opens and closes it (LogInit and the
// Net... operations) and keeps the state of an outage, veld-logfile-send.cpp
// puts records on it, and a transport (veld-logfile-transport.h) speaks on
// its socket.  Nothing here reaches into the tailer.
#ifndef VELD_LOGFILE_LINK_H
#define VELD_LOGFILE_LINK_H

#include <ctime>

#include "veld-logfile.h"

namespace logfile {

// The kinds of link, as SOCKET_DATA.proto holds them.
inline constexpr int kProtoUDP = 0;
inline constexpr int kProtoTCP = 1;
inline constexpr int kProtoTLS = 2;                    // TCP with TLS
inline constexpr int kProtoRELP = 3;                   // RELP over TCP
inline constexpr int kProtoRELPTLS = 4;                // RELP over TLS
inline constexpr char kDefaultServer[] = "127.0.0.1";  // when no host was ever set
// A TCP connect, or a send, that cannot finish within this long fails like
// any other: a collector that accepts but never reads, or a host that
// swallows packets, must not hold the tailer and the monitor (who wait on
// the lock) for ever.
inline constexpr time_t kStallSeconds = 15;

inline const char *ServerName(const SOCKET_DATA &d) {
  return d.server != nullptr ? d.server : kDefaultServer;
}

// Under SocketMutex: opens the link afresh unless an attempt failed a moment
// ago; true when it is open.  The first failure of an outage is said at
// once, the count of failed attempts when the link is back or every few
// minutes; metric records dropped meanwhile are counted (LinkDropped) and
// said when it is back.
bool LinkReconnect(SOCKET_DATA &d);
void LinkDropped();
// A send failed in a way a fresh socket would hide (a UDP refusal): the link
// is closed, the failure said, and nothing is sent again before the caller
// has given up on this pass.
void LinkRefused(SOCKET_DATA &d);
// Records went whole: an outage that only sends could see (UDP) has ended.
void LinkSent(size_t records);
// Whether the link is one that cannot push back (UDP): its senders pace
// themselves.
bool LinkIsDatagram();

}  // namespace logfile

#endif
