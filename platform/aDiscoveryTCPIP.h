#pragma once
// Discovery of devices on the network: a 16-byte UDP multicast probe, answered by each device
// with a unicast reply that tells how to reach it.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "aDiscoveryRun.h"

inline constexpr char TCPIP_PROBE_GROUP[] = "232.2.2.2";
inline constexpr uint16_t TCPIP_PROBE_PORT = 9888;
inline constexpr uint16_t TCPIP_REPLY_PORT = 9889;
inline constexpr size_t TCPIP_PROBE_SIZE = 16;
inline constexpr size_t TCPIP_REPLY_SIZE = 16;
// A reply shorter than this has no complete serial number.
inline constexpr size_t TCPIP_REPLY_MIN_SIZE = 8;
// Discovery ends at the first silence this long...
inline constexpr int TCPIP_REPLY_SILENCE_MS = 2000;
// ...or this long after the probes went out, so that a device answering in a loop cannot hold
// the caller for ever.
inline constexpr int TCPIP_DISCOVERY_LIMIT_MS = 10000;

// Probes out of `networkInterface` (network byte order; 0 and 127.0.0.1 mean every interface)
// and reports every reply to the run, until a silence, the time limit, or proc asks to stop.
void aDiscovery_EnumerateTCPIP(aDiscoveryRun* run, uint32_t networkInterface);

// Fills `spec` from one reply of `length` bytes (of which at most the first 16 are read) sent
// from `sender` (network byte order). False, with `spec` untouched, for a reply too short to
// carry a serial number. A reply without byte 12 gives model 0xFF.
bool sCopyToTCPIPLinkspec(linkSpec* spec, const uint8_t* reply, size_t length, uint32_t sender);

// The IPv4 address of a socket address in host byte order; 0 for NULL or another family.
uint32_t SockAddrToUint32(const struct sockaddr* address);
