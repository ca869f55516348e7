// The host's IPv4 interfaces, for discovery and the link server.
#include <arpa/inet.h>
#include <czmq.h>

#include <cstdio>
#include <cstring>

#include "aDebug.h"
#include "aDiscovery.h"

namespace {

constexpr uint32_t kDiscoveryTrace = 0x10;

bool sTracing() { return aCorvantisDebuggingEnable && (aCorvantisDebuggingLevel & kDiscoveryTrace) != 0; }

}  // namespace

uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, uint32_t size) {
  // Room for "255.255.255.255" and its terminator.
  if (buffer == nullptr || size < INET_ADDRSTRLEN) return 0;
  memset(buffer, 0, size);
  struct in_addr in;
  in.s_addr = address;
  if (inet_ntop(AF_INET, &in, buffer, size) == nullptr) return 0;
  return static_cast<uint32_t>(strnlen(buffer, size));
}

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* list, uint32_t max) {
  if (list == nullptr || max == 0) return 0;
  // The message library's list holds the interfaces that are up, broadcast-capable and not
  // loopback: the ones its beacons can use.
  ziflist_t* interfaces = ziflist_new();
  if (interfaces == nullptr) return 0;
  uint32_t count = 0;
  for (const char* name = ziflist_first(interfaces); name != nullptr && count < max;
       name = ziflist_next(interfaces)) {
    const char* text = ziflist_address(interfaces);
    if (text == nullptr) break;
    struct in_addr in;
    if (inet_pton(AF_INET, text, &in) != 1) continue;
    list[count++] = in.s_addr;
    if (sTracing()) printf("Interface Found: %d\n", static_cast<int>(in.s_addr));
  }
  ziflist_destroy(&interfaces);
  if (sTracing()) {
    printf("aDiscovery_GetIPv4Interfaces count: %d\n", static_cast<int>(count));
    fflush(stdout);
  }
  return count;
}
