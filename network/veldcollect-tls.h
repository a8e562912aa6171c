// veldcollect-tls: TLS for veldcollect's TCP agents.  The listener gets
// the server context (the certificate and key of -T and -K, made first with
// the library's own generation when neither file exists; agents' client
// certificates required and checked against -C when given); each accepted
// agent a session, whose handshake must finish within a few seconds.
#ifndef VELDCOLLECT_TLS_H
#define VELDCOLLECT_TLS_H

#include "veld-network.h"
#include "veldcollect-options.h"

namespace collect {

// Puts the server context on the listener; false once the reason is on
// standard error.
bool TlsListen(const Options &o, P_ZUN_SOCKET listener);
// The handshake on an agent just accepted by a TLS listener; false once the
// reason is on standard error.
bool TlsAccept(P_ZUN_SOCKET listener, P_ZUN_SOCKET agent);
// Reads what the agent sent, TLS or not, as NetRead does; a TLS read also
// takes what the session already holds decrypted, as far as `size` allows.
int AgentRead(P_ZUN_SOCKET agent, char *data, unsigned int size, unsigned int *got);
// Whether decrypted bytes wait in the session (poll would not show them).
bool TlsPending(P_ZUN_SOCKET agent);

}  // namespace collect

#endif
