// USB links against the simulated device behind an emulated USB device (umockdev), beside a
// raw libusb bulk OUT/IN ping-pong of the same 30-byte messages against the same device:
//   link_rtt_usb, link_rtt_usb_p99    30-byte request/reply through aLink_CreateUSB
// The emulation stands in for the bus, so the ratio is the driver's and the engine's overhead
// only; it says nothing about hardware. The program runs itself again under umockdev-wrapper
// when it is not under it already.
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "PacketHelpers.h"
#include "BenchFigure.h"
#include "BenchRoundTrip.h"
#include "BenchTiming.h"
#include "BenchUsb.h"
#include "Corvantis-C.h"
#include "SimLinkUsbSide.h"
#include "UsbDeviceEmulation.h"
#include "aLink.h"

namespace {

constexpr uint32_t kSerial = 0xABCD;
constexpr size_t kMessage = 30;
constexpr int kWarmUp = 50;
constexpr int kRoundTrips = 2000;

// Round trips of 30-byte packets through the link, in microseconds.
std::vector<double> LinkRoundTrips() {
  std::vector<double> times;
  aLinkRef ref = aLink_CreateUSB(kSerial);
  if (ref == 0) return times;
  std::vector<uint8_t> payload(kMessage - 2);
  for (int i = 0; i < kWarmUp + kRoundTrips; ++i) {
    payload[0] = static_cast<uint8_t>(i);
    payload[1] = static_cast<uint8_t>(i >> 8);
    double us = LinkEchoRoundTrip(ref, 0x08, payload);
    if (us < 0) break;
    if (i >= kWarmUp) times.push_back(us);
  }
  aLink_Destroy(&ref);
  return times;
}

}  // namespace

int main(int, char** argv) {
  if (!UnderUsbEmulation()) return RunUnderUsbEmulation(argv);
  std::vector<double> link, raw;
  {
    SimLinkDevice device;  // outlives the emulation that feeds it
    UsbDeviceEmulation usb;
    if (!usb.active()) {
      fprintf(stderr, "bench_link_usb: the USB emulation is not active\n");
      return 1;
    }
    device.SetEcho(true);
    device.SetRecording(false);
    usb.add(UsbDeviceConfig::Corvantis(kSerial)).setDevice(std::make_shared<SimLinkUsbSide>(device));
    link = LinkRoundTrips();
    Corvantis_libusb_exit();
    std::vector<uint8_t> message(kMessage, 0);
    message[0] = 0x08;
    message[1] = kMessage - 2;
    raw = RawUsbRoundTrips(aCORVANTIS_USB_VENDOR_ID, 0x0001, message, kWarmUp, kRoundTrips);
  }
  if (link.size() < kRoundTrips || raw.size() < kRoundTrips) {
    fprintf(stderr, "bench_link_usb: round trips failed (link %zu, raw %zu)\n", link.size(), raw.size());
    return 1;
  }
  PrintFigure("link_rtt_usb", Percentile(link, 0.5), "us", "raw_libusb_pingpong", Percentile(raw, 0.5));
  PrintFigure("link_rtt_usb_p99", Percentile(link, 0.99), "us", "raw_libusb_pingpong_p99", Percentile(raw, 0.99));
  return 0;
}
