#pragma once
// One enumeration in progress, shared by the transports that find devices.
#include <cstdint>

#include "aDiscovery.h"

struct aDiscoveryRun {
  linkType type;        // the type asked for; every reported record carries it
  aDiscoveryProc proc;
  void* ref;
  uint8_t count;        // reports whose proc set the found flag; wraps at 256
  bool goOn;            // false once proc asked to stop
};

// Hands a filled record to the run's proc, counts it when proc set the found flag, and destroys
// it (clearing *spec).
void aDiscoveryRun_Report(aDiscoveryRun* run, linkSpec** spec);
