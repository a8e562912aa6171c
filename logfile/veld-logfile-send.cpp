// veld-logfile-send: putting records on the link.  Every producer's records
// leave here, under SocketMutex: the monitor's one at a time through
// SendLog, the tailer's a burst at a time through LinkSendBatch, which the
// transport sends with one system call; the bytes the collector sees are the
// same as record by record.
//
// A record goes whole or not at all.  Before a burst the transport looks once
// whether the collector has hung up.  When a send fails the link is closed
// and opened again under the same lock and the records not sent get one more
// chance on the new connection; what still does not go is reported to the
// caller, which keeps it (the tailer stops and tries again later; the
// monitor's record is counted as dropped).  A UDP refusal gets no second
// chance: a fresh socket would take the records and lose them just the same.
//
// What the link does is counted (veld-logfile-stats.h) where each outcome
// is known once: the records a burst got across by the tailer's flush,
// reconnections in LinkReconnect, records given up in LinkDropped; a UDP
// outage ends in LinkSent, said in LinkRefused (veld-logfile-link.cpp).

#include <pthread.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>

#include "veld-config-unix.h"
#include "veld-logfile-link.h"
#include "veld-logfile-record.h"
#include "veld-logfile-transport.h"
#include "veld-logfile.h"
#include "veld-threads.h"

using namespace logfile;

namespace {

// Holds SocketMutex for one whole send, through close and reconnection.
class LinkLock {
 public:
  LinkLock() { ThreadMutexLock(SocketMutex, nullptr, 0, nullptr); }
  ~LinkLock() { ThreadMutexUnlock(SocketMutex, nullptr, 0, nullptr); }
  LinkLock(const LinkLock &) = delete;
  LinkLock &operator=(const LinkLock &) = delete;
};

size_t SendOnce(SOCKET_DATA &d, iovec *v, size_t n) {
  Transport *t = TransportFor(d.proto);
  if (d.socket < 0 || t == nullptr || t->HungUp(d)) return 0;
  return t->Send(d, v, n);
}

// Whether the last send on the open link was refused (UDP port unreachable).
bool Refused(const SOCKET_DATA &d) {
  Transport *t = TransportFor(d.proto);
  return t != nullptr && d.socket >= 0 && t->Refused();
}

// Sends `rec[0..n)` in order with one retry on a fresh connection for what
// did not go; the number of records sent.  A record of which a piece went out
// on a connection that then broke goes again whole on the new one.
size_t SendRecords(SOCKET_DATA &d, const iovec *rec, size_t n) {
  static iovec work[kBurstRecords];  // under SocketMutex; the send steps through it
  n = std::min<size_t>(n, kBurstRecords);
  std::copy(rec, rec + n, work);
  size_t sent = SendOnce(d, work, n);
  if (sent < n && !Refused(d)) {
    if (!LinkReconnect(d)) return sent;
    std::copy(rec + sent, rec + n, work);
    sent += SendOnce(d, work, n - sent);
    if (sent < n && !Refused(d)) {
      NetClose(&d);  // broken again at once: the next send reconnects
      return sent;
    }
  }
  if (sent < n) {
    LinkRefused(d);
  } else {
    LinkSent(n);
  }
  return sent;
}

}  // namespace

size_t logfile::LinkSendBatch(const Batch &b) {
  if (b.count == 0 || sockData == nullptr || SocketMutex == nullptr) return 0;
  iovec v[kBurstRecords];
  for (size_t i = 0; i < b.count; ++i)
    v[i] = iovec{const_cast<char *>(b.bytes) + b.entries[i].start, b.entries[i].len};
  LinkLock lock;
  return SendRecords(*sockData, v, b.count);
}

int NetSend(P_SOCKET_DATA data, const char *payload) {
  if (data == nullptr || payload == nullptr || SocketMutex == nullptr) return 1;
  // The lock covers the close and the reconnection too: no other producer
  // may send on, close or reopen the link while it is being replaced, and
  // the link never has two descriptors at once.
  LinkLock lock;
  iovec v{const_cast<char *>(payload), std::strlen(payload)};
  // An empty record fails for want of bytes; the link is renewed all the same.
  if (v.iov_len == 0) {
    LinkReconnect(*data);
    return 1;
  }
  if (SendRecords(*data, &v, 1) == 1) return 0;
  LinkDropped();
  return 1;
}

int SendLog(const char *msg) {
  if (msg == nullptr || sockData == nullptr) return 0;
  return NetSend(sockData, msg) == 0 ? 1 : 0;
}
