#pragma once
#include <cstdint>

#include "aLinkSpec.h"

namespace Tavrin::Corvantis {

// The network configuration of a Link: whether a local link server is put in front of a
// direct link, and where it listens. Copied by value.
struct aOrvexConfig {
  aOrvexConfig() = default;

  bool enabled = true;    // a link server in front of direct links; needed for client links
  bool fallback = true;   // after a failed discovery or connection, one try on another transport
  bool localOnly = true;  // the server binds and answers discovery on loopback only
  uint16_t port = 0;      // the server's TCP port (0: chosen); written back once it runs
  uint32_t networkInterface = 0x0100007F;  // 127.0.0.1 in network byte order (bytes 7F 00 00 01)
};

// Link types that name a link server: 4 to 7.
inline bool isAORVEX(linkType type) { return type >= AORVEX && type <= AORVEX_SERIAL; }

// Whether a failed connection is tried once more on the other kind of transport: for a device
// not found or not reachable (aErrNotFound, aErrInitialization, aErrConnection), over USB,
// TCP/IP or a link server, with `fallback` on. Serial lines are never retried.
bool _fallbackHelper(aErr err, linkType type, bool fallback);

}  // namespace Tavrin::Corvantis
