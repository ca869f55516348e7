#pragma once
// Finding the devices that can be reached, each reported as a linkSpec. Everything here runs on
// the caller's thread, blocks until it is done and keeps no state between calls.
#include <cstdint>

#include "aLinkSpec.h"

// Called once for every device found, on the caller's thread. `spec` lives only for the call:
// copy what you keep. Set *found to have the device counted; return false to stop discovery.
typedef bool (*aDiscoveryProc)(const linkSpec* spec, bool* found, void* ref);

// Reports the devices of `type` to `proc`: 1 over USB, 2 by the multicast probe, 4 to 7 link
// servers; 0, 3 and any other type find nothing. networkInterface is an IPv4 address in network
// byte order; 0 and 127.0.0.1 mean every interface. The result counts the reports that set the
// found flag, modulo 256.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryProc proc, void* ref,
                                    uint32_t networkInterface);

// A new copy of the first device found with that serial number, or NULL; the caller destroys it.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

// A new copy of the first device found whose serial number is not 0, or NULL.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Writes `address` (network byte order) as dotted text into a zero-filled buffer of `size`
// bytes. Returns the text's length; 0 for a NULL buffer or a size below 16 (buffer untouched).
uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, uint32_t size);

// Stores up to `max` IPv4 addresses (network byte order) of the host's interfaces that are up,
// broadcast-capable and not loopback, in the order the interface list gives them. Returns the
// count; 0 for a NULL list.
uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* list, uint32_t max);
