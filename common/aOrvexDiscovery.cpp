#include "aOrvexDiscovery.h"

uint8_t aDiscovery_Enumerate_aOrvexModules(aDiscoveryProc proc, void* ref, uint32_t networkInterface) {
  (void)proc;
  (void)ref;
  (void)networkInterface;
  return 0;
}
