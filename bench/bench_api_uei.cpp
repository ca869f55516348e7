// UEI gets through a Module's Link against the simulated device on loopback TCP, beside raw
// round trips of the link engine on the same link:
//   api_uei_get_tcpip       p50 of sendUEI + receiveUEI of a 32-bit get; baseline link_rtt_same_link,
//                           aLink_PutPacket of [0x17, one byte] + aLink_AwaitFirst of its echo
//   api_uei_get_tcpip_p99   the same at p99
// The object API adds no thread hand-off: the p50 ratio should stay at 1.1 or below.
#include <chrono>
#include <cstdio>
#include <vector>

#include "BenchFigure.h"
#include "BenchRoundTrip.h"
#include "BenchTiming.h"
#include "DeviceRigs.h"
#include "LinkImpl.h"
#include "PacketHelpers.h"

using namespace Tavrin::Corvantis;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBlock = 500;
constexpr int kEach = 20000;

}  // namespace

int main() {
  TcpModuleRig rig;
  rig.network().SetEntity(6, {3, 9, 0}, {SimWidth::kInt, 0x12345678});
  rig.sim.device.SetRecording(false);
  if (rig.Connect() != aErrNone) {
    fprintf(stderr, "bench_api_uei: the Module did not connect\n");
    return 1;
  }
  Link& link = rig.link();
  aLinkRef ref = heldLinkRef(link);

  uint8_t tag = 0;
  bool failed = false;
  auto raw = [&](int) -> double {
    double us = LinkEchoRoundTrip(ref, 6, {0x17, ++tag});
    failed = failed || us < 0;
    return us;
  };
  uei get{};
  get.module = 6;
  get.command = 3;
  get.option = 0x49;
  get.index = 0x20;
  auto viaLink = [&](int) -> double {
    uei reply{};
    reply.module = 6;
    reply.command = 3;
    reply.option = 9;
    auto start = Clock::now();
    bool ok = link.sendUEI(get) == aErrNone && link.receiveUEI(6, 3, 9, 0, &reply) == aErrNone;
    double us = MicrosSince(start);
    failed = failed || !ok || reply.value.intVal != 0x12345678;
    return us;
  };

  RoundTrips figure, baseline;
  Alternate(kEach, kBlock, viaLink, raw, &figure, &baseline);
  if (failed) {
    fprintf(stderr, "bench_api_uei: an exchange failed\n");
    return 1;
  }
  PrintRoundTrips("api_uei_get_tcpip", figure, "link_rtt_same_link", baseline);
  return 0;
}
