// Links to devices on serial lines.
#include "aLinkSerial.h"

#include "aLinkInternal.h"
#include "aLinkSpec.h"
#include "unix_streamserial.h"

namespace {

int sBaudIndex(uint32_t rate) {
  for (int i = 0; i < aSERIAL_BAUD_COUNT; ++i) {
    if (kSerialBaudRates[i] == rate) return i;
  }
  return -1;
}

struct SerialLinkPort {
  const char* port;
  uint32_t baudIndex;
};

aErr sMakeSerialLinkStream(void* ref, aStream** stream) {
  const SerialLinkPort* p = static_cast<const SerialLinkPort*>(ref);
  return aStream_CreateSerial_Packetized(p->port, p->baudIndex, false, 0, 0, stream);
}

}  // namespace

aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* port, uint32_t baudRate) {
  // Handed out also when a link server fronts it.
  bool found = false;
  aLinkRef shared = aLink_ShareRegistered(serialNumber, SERIAL, false, &found);
  if (found) return shared;
  int baudIndex = sBaudIndex(baudRate);
  if (baudIndex < 0) return 0;
  // The entry keeps neither port nor rate, so a serial link cannot be reset.
  SerialLinkPort target = {port, static_cast<uint32_t>(baudIndex)};
  return aLink_CreateRegistered(serialNumber, 0, 0, SERIAL, sMakeSerialLinkStream, &target, false);
}
