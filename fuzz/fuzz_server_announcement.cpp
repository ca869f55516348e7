// Link-server discovery's acceptance of an announcement, the untrusted datagram or beacon that
// any host may send: the first byte picks the mode (even: loopback multicast, odd: beacon), the
// rest (at most 200 bytes) is one datagram or beacon content, fed twice.
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzCheck.h"
#include "aOrvexDiscovery.h"

namespace {

constexpr size_t kMaxContent = 200;
constexpr uint32_t kLoopback = 0x0100007F;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size - 1 > kMaxContent) return 0;
  bool multicast = (data[0] & 1) == 0;
  const uint8_t* content = data + 1;
  size_t length = size - 1;
  // A seen list as a discovery in progress holds it: one server reported before.
  std::vector<linkSpec> seen(1);
  seen[0].type = AORVEX_TCPIP;
  seen[0].serialNumber = 0x5E12AB01;
  seen[0].ipv4Address = kLoopback;
  seen[0].tcpPort = 40001;
  linkSpec spec;
  memset(&spec, 0xEE, sizeof spec);
  bool reported = aOrvexDiscovery_Accept(multicast, content, length, &seen, &spec);
  if (reported) {
    CHECK(length == sizeof(linkSpec));
    CHECK(memcmp(&spec, content, sizeof spec) == 0);
    CHECK(spec.type >= AORVEX_USB && spec.type <= AORVEX_SERIAL);
    if (multicast) CHECK(spec.ipv4Address == kLoopback);
    CHECK(seen.size() == 2 && memcmp(&seen[1], content, sizeof spec) == 0);
  } else {
    CHECK(seen.size() == 1);
  }
  CHECK(!aOrvexDiscovery_Accept(multicast, content, length, &seen, &spec));
  CHECK(seen.size() == (reported ? 2u : 1u));
  return 0;
}
