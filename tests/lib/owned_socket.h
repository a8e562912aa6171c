// A socket object held by a test and released with NetSocketFree when the
// holder goes out of scope, so that a failed assertion leaks no descriptor.
// `p` stays public: a test may fill a holder late or free it early itself.
#ifndef VELD_TEST_OWNED_SOCKET_H
#define VELD_TEST_OWNED_SOCKET_H

#include "veld-network.h"

namespace veldtest {

struct OwnedSocket {
  explicit OwnedSocket(P_ZUN_SOCKET s = nullptr) : p(s) {}
  ~OwnedSocket() { NetSocketFree(p); }
  OwnedSocket(const OwnedSocket &) = delete;
  OwnedSocket &operator=(const OwnedSocket &) = delete;
  P_ZUN_SOCKET get() const { return p; }
  P_ZUN_SOCKET operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
  P_ZUN_SOCKET p;
};

}  // namespace veldtest

#endif
