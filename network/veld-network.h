// veld-network: a general IPv4 socket object for clients and servers, and
// the place where the TLS layer (veld-network-ssl.h) keeps its state.  One
// call makes a connected client or a listening server; the server hands out
// one new object per accepted connection.  The agent's collector link does
// not use this layer; veldcollect does.
//
// Results: constructors return the object or null; everything else 1 for
// success and 0 for failure.  No locks: one thread per object at a time.
#ifndef VELD_NETWORK_H
#define VELD_NETWORK_H

#include <netinet/in.h>
#include <openssl/ssl.h>

// The socket part.
typedef struct NetworkSocketOpts_ {
  int sock;                   // descriptor, -1 while the object holds none
  int nonBlocking;            // carried for callers; the layer never reads it
  struct sockaddr_in source;  // bind address; peer after NetAccept; sender after NetReadFrom
  struct sockaddr_in dest;    // connect address; local address after NetReadFrom
} NETWORK_SOCKET_OPTS, *P_NETWORK_SOCKET_OPTS;

// The TLS part.  The object owns what `ssl` and `context` point to:
// NetSocketFree releases both, and the TLS layer releases a context it
// replaces.  To put one context on several objects, take a reference for
// each with SSL_CTX_up_ref.
typedef struct NetworkSslOpts_ {
  SSL *ssl;                  // the connection, null when there is none
  BIO *bio;                  // unused
  SSL_CTX *context;          // the context, null when there is none
  const SSL_METHOD *method;  // unused
  RSA *rsaKey;               // unused
} NETWORK_SSL_OPTS, *P_NETWORK_SSL_OPTS;

typedef struct ZunSocket_ {
  P_NETWORK_SOCKET_OPTS sockOpts;
  P_NETWORK_SSL_OPTS sslOpts;
} ZUN_SOCKET, *P_ZUN_SOCKET;

// Values of NetSocket's `mode`.  Any other value leaves the socket created
// and its addresses filled, neither connected nor bound.
#define NET_MODE_SERVER 1  // bind to srcAddr:srcPort (and listen, for TCP)
#define NET_MODE_CLIENT 2  // connect to destAddr:destPort

P_ZUN_SOCKET NetSocketCreate();
int NetSocketFree(P_ZUN_SOCKET sock);

// ipProto 0 or 6: TCP stream; 17: UDP datagram; anything else: a stream
// socket with that protocol.  A server listens (TCP only) with `backLog`
// when it is 11 or more, 4096 otherwise.  Addresses are names or dotted
// quads; null or unresolvable means INADDR_ANY.  On failure errno tells why.
P_ZUN_SOCKET NetSocket(const char *destAddr, int destPort, const char *srcAddr, int srcPort,
                       unsigned int ipProto, int mode, unsigned int backLog);
P_ZUN_SOCKET NetAccept(P_ZUN_SOCKET sock);

// *bytes_read receives recv's result: the count, 0 at the peer's close, or
// (unsigned)-1 after an error.  1 only when at least one byte arrived.
int NetRead(P_ZUN_SOCKET sock, char *data, unsigned int size, unsigned int *bytes_read);
// The same for one datagram; also records the sender in source and the
// socket's own address in dest.
int NetReadFrom(P_ZUN_SOCKET sock, char *data, unsigned int size, unsigned int *bytes_read);

#endif
