// Recovery against the simulated chips, each figure beside a baseline measured in the same run,
// figure and baseline in alternating blocks:
//   recovery_lpc_64k           wall time of updater -U -t RECOVER -f (a 64 KiB image) from its
//                              start to the chip's "G 0 T", against the LPC ISP boot loader on a
//                              pty throttled to 11 520 characters per second (erase 100 ms, copy
//                              1 ms per 256 bytes); baseline lpc_line_64k: the same characters in
//                              one stream to the same chip, plus its modelled delays
//   recovery_imx_firmware      bytes/s of _transfer_firmware of 256 KiB in two blocks (data
//                              packets) to the recovery loader on the emulated bus, from the
//                              first PREPARE to REBOOT in its record; baseline link_ceiling: the
//                              bytes over the exchanges it made, each at the median link-level
//                              round trip of a DATA and its answer on the same link
//   recovery_imx_firmware_raw  the same figure; baseline raw_usb_ceiling: each exchange at the
//                              median raw libusb ping-pong of a 30-byte message with the device
//   recovery_link_rtt          the link's round trip of a 30-byte echo; baseline raw_usb_rtt
// The workflow adds no waiting of its own: the ratios should stay at 1.1 or below (LPC) and 0.9
// or above (i.MX). The program runs itself again under umockdev-wrapper.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BenchFigure.h"
#include "BenchRoundTrip.h"
#include "BenchSerialLine.h"
#include "BenchTiming.h"
#include "BenchUsb.h"
#include "BirdBuilder.h"
#include "Corvantis-C.h"
#include "DisableEther.h"
#include "LinkChecks.h"
#include "LinkImpl.h"
#include "PacketHelpers.h"
#include "PtyPair.h"
#include "RecordingDisplay.h"
#include "RunUpdater.h"
#include "SimLpcIsp.h"
#include "SimRecoveryLoader.h"
#include "TempDir.h"
#include "UpdateTransfer.h"
#include "UpgradeRigs.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr uint32_t kLine = 11520;
constexpr int kLpcBlocks = 2;
constexpr size_t kLpcImage = 64 * 1024;
constexpr uint32_t kLpcAddress = 0x10000;
const uint32_t kChipWords[4] = {0x12345678, 0x9ABCDEF0, 0x0BADF00D, 0x00C0FFEE};

constexpr int kImxBlocks = 3;
constexpr int kPerBlock = 300;
constexpr int kWarmUp = 20;
constexpr size_t kImxImage = 256 * 1024;
constexpr uint8_t kLoaderAddress = 6;
constexpr uint8_t kLoaderModel = 0x13;
constexpr uint8_t kEchoCommand = 0x17;

// The characters the updater sends an LPC chip for a recovery of `plain` at kLpcAddress.
std::vector<uint8_t> LpcRecoveryText(const std::vector<uint8_t>& plain) {
  std::string text = "?Synchronized\r\n14746\r\nN\r\nU 23130\r\nP 0 29\r\nE 0 29\r\nA 0\r\n";
  for (size_t at = 0; at < plain.size(); at += 4096)
    text += LpcChunkText(plain.data() + at, 4096, kLpcAddress + static_cast<uint32_t>(at), 4096);
  text += "A 1\r\nG 0 T\r\n";
  return std::vector<uint8_t>(text.begin(), text.end());
}

// When the chip had the whole "G 0 T" line; 0 when it never came.
uint64_t StartedAtMs(const SimLpcIsp& chip) {
  std::string text;
  for (const LineTranscriptEntry& e : chip.transcript()) {
    if (!e.fromHost) continue;
    text.append(e.bytes.begin(), e.bytes.end());
    if (text.find("G 0 T\r\n") != std::string::npos) return e.atMs;
  }
  return 0;
}

bool BenchLpc() {
  TempDir dir;
  std::vector<uint8_t> plain = RandomBytes(kLpcImage, 71);
  std::string image = dir / "fw.bird";
  if (!BirdBuilder()
           .Firmware(kLpcAddress, LpcEncode(plain, kChipWords))
           .Firmware(0, {0xFF, 0xFF, 0xFF, 0xFF})
           .WriteTo(image))
    return false;
  const std::vector<uint8_t> stream = LpcRecoveryText(plain);
  const uint64_t modelledMs = 100 + kLpcImage / 256;
  double measured = 0, baseline = 0;
  for (int block = 0; block < kLpcBlocks; ++block) {
    PtyPair pty(true);
    SimLpcIsp chip(pty);
    chip.configure([](SimLpcIsp::Settings& s) {
      std::copy(std::begin(kChipWords), std::end(kChipWords), s.deviceId);
      s.throttle = kLine;
      s.eraseDelayMs = 100;
      s.copyDelayMsPer256 = 1;
    });
    chip.start();
    RunOptions options;
    options.timeoutMs = 60000;
    uint64_t start = aTime_GetMonotonicMS();
    RunResult run = RunProgram(CORVANTIS_UPDATER_PATH,
                               {"-i", dir / "store", "-u", "http://127.0.0.1:9/cgi/u", "-U", "-t", "RECOVER", "-s",
                                pty.slaveName(), "-f", image},
                               options);
    uint64_t started = StartedAtMs(chip);
    if (run.exitStatus != 0 || started == 0 || chip.flash(kLpcAddress, plain.size()) != plain) {
      fprintf(stderr, "bench_recovery: the LPC recovery failed: %s\n", run.err.c_str());
      return false;
    }
    measured += static_cast<double>(started - start);
    int fd = OpenRawLine(pty.slaveName());
    double line = RawLineMs(fd, stream, [&] { return chip.bytesFromHost(); }, modelledMs);
    close(fd);
    if (line < 0) return false;
    baseline += line;
  }
  PrintFigure("recovery_lpc_64k", measured / kLpcBlocks, "ms", "lpc_line_64k", baseline / kLpcBlocks);
  return true;
}

