// Links to devices attached over USB.
#include <cstdio>

#include "aDebug.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"
#include "aLinkSpec.h"
#include "unix_streamusb.h"

namespace {

aErr sMakeUSBStream(void* ref, aStream** stream) {
  return aStream_CreateUSB(*static_cast<const uint32_t*>(ref), stream);
}

void sTraceServed(uint32_t serialNumber) {
  if (!aCorvantisDebuggingEnable) return;
  linkItem* entry = sPinEntryByIdentifier(serialNumber, USB);
  if (sEntryServer(entry) != nullptr)
    printf("This device is already being used as a \"SERVER\". \nYou must connect by \"CLIENT\" ");
  sUnpinEntry(&entry);
}

}  // namespace

aLinkRef aLink_CreateUSB(uint32_t serialNumber) {
  // A registered link is shared whatever its status (its holder may be resetting it); one
  // that a link server fronts is reached through that server.
  bool found = false;
  aLinkRef id = aLink_ShareRegistered(serialNumber, USB, true, &found);
  if (found) {
    if (id == 0) sTraceServed(serialNumber);
    return id;
  }
  // The handshake runs before the create returns: bytes the device queued before this link
  // may still wait on its IN endpoint.
  return aLink_CreateRegistered(serialNumber, 0, 0, USB, sMakeUSBStream, &serialNumber, true);
}
