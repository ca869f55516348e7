// USB links: real libusb against emulated devices with the simulated device behind them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "LinkEcho.h"
#include "Corvantis-C.h"
#include "CpuTime.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "SimLinkUsbSide.h"
#include "UsbEmulationTest.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"
#include "aLinkSpec.h"
#include "unix_time.h"

namespace {

constexpr int kBound = 5000;  // ms; for anything that should be quick
constexpr uint32_t kSerial = 0x0000ABCD;

uint64_t MsSince(uint64_t start) { return aTime_GetMonotonicMS() - start; }

// Threads and descriptors of the process, taken once the libusb context (with its own
// thread) exists.
struct Counts {
  Counts() {
    EXPECT_NE(Corvantis_libusb_context(), nullptr);
    threads = CountThreads();
    descriptors = CountOpenDescriptors();
  }
  // The emulation sees closes a moment after they happen.
  void ExpectBack() const {
    EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return CountThreads() == threads; }, kBound)) << "threads";
    EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return CountOpenDescriptors() == descriptors; }, kBound))
        << "descriptors";
  }
  int threads;
  int descriptors;
};

class UsbLink : public UsbEmulationTest {
 protected:
  void SetUp() override {
    UsbEmulationTest::SetUp();
    sim_.SetEcho(true);
  }
  void TearDown() override {
    if (ref_ != 0) aLink_Destroy(&ref_);
    UsbEmulationTest::TearDown();
  }

  // A device of the family with the simulated device behind it (one device at a time).
  EmulatedUsbDevice& AddDevice(UsbDeviceConfig spec = UsbDeviceConfig::Corvantis(kSerial)) {
    EmulatedUsbDevice& device = usb().add(spec);
    device.setDevice(side_);
    return device;
  }

  // The wire forms of the packets the device received, from `from` on.
  std::vector<std::vector<uint8_t>> Received(size_t from = 0) const {
    std::vector<std::vector<uint8_t>> wires;
    std::vector<SimLinkDevice::Received> packets = sim_.Packets();
    for (size_t i = from; i < packets.size(); ++i) wires.push_back(packets[i].wire);
    return wires;
  }

  SimLinkDevice sim_;
  SimLinkDevice mute_;  // a second device, for tests that need one
  std::shared_ptr<SimLinkUsbSide> side_ = std::make_shared<SimLinkUsbSide>(sim_);
  aLinkRef ref_ = 0;
};

TEST_F(UsbLink, CreateSynchronisesSharesAndReleases) {
  EmulatedUsbDevice& device = AddDevice();
  Counts counts;

  uint64_t start = aTime_GetMonotonicMS();
  ref_ = aLink_CreateUSB(kSerial);
  uint64_t ms = MsSince(start);
  ASSERT_NE(ref_, 0u);
  // The handshake starts at the first empty read, a 1000 ms IN time-out.
  EXPECT_GE(ms, 900u);
  EXPECT_LT(ms, 3000u);
  EXPECT_EQ(aLink_GetStatus(ref_), kLinkStatusRunning);
  // Six AD 00 are queued; those still unsent when two answers have come are dropped.
  std::vector<std::vector<uint8_t>> first = Received();
  ASSERT_GE(first.size(), 3u);
  EXPECT_EQ(first[0], HexBytes("AF 01 01"));
  size_t syncs = sim_.SyncCount();
  EXPECT_GE(syncs, 2u);
  EXPECT_LE(syncs, 6u);
  for (size_t i = 1; i <= syncs && i < first.size(); ++i) EXPECT_EQ(first[i], HexBytes("AD 00")) << i;

  for (int i = 0; i < 100; ++i) ASSERT_TRUE(LinkEcho(ref_, i)) << "exchange " << i;
  EXPECT_EQ(sim_.Heartbeat(0, kBound), SimLinkDevice::HeartbeatResult::kAnswered);

  aLinkRef again = aLink_CreateUSB(kSerial);
  EXPECT_EQ(again, ref_);
  EXPECT_EQ(device.opens(), 1) << "the second create shares the device";
  EXPECT_EQ(aLink_Destroy(&again), aErrNone);
  EXPECT_EQ(aLink_GetStatus(ref_), kLinkStatusRunning);
  EXPECT_TRUE(LinkEcho(ref_, 1000));

  aLinkRef last = ref_;
  EXPECT_EQ(aLink_Destroy(&ref_), aErrNone);
  EXPECT_EQ(aLink_GetStatus(last), kLinkStatusInvalid);
  ASSERT_TRUE(sim_.WaitForRoutes(2, kBound));
  EXPECT_EQ(sim_.RoutePackets().back(), HexBytes("AF 01 00"));
  EXPECT_EQ(device.releases(), 1);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device.openHandles() == 0; }, kBound)) << "node closed";
  counts.ExpectBack();
}

