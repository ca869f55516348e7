#pragma once
// USB benchmarks against devices of the emulated bus (umockdev): the program runs itself again
// under umockdev-wrapper, and the raw baseline of every USB round-trip figure is a bulk OUT of
// one message and a bulk IN of its echo on a libusb context and handle of the baseline's own.
#include <libusb.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "BenchTiming.h"

constexpr const char* kBenchWrapped = "CORVANTIS_BENCH_WRAPPED";

// Whether this process runs under the wrapper that RunUnderUsbEmulation started.
inline bool UnderUsbEmulation() { return getenv(kBenchWrapped) != nullptr; }

// Runs this program again under umockdev-wrapper; returns only when that fails.
inline int RunUnderUsbEmulation(char** argv) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = 0;
  setenv(kBenchWrapped, "1", 1);
  std::vector<char*> args{const_cast<char*>("umockdev-wrapper"), self};
  for (char** a = argv + 1; *a != nullptr; ++a) args.push_back(*a);
  args.push_back(nullptr);
  execvp(args[0], args.data());
  perror("umockdev-wrapper");
  return 1;
}

// `count` round trips (after `warmUp` more) of `message` out on 0x02 and its echo of the same
// length in on 0x81, in microseconds each; byte 3 of the message counts up. Fewer when a
// transfer failed.
inline std::vector<double> RawUsbRoundTrips(uint16_t vendorId, uint16_t productId, std::vector<uint8_t> message,
                                            int warmUp, int count) {
  constexpr unsigned kTimeoutMs = 1000;
  std::vector<double> times;
  libusb_context* context = nullptr;
  if (libusb_init(&context) != LIBUSB_SUCCESS) return times;
  libusb_device_handle* handle = libusb_open_device_with_vid_pid(context, vendorId, productId);
  if (handle != nullptr && libusb_claim_interface(handle, 0) == LIBUSB_SUCCESS) {
    uint8_t in[1024];
    const int length = static_cast<int>(message.size());
    for (int i = 0; i < warmUp + count; ++i) {
      if (message.size() > 3) message[3] = static_cast<uint8_t>(i);
      int moved = 0, got = 0;
      auto start = std::chrono::steady_clock::now();
      if (libusb_bulk_transfer(handle, 0x02, message.data(), length, &moved, kTimeoutMs) != LIBUSB_SUCCESS ||
          libusb_bulk_transfer(handle, 0x81, in, sizeof in, &got, kTimeoutMs) != LIBUSB_SUCCESS || got != length)
        break;
      if (i >= warmUp) times.push_back(MicrosSince(start));
    }
    libusb_release_interface(handle, 0);
  }
  if (handle != nullptr) libusb_close(handle);
  libusb_exit(context);
  return times;
}
