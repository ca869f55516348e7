// UEI gets through a Module's Link against the simulated device on loopback TCP, beside raw
// round trips of the link engine on the same link:
//   api_uei_get_tcpip       p50 of sendUEI + receiveUEI of a 32-bit get; baseline link_rtt_same_link,
//                           aLink_PutPacket of [0x17, one byte] + aLink_AwaitFirst of its echo
//   api_uei_get_tcpip_p99   the same at p99
// The object API adds no thread hand-off: the p50 ratio should stay at 1.1 or below.
#include <chrono>
#include <cstdio>
#include <vector>

#include "BenchBlocks.h"
#include "BenchFigure.h"
#include "BenchTiming.h"
#include "DeviceRigs.h"
#include "LinkImpl.h"
#include "PacketHelpers.h"

using namespace Tavrin::Corvantis;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBlock = 500;
constexpr size_t kEach = 20000;
constexpr size_t kWarmUp = 200;

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
  auto raw = [&]() -> double {
    std::vector<uint8_t> payload{0x17, ++tag};
    aPacket* request = aPacket_CreateWithData(6, 2, payload.data());
    auto start = Clock::now();
    aLink_PutPacket(ref, request);
    aPacket* echo = aLink_AwaitFirst(ref, SamePayload, &payload, 5000);
    double us = MicrosSince(start);
    aPacket_Destroy(&request);
    if (echo == nullptr) return -1;
    aPacket_Destroy(&echo);
    return us;
  };
  uei get{};
  get.module = 6;
  get.command = 3;
  get.option = 0x49;
  get.index = 0x20;
  auto viaLink = [&]() -> double {
    uei reply{};
    reply.module = 6;
    reply.command = 3;
    reply.option = 9;
    auto start = Clock::now();
    if (link.sendUEI(get) != aErrNone || link.receiveUEI(6, 3, 9, 0, &reply) != aErrNone) return -1;
    double us = MicrosSince(start);
    return reply.value.intVal == 0x12345678 ? us : -1;
  };

  std::vector<double> figure, baseline;
  if (!AlternateBlocks(kBlock, kWarmUp, viaLink, raw, &figure, &baseline) ||
      !AlternateBlocks(kBlock, kEach, viaLink, raw, &figure, &baseline)) {
    fprintf(stderr, "bench_api_uei: an exchange failed\n");
    return 1;
  }
  PrintFigure("api_uei_get_tcpip", Percentile(figure, 0.5), "us", "link_rtt_same_link", Percentile(baseline, 0.5));
  PrintFigure("api_uei_get_tcpip_p99", Percentile(figure, 0.99), "us", "link_rtt_same_link_p99",
              Percentile(baseline, 0.99));
  return 0;
}