TEST_F(UsbLink, ResetWhileTheUnpluggedDeviceComesBack) {
  EmulatedUsbDevice& device = AddDevice();
  Counts counts;
  ref_ = aLink_CreateUSB(kSerial);
  ASSERT_NE(ref_, 0u);
  ASSERT_TRUE(LinkEcho(ref_, 1));

  device.unplug();
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return aLink_GetStatus(ref_) == kLinkStatusIOError; }, 2000));
  size_t syncs = sim_.SyncCount();
  // Back once the reset has looked for the device at least once and found it away: each try
  // opens the node, and the claim fails while the device is unplugged.
  int opens = device.opens();
  std::thread back([&device, opens] {
    EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device.opens() > opens; }, kBound)) << "no try";
    device.replug();
  });
  aLinkRef same = ref_;
  EXPECT_EQ(aLink_Reset(ref_), aErrNone);
  back.join();
  EXPECT_EQ(ref_, same);
  EXPECT_EQ(aLink_GetStatus(ref_), kLinkStatusRunning);
  EXPECT_EQ(device.claims(), 2);
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(LinkEcho(ref_, i)) << "exchange " << i;
  EXPECT_EQ(sim_.SyncCount(), syncs) << "a reset runs no handshake";

  EXPECT_EQ(aLink_Destroy(&ref_), aErrNone);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device.openHandles() == 0; }, kBound));
  counts.ExpectBack();
}

TEST_F(UsbLink, ResetWhileTheDeviceStaysAwayStopsTheLinkUntilItIsBack) {
  EmulatedUsbDevice& device = AddDevice();
  Counts counts;
  ref_ = aLink_CreateUSB(kSerial);
  ASSERT_NE(ref_, 0u);
  device.unplug();
  ASSERT_TRUE(EmulatedUsbDevice::WaitFor([&] { return aLink_GetStatus(ref_) == kLinkStatusIOError; }, 2000));

  int opens = device.opens();
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(aLink_Reset(ref_), aErrNotFound);
  uint64_t ms = MsSince(start);
  EXPECT_EQ(device.opens() - opens, 20) << "a try for each of the reset's 20, each opening the node";
  EXPECT_GE(ms, 1800u);
  EXPECT_LT(ms, 5000u);
  EXPECT_EQ(aLink_GetStatus(ref_), kLinkStatusInvalid);
  EXPECT_EQ(sGetLink(ref_)->stream, nullptr);
  EXPECT_EQ(aLink_GetPacket(ref_), nullptr);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return CountThreads() == counts.threads; }, kBound))
      << "no link threads";

  device.replug();
  EXPECT_EQ(aLink_Reset(ref_), aErrNone);
  EXPECT_EQ(aLink_GetStatus(ref_), kLinkStatusRunning);
  EXPECT_TRUE(LinkEcho(ref_, 1));
  EXPECT_EQ(aLink_Destroy(&ref_), aErrNone);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device.openHandles() == 0; }, kBound));
  counts.ExpectBack();
}

