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

bool Put(aLinkRef ref, const std::vector<uint8_t>& payload) {
  aPacket* packet = aPacket_CreateWithData(kModule, static_cast<uint8_t>(payload.size()), payload.data());
  aErr err = aLink_PutPacket(ref, packet);
  aPacket_Destroy(&packet);
  return err == aErrNone;
}

bool Await(aLinkRef ref, std::vector<uint8_t> match) {
  CommandMatch want{match.data(), static_cast<uint8_t>(match.size())};
  aPacket* reply = aLink_AwaitFirst(ref, sCommandFilter, &want, 5000);
  bool came = reply != nullptr;
  aPacket_Destroy(&reply);
  return came;
}

// What one transfer cost the device in exchanges of each kind.
struct Exchanges {
  size_t dataLike = 0;
  size_t sequences = 0;
};

Exchanges Count(const std::vector<std::vector<uint8_t>>& packets) {
  Exchanges e;
  for (const std::vector<uint8_t>& p : packets) {
    if (p.size() < 2) continue;
    if (p[1] == 1 || p[1] == 3 || p[1] == 4 || p[1] == 5) ++e.dataLike;
    if (p[1] == 0x8A && (p.back() & 0x80) == 0) ++e.sequences;
  }
  return e;
}

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
  std::vector<uint8_t> dataPacket{95, 1};
  dataPacket.resize(28, 0x5A);
  std::vector<std::vector<uint8_t>> sequence;
  for (size_t sent = 0, n = 0; sent < 1024; ++n) {
    size_t chunk = std::min<size_t>(24, 1024 - sent);
    std::vector<uint8_t> p{95, 0x8A, 0x20};
    p.insert(p.end(), chunk, 0xA5);
    sent += chunk;
    p.push_back(static_cast<uint8_t>((sent < 1024 ? 0x80 : 0) | (n % 128)));
    sequence.push_back(p);
  }

  std::vector<double> dataUs, sequenceUs, dataFigure, ueiFigure;
  Exchanges dataCost, ueiCost;
  bool failed = false;
  // One transfer of the whole image; its time in seconds and the exchanges it took.
  auto transfer = [&](UpdaterEntity& entity, bool pooled, Exchanges* cost) {
    aLink_EnablePooledPackets(ref, pooled);
    RecordingDisplay display;
    size_t mark = rig.sim.device.Packets().size();
    auto start = Clock::now();
    uint16_t blockSize = 0;
    failed = failed || entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, blockSize) != aErrNone;
    failed = failed ||
             entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), blockSize, display) != aErrNone;
    double seconds = MicrosSince(start) / 1e6;
    *cost = Count(UpgradePackets(rig.sim.device, mark));
    return seconds;
  };

  for (int b = 0; b < kBlocks && !failed; ++b) {
    aLink_EnablePooledPackets(ref, false);
    for (int i = 0; i < kPerBlock; ++i) {
      auto start = Clock::now();
      failed = failed || !Put(ref, dataPacket) || !Await(ref, {95, 1, 26});
      dataUs.push_back(MicrosSince(start));
    }
    aLink_EnablePooledPackets(ref, true);
    for (int i = 0; i < kPerBlock; ++i) {
      auto start = Clock::now();
      for (const std::vector<uint8_t>& p : sequence) failed = failed || !Put(ref, p);
      failed = failed || !Await(ref, {95, 0xCA, 0x00});
      sequenceUs.push_back(MicrosSince(start));
    }
    dataFigure.push_back(transfer(data, false, &dataCost));
    ueiFigure.push_back(transfer(uei, true, &ueiCost));
  }
  if (failed || rig.network().Flash(kModule, kAddress, kImage) != image) {
    fprintf(stderr, "bench_upgrade_entity: an exchange failed\n");
    return 1;
  }

  double dataRtt = Percentile(dataUs, 0.5) / 1e6;
  double sequenceRtt = Percentile(sequenceUs, 0.5) / 1e6;
  auto ceiling = [&](const Exchanges& e) { return kImage / (e.dataLike * dataRtt + e.sequences * sequenceRtt); };
  PrintFigure("upgrade_data", kImage / Percentile(dataFigure, 0.5), "B/s", "link_ceiling", ceiling(dataCost));
  PrintFigure("upgrade_uei_pooled", kImage / Percentile(ueiFigure, 0.5), "B/s", "link_ceiling", ceiling(ueiCost));
  return 0;
}
