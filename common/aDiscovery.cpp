#include "aDiscovery.h"

#include <cstring>

#include "aDiscoveryRun.h"
#include "aDiscoveryTCPIP.h"
#include "aDiscoveryUSB.h"
#include "aOrvexDiscovery.h"

namespace {

// Search callbacks: `ref` is the caller's target record, overwritten by the device taken.
bool cbSNCallback(const linkSpec* spec, bool* found, void* ref) {
  linkSpec* target = static_cast<linkSpec*>(ref);
  if (spec->serialNumber != target->serialNumber) return true;
  memcpy(target, spec, sizeof(linkSpec));
  *found = true;
  return false;
}

bool cbFirstCallback(const linkSpec* spec, bool* found, void* ref) {
  if (spec->serialNumber == 0) return true;
  memcpy(ref, spec, sizeof(linkSpec));
  *found = true;
  return false;
}

linkSpec* sSearch(linkType type, uint32_t serialNumber, aDiscoveryProc callback,
                  uint32_t networkInterface) {
  linkSpec* target = aLinkSpec_Create(type);
  if (target == nullptr) return nullptr;
  target->serialNumber = serialNumber;
  if (aDiscovery_EnumerateModules(type, callback, target, networkInterface) == 0) {
    aLinkSpec_Destroy(&target);
  }
  return target;
}

}  // namespace

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryProc proc, void* ref,
                                    uint32_t networkInterface) {
  // Without a callback nothing could be counted.
  if (proc == nullptr) return 0;
  aDiscoveryRun run = {type, proc, ref, 0, true};
  switch (type) {
    case USB:
      aDiscovery_EnumerateUSB(&run);
      return run.count;
    case TCPIP:
      aDiscovery_EnumerateTCPIP(&run, networkInterface);
      return run.count;
    case AORVEX:
    case AORVEX_USB:
    case AORVEX_TCPIP:
    case AORVEX_SERIAL:
      return aDiscovery_Enumerate_aOrvexModules(proc, ref, networkInterface);
    default:  // no transport, serial lines (never discovered) and invalid types
      return 0;
  }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
  return sSearch(type, serialNumber, cbSNCallback, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
  return sSearch(type, 0, cbFirstCallback, networkInterface);
}