TEST_F(UsbLink, FailedCreatesLeaveNothingBehind) {
  EmulatedUsbDevice& shared = AddDevice(UsbDeviceConfig::Corvantis(0x4444));
  UsbDeviceConfig lower = UsbDeviceConfig::Corvantis(kSerial);
  lower.serial = "0000abcd";
  EmulatedUsbDevice& lowerCase = usb().add(lower);
  EmulatedUsbDevice& busy = usb().add(UsbDeviceConfig::Corvantis(0x2222));
  busy.setClaimErrno(EBUSY);
  mute_.SetSilent(true);
  EmulatedUsbDevice& silent = usb().add(UsbDeviceConfig::Corvantis(0x3333));
  silent.setDevice(std::make_shared<SimLinkUsbSide>(mute_));
  Counts counts;

  ref_ = aLink_CreateUSB(0x4444);
  ASSERT_NE(ref_, 0u);
  aLinkRef drawn = ref_;
  size_t registered = sRegistryCount();

  struct Row {
    const char* what;
    uint32_t serial;
    EmulatedUsbDevice* device;
    uint64_t atLeastMs;
    uint64_t belowMs;
  };
  const Row rows[] = {
      {"no device with that serial", 0x1111, nullptr, 0, 1000},
      {"a serial string in lower case", kSerial, &lowerCase, 0, 1000},
      {"a claim refused as busy", 0x2222, &busy, 0, 1000},
      // The first read waits 1000 ms, the handshake 2 s more, and the stop joins a reader
      // that may be inside another 1000 ms read.
      {"no answer to the handshake", 0x3333, &silent, 2000, 4500},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    uint64_t start = aTime_GetMonotonicMS();
    EXPECT_EQ(aLink_CreateUSB(row.serial), 0u);
    uint64_t ms = MsSince(start);
    EXPECT_GE(ms, row.atLeastMs);
    EXPECT_LT(ms, row.belowMs);
    EXPECT_EQ(sRegistryCount(), registered);
    if (row.device != nullptr) {
      EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return row.device->openHandles() == 0; }, kBound));
    }
  }
  EXPECT_EQ(silent.claims(), 1);
  EXPECT_EQ(silent.releases(), 1);
  EXPECT_EQ(busy.claims(), 0);

  // A link server fronting the link keeps it for itself.
  linkItem* entry = sLookupEntryByID(ref_);
  ASSERT_NE(entry, nullptr);
  entry->server = reinterpret_cast<aServer*>(&mute_);
  EXPECT_EQ(aLink_CreateUSB(0x4444), 0u);
  EXPECT_EQ(entry->use_count, 1);
  entry->server = nullptr;
  EXPECT_EQ(sRegistryCount(), registered);

  // Every failed create drew an id of its own, which is not used again.
  EXPECT_EQ(aLink_Destroy(&ref_), aErrNone);
  ref_ = aLink_CreateUSB(0x4444);
  EXPECT_EQ(ref_, drawn + 1 + std::size(rows));
  EXPECT_EQ(aLink_Destroy(&ref_), aErrNone);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return shared.openHandles() == 0; }, kBound));
  counts.ExpectBack();
}

// With the kernel driver's node, the link runs over it and its reader sleeps on the node
// between bytes instead of reading it in a loop.
TEST_F(UsbLink, RunsOverTheKernelNodeWithoutSpinning) {
  EmulatedUsbDevice& device = AddDevice();
  EmulatedUsbNode& node = usb().addNode(kSerial);
  node.setDevice(side_);
  Counts counts;

  ref_ = aLink_CreateUSB(kSerial);
  ASSERT_NE(ref_, 0u);
  EXPECT_EQ(device.opens(), 0);
  ASSERT_FALSE(Received().empty());
  EXPECT_EQ(Received()[0], HexBytes("AF 01 01"));
  EXPECT_GE(sim_.SyncCount(), 6u);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(LinkEcho(ref_, i)) << "exchange " << i;

  double cpu = ProcessCpuSeconds();
  aTime_MSSleep(1000);
  EXPECT_LT(ProcessCpuSeconds() - cpu, 0.3) << "an idle link over the node costs no core";
  EXPECT_TRUE(LinkEcho(ref_, 100));

  EXPECT_EQ(aLink_Destroy(&ref_), aErrNone);
  ASSERT_TRUE(sim_.WaitForRoutes(2, kBound));
  EXPECT_EQ(sim_.RoutePackets().back(), HexBytes("AF 01 00"));
  counts.ExpectBack();
}

}  // namespace
