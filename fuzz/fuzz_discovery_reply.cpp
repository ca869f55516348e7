// The decoding of a TCP/IP discovery reply, the untrusted datagram taken from port 9889: the
// whole input is the datagram as received.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "aDiscoveryTCPIP.h"

namespace {

uint32_t LE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint32_t sender = 0x0500007F;  // 127.0.0.5 in network byte order
  linkSpec* spec = aLinkSpec_Create(TCPIP);
  if (spec == nullptr) return 0;
  bool reported = sCopyToTCPIPLinkspec(spec, data, size, sender);
  Check(reported == (size >= 8));
  if (reported) {
    Check(spec->type == TCPIP);
    Check(spec->moduleAddress == data[1] && spec->routerAddress == data[1]);
    Check(spec->tcpPort == (static_cast<uint32_t>(data[2]) | static_cast<uint32_t>(data[3]) << 8));
    Check(spec->serialNumber == LE32(data + 4) && spec->routerSerialNumber == LE32(data + 4));
    Check(spec->model == (size < 13 ? 0xFFu : data[12]));
    Check(spec->ipv4Address == sender);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(spec);
    for (size_t i = 32; i < sizeof(linkSpec); ++i) Check(raw[i] == 0);
  } else {
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(spec);
    for (size_t i = 4; i < sizeof(linkSpec); ++i) Check(raw[i] == 0);
  }
  aLinkSpec_Destroy(&spec);
  return 0;
}
