// The simulated device's wait for its own output: tests order a step after a device reply by
// it, so it must hold until the transport has taken the last byte, not only until the byte has
// left the device's queue.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <vector>

#include "PacketHelpers.h"
#include "SimLinkDevice.h"
#include "unix_time.h"

namespace {

constexpr uint64_t kBound = 5000;  // ms; a hang guard
// A slow transport: each write takes this long, so that a wait returning before the write is
// over finds the bytes missing.
constexpr uint64_t kWriteMs = 200;

TEST(SimLinkDevice, OutputIsIdleOnlyOnceTheTransportHasTakenEveryByte) {
  struct Row {
    const char* what;
    std::function<void(SimLinkDevice&)> start;
    std::vector<uint8_t> expected;
  };
  const Row rows[] = {
      {"bytes sent one at a time with gaps",
       [](SimLinkDevice& d) { d.SendRaw(HexBytes("08 02 11 22"), 20); }, HexBytes("08 02 11 22")},
      {"a late answer to the handshake",
       [](SimLinkDevice& d) {
         d.SetSyncAnswers({SimLinkDevice::SyncAnswer::kLate}, 50);
         const std::vector<uint8_t> sync = HexBytes("AD 00");
         d.FromHost(sync.data(), sync.size());
       },
       HexBytes("08 00")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SimLinkDevice device;
    std::mutex mutex;
    std::vector<uint8_t> taken;
    device.Attach([&](const uint8_t* data, size_t size) {
      aTime_MSSleep(kWriteMs);
      std::lock_guard<std::mutex> hold(mutex);
      taken.insert(taken.end(), data, data + size);
      return aErrNone;
    });
    row.start(device);
    ASSERT_TRUE(device.WaitForOutputIdle(kBound));
    {
      std::lock_guard<std::mutex> hold(mutex);
      EXPECT_EQ(HexText(taken), HexText(row.expected));
    }
    device.Attach(nullptr);
  }
}

}  // namespace
