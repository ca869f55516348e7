#pragma once
// Discovery of link servers (link types 4 to 7), and the constants of their announcements.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "aDiscovery.h"

// Beacons: a discovering client publishes the filter text on the beacon port; a server that
// hears it publishes its linkSpec there for a while.
#define DISCOVERY_BEACON_PORT 8585
// Sent and compared as exactly its 20 bytes, never with a terminating zero.
#define DISCOVERY_BEACON_FILTER "Corvantis2-Discovery"
#define DISCOVERY_BEACON_FILTER_LENGTH 20
// Loopback multicast: a request to the group on port 9850 + k is answered on 9950 + k, for
// k = 0 to 49; each server on the host holds its own k.
#define DISCOVERY_MULTICAST_GROUP "224.0.0.7"
#define DISCOVERY_REQUEST_PORT 9850
#define DISCOVERY_REPLY_PORT 9950
#define DISCOVERY_PORT_COUNT 50
// Travels little-endian: BA DC CD AB.
#define DISCOVERY_REQUEST_MAGIC 0xABCDDCBAu
#define DISCOVERY_REQUEST_SIZE 4
// The request as it goes on the wire.
inline constexpr uint8_t kDiscoveryRequestBytes[DISCOVERY_REQUEST_SIZE] = {0xBA, 0xDC, 0xCD, 0xAB};
// The debug topic of discovery's traces, on the asking and the answering side.
inline constexpr uint32_t kDiscoveryTrace = 0x10;

// DISCOVERY_MULTICAST_GROUP in network byte order.
uint32_t aOrvexDiscovery_Group();

// Reports the link servers that announce themselves, as records of type 5 to 7, on the
// caller's thread. With networkInterface 0 or 127.0.0.1, or on a host without broadcast
// interfaces, by loopback multicast (servers announcing 127.0.0.1 only; about 1 s for each
// request port a server holds); otherwise by beacon on that interface (22 passes of 100 ms at
// most, holding the beacon-interface lock, the setting put back afterwards). Each server is
// reported once a call. The result counts the reports whose proc set the found flag.
uint8_t aDiscovery_Enumerate_aOrvexModules(aDiscoveryProc proc, void* ref, uint32_t networkInterface);

// Discovery's decision on one announcement, without sockets: reported when it is a record of
// exactly 128 bytes whose type is 5 to 7 (any host can send a beacon, and types 1 to 3 would
// make the receiver open what the sender names), in multicast mode announcing 127.0.0.1, and
// new against `seen`. A reported record is copied to *spec and appended to seen.
bool aOrvexDiscovery_Accept(bool multicast, const uint8_t* data, size_t size, std::vector<linkSpec>* seen,
                            linkSpec* spec);
// No seen record has the same type, serial number, address and port.
bool _isNewSpec(const std::vector<linkSpec>& seen, const linkSpec& spec);
