// The decoding of a TCP/IP discovery reply, the untrusted datagram taken from port 9889: the
// whole input is the datagram as received.
#include <cstdint>

#include "FuzzCheck.h"
#include "aDiscoveryTCPIP.h"

namespace {

uint32_t LE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint32_t sender = 0x0500007F;  // 127.0.0.5 in network byte order
  linkSpec* spec = aLinkSpec_Create(TCPIP);
  if (spec == nullptr) return 0;
  bool reported = sCopyToTCPIPLinkspec(spec, data, size, sender);
  CHECK(reported == (size >= 8));
  if (reported) {
    CHECK(spec->type == TCPIP);
    CHECK(spec->moduleAddress == data[1] && spec->routerAddress == data[1]);
    CHECK(spec->tcpPort == (static_cast<uint32_t>(data[2]) | static_cast<uint32_t>(data[3]) << 8));
    CHECK(spec->serialNumber == LE32(data + 4) && spec->routerSerialNumber == LE32(data + 4));
    CHECK(spec->model == (size < 13 ? 0xFFu : data[12]));
    CHECK(spec->ipv4Address == sender);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(spec);
    for (size_t i = 32; i < sizeof(linkSpec); ++i) CHECK(raw[i] == 0);
  } else {
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(spec);
    for (size_t i = 4; i < sizeof(linkSpec); ++i) CHECK(raw[i] == 0);
  }
  aLinkSpec_Destroy(&spec);
  return 0;
}
