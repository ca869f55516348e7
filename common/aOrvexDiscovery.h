#pragma once
// Discovery of link servers (link types 4 to 7).
#include <cstdint>

#include "aDiscovery.h"

// Reports the link servers that announce themselves. Link servers are not looked for yet, so
// none is ever reported: the result is 0 and proc is never called.
uint8_t aDiscovery_Enumerate_aOrvexModules(aDiscoveryProc proc, void* ref, uint32_t networkInterface);
