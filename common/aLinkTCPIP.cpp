// Links to devices over TCP/IP.
#include "aLinkInternal.h"
#include "aLinkSpec.h"
#include "aStreamsocket.h"

namespace {

struct SocketAddress {
  uint32_t address;  // network byte order
  uint16_t port;
};

aErr sMakeSocketStream(void* ref, aStream** stream) {
  const SocketAddress* to = static_cast<const SocketAddress*>(ref);
  return aStream_CreateSocket(to->address, to->port, stream);
}

}  // namespace

aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port) {
  // Address and port are not compared: the serial number names the device. A device whose
  // link a link server fronts is reached through that server.
  bool found = false;
  aLinkRef id = aLink_ShareRegistered(serialNumber, TCPIP, true, &found);
  if (found) return id;
  SocketAddress to = {address, port};
  return aLink_CreateRegistered(serialNumber, address, port, TCPIP, sMakeSocketStream, &to, false);
}
