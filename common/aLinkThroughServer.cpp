#include "aLinkThroughServer.h"

aLinkRef aLink_CreateServer(aLinkRef device, uint16_t* port, uint32_t* interface, bool localOnly) {
  (void)device;
  (void)port;
  (void)interface;
  (void)localOnly;
  return 0;
}

aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef existing) {
  (void)address;
  (void)port;
  (void)existing;
  return 0;
}