// One transfer's record: its seconds from the first PREPARE to REBOOT, and its exchanges that
// get an answer (PREPARE, DATA, SUM, WRITE).
struct TransferRecord {
  double seconds = 0;
  size_t exchanges = 0;
};

TransferRecord Record(const SimLinkDevice& device, size_t from) {
  TransferRecord r;
  uint64_t first = 0, reboot = 0;
  std::vector<SimLinkDevice::Received> packets = device.Packets();
  for (size_t i = from; i < packets.size(); ++i) {
    const std::vector<uint8_t>& w = packets[i].wire;
    if (w.size() < 4 || w[2] != 95) continue;
    uint8_t sub = w[3];
    if (sub == 3 && first == 0) first = packets[i].atMs;
    if (sub == 1 || sub == 3 || sub == 4 || sub == 5) ++r.exchanges;
    if (sub == 6) reboot = packets[i].atMs;
  }
  r.seconds = first != 0 && reboot > first ? static_cast<double>(reboot - first) / 1000.0 : 0;
  return r;
}

bool BenchImx() {
  TempDir dir;
  std::string path = dir / "firmware.bird";
  if (!BirdBuilder()
           .Firmware(0x60000000, RandomBytes(kImxImage / 2, 81))
           .Firmware(0x60040000, RandomBytes(kImxImage / 2, 82))
           .WriteTo(path))
    return false;
  BirdFile image(path.c_str());

  std::vector<uint8_t> echo(28, 0x3C);
  echo[0] = kEchoCommand;
  std::vector<uint8_t> raw{kLoaderAddress, 28};
  raw.insert(raw.end(), echo.begin(), echo.end());
  std::vector<uint8_t> data{95, 1};
  data.resize(28, 0x5A);
  const uint8_t dataAnswer[] = {95, 1, 26};
  CommandMatch dataMatch{dataAnswer, sizeof dataAnswer};

  std::vector<double> rawUs, linkUs, dataUs, figure, linkCeiling, rawCeiling;
  UsbDeviceEmulation usb;
  if (!usb.active()) {
    fprintf(stderr, "bench_recovery: the USB emulation is not active\n");
    return false;
  }
  SimSdpRom rom;  // no face: the loader comes only when plugged in here
  SimRecoveryLoader::Settings settings;
  settings.plug = SimRecoveryLoader::Plug::kNever;
  settings.address = kLoaderAddress;
  settings.model = kLoaderModel;
  for (int block = 0; block < kImxBlocks; ++block) {
    // REBOOT takes a loader off the bus for good: each block has a fresh one.
    SimRecoveryLoader loader(usb, rom, settings);
    loader.PlugIn();
    std::vector<double> raws = RawUsbRoundTrips(aCORVANTIS_USB_VENDOR_ID, kLoaderModel, raw, kWarmUp, kPerBlock);
    if (raws.size() < kPerBlock) {
      fprintf(stderr, "bench_recovery: raw round trips failed (%zu)\n", raws.size());
      return false;
    }
    rawUs.insert(rawUs.end(), raws.begin(), raws.end());

    RecordingDisplay display;
    Module module(0, 0);
    if (_disableEther(module, display) != aErrNone || module.discoverAndConnect(USB, 0xDEADDEAD) != aErrNone) {
      fprintf(stderr, "bench_recovery: the loader was not found\n");
      return false;
    }
    aLinkRef ref = heldLinkRef(*module.getLink());
    for (int i = 0; i < kWarmUp + kPerBlock; ++i) {
      echo[1] = static_cast<uint8_t>(i);
      double e = LinkEchoRoundTrip(ref, kLoaderAddress, echo);
      double d = LinkRoundTrip(ref, kLoaderAddress, data, sCommandFilter, &dataMatch);
      if (e < 0 || d < 0) {
        fprintf(stderr, "bench_recovery: a link round trip failed\n");
        return false;
      }
      if (i < kWarmUp) continue;
      linkUs.push_back(e);
      dataUs.push_back(d);
    }

    size_t mark = loader.device().Packets().size();
    if (_transfer_firmware(display, module, image, false, false) != aErrNone) {
      fprintf(stderr, "bench_recovery: the firmware transfer failed\n");
      return false;
    }
    TransferRecord record = Record(loader.device(), mark);
    module.disconnect();
    Corvantis_libusb_exit();
    if (record.seconds <= 0 || record.exchanges == 0) return false;
    figure.push_back(kImxImage / record.seconds);
    linkCeiling.push_back(kImxImage / (record.exchanges * Percentile(dataUs, 0.5) / 1e6));
    rawCeiling.push_back(kImxImage / (record.exchanges * Percentile(rawUs, 0.5) / 1e6));
  }
  double bytesPerSecond = Percentile(figure, 0.5);
  PrintFigure("recovery_imx_firmware", bytesPerSecond, "B/s", "link_ceiling", Percentile(linkCeiling, 0.5));
  PrintFigure("recovery_imx_firmware_raw", bytesPerSecond, "B/s", "raw_usb_ceiling", Percentile(rawCeiling, 0.5));
  PrintFigure("recovery_link_rtt", Percentile(linkUs, 0.5), "us", "raw_usb_rtt", Percentile(rawUs, 0.5));
  return true;
}

}  // namespace

int main(int, char** argv) {
  if (!UnderUsbEmulation()) return RunUnderUsbEmulation(argv);
  bool ok = BenchLpc();
  ok = BenchImx() && ok;
  return ok ? 0 : 1;
}
