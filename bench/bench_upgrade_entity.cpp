// Firmware through the upgrade entity against the simulated device on loopback TCP (block size
// 1024), beside the same exchanges made at link level on the same link and device:
//   upgrade_data        bytes/s of TransferPrepare + FirmwareTransfer of a 64 KiB block in data
//                       packets (median of 5); baseline link_ceiling, the bytes over the sum, for
//                       every exchange the device recorded, of the median link-level round trip
//                       of a 26-byte DATA and its [95, 1, 26] (PREPARE, SUM and WRITE count as DATA)
//   upgrade_uei_pooled  the same with every piece one pooled byte sequence of option 10, whose
//                       exchanges count as the median link-level 1024-byte sequence (43 packets,
//                       pooled) and its acknowledgement
// The entity adds no waiting of its own: both ratios should stay at 0.9 or above.
#include <chrono>
#include <cstdio>
#include <vector>

#include "BenchFigure.h"
#include "BenchTiming.h"
#include "BenchUpgradeLink.h"
#include "BirdBuilder.h"
#include "LinkChecks.h"
#include "LinkImpl.h"
#include "UpgradeRigs.h"

using namespace Tavrin::Corvantis;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBlocks = 9;
constexpr int kPerBlock = 400;  // link-level exchanges of each kind per block
constexpr size_t kImage = 64 * 1024;
constexpr uint32_t kAddress = 0x00010000;
constexpr uint8_t kModule = 6;

}  // namespace

int main() {
  SimDeviceProfile profile;
  profile.upgrade.blockSize = 1024;
  TcpUpgradeRig rig(profile);
  // The device records every packet throughout, so that its cost falls on the figure and the
  // baseline alike; the figure's exchanges are counted from the record.
  if (rig.Connect() != aErrNone) {
    fprintf(stderr, "bench_upgrade_entity: the Module did not connect\n");
    return 1;
  }
  aLinkRef ref = heldLinkRef(*rig.module.getLink());
  UpdaterEntity& data = rig.entity;
  UpdaterEntity uei;
  uei.init(&rig.module, 0, true, false);
  // The loader runs: pieces go to flash from now on.
  if (data.LoaderStart() != aErrNone || uei.CheckUEIDataSupport() != aErrNone) {
    fprintf(stderr, "bench_upgrade_entity: the device did not take the upgrade\n");
    return 1;
  }

  const std::vector<uint8_t> image = RandomBytes(kImage, 64);
  const std::vector<uint8_t> block = UpgradeBlock(kAddress, image);
  UpgradeLinkRoundTrips link(ref, kModule);

  std::vector<double> dataFigure, ueiFigure;
  UpgradeExchanges dataCost, ueiCost;
  bool failed = false;
  // One transfer of the whole image; its time in seconds and the exchanges it took.
  auto transfer = [&](UpdaterEntity& entity, bool pooled, UpgradeExchanges* cost) {
    aLink_EnablePooledPackets(ref, pooled);
    RecordingDisplay display;
    size_t mark = rig.sim.device.Packets().size();
    auto start = Clock::now();
    uint16_t blockSize = 0;
    failed = failed || entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, blockSize) != aErrNone;
    failed = failed ||
             entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), blockSize, display) != aErrNone;
    double seconds = MicrosSince(start) / 1e6;
    *cost = CountUpgradeExchanges(UpgradePackets(rig.sim.device, mark));
    return seconds;
  };

  for (int b = 0; b < kBlocks && !failed; ++b) {
    failed = !link.Measure(kPerBlock);
    dataFigure.push_back(transfer(data, false, &dataCost));
    ueiFigure.push_back(transfer(uei, true, &ueiCost));
  }
  if (failed || rig.network().Flash(kModule, kAddress, kImage) != image) {
    fprintf(stderr, "bench_upgrade_entity: an exchange failed\n");
    return 1;
  }

  PrintFigure("upgrade_data", kImage / Percentile(dataFigure, 0.5), "B/s", "link_ceiling", link.Ceiling(kImage, dataCost));
  PrintFigure("upgrade_uei_pooled", kImage / Percentile(ueiFigure, 0.5), "B/s", "link_ceiling", link.Ceiling(kImage, ueiCost));
  return 0;
}
