// The update's loader and firmware phases (_transfer_loader, _transfer_firmware) against the
// simulated device on loopback TCP (block size 1024): a 2 KiB loader and 256 KiB of firmware in
// two blocks, with data packets and with pooled UEI data, median of 5. Each figure is the
// 262,144 firmware bytes over the span from the first firmware PREPARE to REBOOT in the device's
// record, beside two ceilings for the exchanges the device recorded in that span (PREPARE, SUM
// and WRITE count as DATA):
//   link_ceiling     each exchange at the median round trip of its kind on the same link and
//                    device (BenchUpgradeLink.h): the workflow adds no waiting of its own when the
//                    ratio is 0.9 or more
//   raw_tcp_ceiling  each at the median ping-pong of a raw loopback TCP pair, a thread per side
//                    (30 bytes echoed; 1290 bytes answered with 5), medians of 20,000: what the
//                    link's own round trip costs beyond the sockets (target ratio 0.25 or more)
//   update_link_rtt  the link's DATA round trip beside the raw 30-byte one.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchFigure.h"
#include "BenchRoundTrip.h"
#include "BenchTiming.h"
#include "BenchUpgradeLink.h"
#include "BirdBuilder.h"
#include "LinkImpl.h"
#include "TempDir.h"
#include "UpdateTransfer.h"
#include "UpgradeRigs.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr int kRuns = 5;
constexpr int kLinkPerRun = 400;   // link-level exchanges of each kind per run
constexpr int kRawPerRun = 4000;   // raw ping-pongs of each kind per run: 20,000 in all
constexpr size_t kFirmware = 256 * 1024;
constexpr uint8_t kModule = 6;
constexpr size_t kSequenceWire = 43 * 30;  // 1024 bytes as 43 packets of a byte sequence
constexpr size_t kAckWire = 5;             // [addr, 3, 95, 0xCA, 0x00]

struct Span {
  double seconds = 0;
  UpgradeExchanges cost;
};

// From the first PREPARE after LOAD to REBOOT among the packets the device received since `from`.
bool FirmwareSpan(const std::vector<SimLinkDevice::Received>& packets, size_t from, Span* span) {
  auto sub = [](const SimLinkDevice::Received& r) {
    return r.wire.size() >= 4 && r.wire[2] == 95 ? static_cast<int>(r.wire[3]) : -1;
  };
  size_t load = packets.size(), first = packets.size(), reboot = packets.size();
  for (size_t i = from; i < packets.size(); ++i) {
    if (sub(packets[i]) == 2 && load == packets.size()) load = i;
    if (sub(packets[i]) == 3 && load < i && first == packets.size()) first = i;
    if (sub(packets[i]) == 6 && first < i) reboot = i;
  }
  if (reboot == packets.size()) return false;
  std::vector<std::vector<uint8_t>> payloads;
  for (size_t i = first; i < reboot; ++i)
    if (packets[i].wire.size() > 2 && packets[i].wire[2] == 95)
      payloads.emplace_back(packets[i].wire.begin() + 2, packets[i].wire.end());
  span->cost = CountUpgradeExchanges(payloads);
  span->seconds = static_cast<double>(packets[reboot].atUs - packets[first].atUs) / 1e6;
  return true;
}

}  // namespace

int main() {
  SimDeviceProfile profile;
  profile.upgrade.blockSize = 1024;
  TcpUpgradeRig rig(profile);
  rig.sim.device.SetRecording(false);
  if (rig.Connect() != aErrNone) {
    fprintf(stderr, "bench_update_tcp: the Module did not connect\n");
    return 1;
  }
  aLinkRef ref = heldLinkRef(*rig.module.getLink());
  TempDir dir;
  UpdateImage preset;
  preset.firmwareBytes = kFirmware / 2;
  BirdBuilder::Update(preset).WriteTo(dir / "fw.bird");
  BirdFile image((dir / "fw.bird").c_str());
  // The reboot wait's pauses are not part of the figure.
  SleepRecorder sleeps;

  UpgradeLinkRoundTrips link(ref, kModule);
  RawTcpEcho rawData, rawSequence(kSequenceWire, kAckWire);
  if (!rawData.ok() || !rawSequence.ok()) {
    fprintf(stderr, "bench_update_tcp: no loopback TCP pair\n");
    return 1;
  }
  std::vector<double> rawDataUs, rawSequenceUs, dataSeconds, ueiSeconds;
  UpgradeExchanges dataCost, ueiCost;
  bool failed = false;
  auto update = [&](bool uei, UpgradeExchanges* cost) {
    aLink_EnablePooledPackets(ref, false);
    RecordingDisplay display;
    rig.sim.device.SetRecording(true);
    size_t mark = rig.sim.device.Packets().size();
    failed = failed || _transfer_loader(display, rig.module, image) != aErrNone;
    failed = failed || _transfer_firmware(display, rig.module, image, false, uei) != aErrNone;
    // REBOOT gets no reply, and the reboot wait's pauses are instant here: the device may read
    // it after the phase returns. Recording stops once it has.
    Span span;
    bool spanned = false;
    for (int waited = 0; !failed && !spanned && waited < 2000; ++waited) {
      spanned = FirmwareSpan(rig.sim.device.Packets(), mark, &span);
      if (!spanned) aTime_MSSleep(1);
    }
    rig.sim.device.SetRecording(false);
    failed = failed || !spanned;
    *cost = span.cost;
    return span.seconds;
  };

  for (int run = 0; run < kRuns && !failed; ++run) {
    failed = !link.Measure(kLinkPerRun);
    for (int i = 0; i < kRawPerRun; ++i) rawDataUs.push_back(rawData.RoundTrip());
    for (int i = 0; i < kRawPerRun; ++i) rawSequenceUs.push_back(rawSequence.RoundTrip());
    dataSeconds.push_back(update(false, &dataCost));
    ueiSeconds.push_back(update(true, &ueiCost));
  }
  if (failed || dataCost.sequences != 0 || ueiCost.sequences == 0) {
    fprintf(stderr, "bench_update_tcp: an update failed\n");
    return 1;
  }

  double rawData30 = Percentile(rawDataUs, 0.5) / 1e6;
  double rawSequence1290 = Percentile(rawSequenceUs, 0.5) / 1e6;
  auto rawCeiling = [&](const UpgradeExchanges& e) {
    return kFirmware / (static_cast<double>(e.dataLike) * rawData30 + static_cast<double>(e.sequences) * rawSequence1290);
  };
  double data = kFirmware / Percentile(dataSeconds, 0.5);
  double uei = kFirmware / Percentile(ueiSeconds, 0.5);
  PrintFigure("update_data", data, "B/s", "link_ceiling", link.Ceiling(kFirmware, dataCost));
  PrintFigure("update_data_raw", data, "B/s", "raw_tcp_ceiling", rawCeiling(dataCost));
  PrintFigure("update_uei_pooled", uei, "B/s", "link_ceiling", link.Ceiling(kFirmware, ueiCost));
  PrintFigure("update_uei_pooled_raw", uei, "B/s", "raw_tcp_ceiling", rawCeiling(ueiCost));
  PrintFigure("update_link_rtt", Percentile(link.dataUs, 0.5), "us", "raw_tcp_rtt", rawData30 * 1e6);
  return 0;
}
