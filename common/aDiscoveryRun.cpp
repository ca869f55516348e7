#include "aDiscoveryRun.h"

void aDiscoveryRun_Report(aDiscoveryRun* run, linkSpec** spec) {
  bool found = false;
  run->goOn = run->proc(*spec, &found, run->ref);
  if (found) ++run->count;
  aLinkSpec_Destroy(spec);
}
