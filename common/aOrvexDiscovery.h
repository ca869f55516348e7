#pragma once
// Discovery of link servers (link types 4 to 7), and the constants of their announcements.
#include <cstdint>

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

// Reports the link servers that announce themselves. Link servers are not looked for yet, so
// none is ever reported: the result is 0 and proc is never called.
uint8_t aDiscovery_Enumerate_aOrvexModules(aDiscoveryProc proc, void* ref, uint32_t networkInterface);
