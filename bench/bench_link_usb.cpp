// USB links against the simulated device behind an emulated USB device (umockdev), beside a
// raw libusb bulk OUT/IN ping-pong of the same 30-byte messages against the same device:
//   link_rtt_usb, link_rtt_usb_p99    30-byte request/reply through aLink_CreateUSB
// The emulation stands in for the bus, so the ratio is the driver's and the engine's overhead
// only; it says nothing about hardware. The program runs itself again under umockdev-wrapper
// when it is not under it already.
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "PacketHelpers.h"
#include "BenchFigure.h"
#include "BenchTiming.h"
#include "Corvantis-C.h"
#include "SimLinkUsbSide.h"
#include "UsbDeviceEmulation.h"
#include "aLink.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSerial = 0xABCD;
constexpr size_t kMessage = 30;
constexpr int kWarmUp = 50;
constexpr int kRoundTrips = 2000;
constexpr unsigned kTimeoutMs = 1000;
constexpr const char* kWrapped = "CORVANTIS_BENCH_WRAPPED";

// Round trips of 30-byte packets through the link, in microseconds.
std::vector<double> LinkRoundTrips() {
  std::vector<double> times;
  aLinkRef ref = aLink_CreateUSB(kSerial);
  if (ref == 0) return times;
  std::vector<uint8_t> payload(kMessage - 2);
  for (int i = 0; i < kWarmUp + kRoundTrips; ++i) {
    payload[0] = static_cast<uint8_t>(i);
    payload[1] = static_cast<uint8_t>(i >> 8);
    aPacket* request = aPacket_CreateWithData(0x08, static_cast<uint8_t>(payload.size()), payload.data());
    auto start = Clock::now();
    aLink_PutPacket(ref, request);
    aPacket* reply = aLink_AwaitFirst(ref, SamePayload, &payload, 5000);
    double us = MicrosSince(start);
    aPacket_Destroy(&request);
    if (reply == nullptr) break;
    aPacket_Destroy(&reply);
    if (i >= kWarmUp) times.push_back(us);
  }
  aLink_Destroy(&ref);
  return times;
}

// The same messages as one bulk OUT and one bulk IN each, on a context and handle of its own.
std::vector<double> RawRoundTrips() {
  std::vector<double> times;
  libusb_context* context = nullptr;
  if (libusb_init(&context) != LIBUSB_SUCCESS) return times;
  libusb_device_handle* handle = libusb_open_device_with_vid_pid(context, aCORVANTIS_USB_VENDOR_ID, 0x0001);
  if (handle != nullptr && libusb_claim_interface(handle, 0) == LIBUSB_SUCCESS) {
    uint8_t message[kMessage] = {0x08, kMessage - 2};
    uint8_t in[1024];
    for (int i = 0; i < kWarmUp + kRoundTrips; ++i) {
      message[2] = static_cast<uint8_t>(i);
      int moved = 0, got = 0;
      auto start = Clock::now();
      if (libusb_bulk_transfer(handle, 0x02, message, kMessage, &moved, kTimeoutMs) != LIBUSB_SUCCESS ||
          libusb_bulk_transfer(handle, 0x81, in, sizeof in, &got, kTimeoutMs) != LIBUSB_SUCCESS ||
          got != static_cast<int>(kMessage))
        break;
      if (i >= kWarmUp) times.push_back(MicrosSince(start));
    }
    libusb_release_interface(handle, 0);
  }
  if (handle != nullptr) libusb_close(handle);
  libusb_exit(context);
  return times;
}

// Runs this program again under umockdev-wrapper; returns only when that fails.
int RunWrapped(char** argv) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = 0;
  setenv(kWrapped, "1", 1);
  std::vector<char*> args{const_cast<char*>("umockdev-wrapper"), self};
  for (char** a = argv + 1; *a != nullptr; ++a) args.push_back(*a);
  args.push_back(nullptr);
  execvp(args[0], args.data());
  perror("bench_link_usb: umockdev-wrapper");
  return 1;
}

}  // namespace

int main(int, char** argv) {
  if (getenv(kWrapped) == nullptr) return RunWrapped(argv);
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
    raw = RawRoundTrips();
  }
  if (link.size() < kRoundTrips || raw.size() < kRoundTrips) {
    fprintf(stderr, "bench_link_usb: round trips failed (link %zu, raw %zu)\n", link.size(), raw.size());
    return 1;
  }
  PrintFigure("link_rtt_usb", Percentile(link, 0.5), "us", "raw_libusb_pingpong", Percentile(raw, 0.5));
  PrintFigure("link_rtt_usb_p99", Percentile(link, 0.99), "us", "raw_libusb_pingpong_p99", Percentile(raw, 0.99));
  return 0;
}
