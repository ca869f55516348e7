// Waits of whole seconds: the auto-network of a device that never tells its address, late
// acknowledgements of long byte sequences, slow slot opens.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "DeviceRigs.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

TEST(ModuleSlow, ADeviceThatNeverTellsItsAddressLeavesTheModuleConnected) {
  auto check = [](SimLinkDevice& device, linkSpec spec) {
    device.SetSyncAnswers({SimLinkDevice::SyncAnswer::kNever});
    device.SetEcho(true);
    Module module(4, true, 0);
    module.setConfig(DirectConfig());
    uint64_t start = aTime_GetMonotonicMS();
    EXPECT_EQ(module.connectFromSpec(spec), aErrNotReady);
    uint64_t took = aTime_GetMonotonicMS() - start;
    EXPECT_GE(took, 4000u);
    EXPECT_LT(took, 6000u);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(module.getModuleAddress(), 4);
    EXPECT_EQ(device.SyncCount(), 4u);
    EXPECT_TRUE(EchoesThrough(*module.getLink(), 4, 1));
  };
  {
    SCOPED_TRACE("TCP/IP");
    TcpSimDevice d;
    check(d.device, d.Spec());
  }
  {
    SCOPED_TRACE("serial");
    PtySimDevice p;
    check(p.device, p.Spec());
  }
}

TEST(ModuleSlow, LongSequencesWaitLongerForTheirAcknowledgement) {
  struct Row {
    size_t size;
    uint32_t lateMs;
    aErr result;
  };
  const Row rows[] = {
      {3100, 2500, aErrNone},
      {1000, 1500, aErrTimeout},  // up to 1000 bytes the wait stays 1000 ms
  };
  for (const Row& row : rows) {
    TcpModuleRig rig;
    rig.network().SetEntity(6, {3, 20, 0}, {SimWidth::kBytes});
    ASSERT_EQ(rig.Connect(), aErrNone);
    // Every packet of the sequence meets the fault; only the last one has a reply to delay.
    rig.network().AddFault({3, 0x94}, SimFault::Late(row.lateMs), true);
    std::vector<uint8_t> data(row.size, 0x5A);
    uei request{};
    request.module = 6;
    request.command = 3;
    request.option = 0x94;
    request.index = 0x20;
    request.type = ueiTypeBytes;
    request.value.data = data.data();
    request.length = data.size();
    ASSERT_EQ(rig.link().sendUEI(request), aErrNone);
    uei ack{};
    ack.module = 6;
    ack.command = 3;
    ack.option = 0xD4;
    ack.type = ueiTypeBytes;
    ack.length = data.size();
    uint64_t start = aTime_GetMonotonicMS();
    EXPECT_EQ(rig.link().receiveUEI(6, 3, 0xD4, 0, &ack), row.result) << row.size;
    uint64_t took = aTime_GetMonotonicMS() - start;
    EXPECT_GE(took, row.result == aErrNone ? 2000u : 950u) << row.size;
    EXPECT_EQ(rig.network().Entity(6, {3, 20, 0})->bytes, data) << row.size;
  }
}

TEST(ModuleSlow, ASlowSlotOpenIsWaitedFor) {
  TcpModuleRig rig;
  rig.network().SetSlot(6, 1, 2, 100, std::vector<uint8_t>(30, 7));
  rig.network().SetSlotTiming(6, 2000, 25);
  ASSERT_EQ(rig.Connect(), aErrNone);
  std::vector<uint8_t> buffer(64, 0);
  size_t count = 0;
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(rig.link().unloadStoreSlot(6, 1, 2, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_GE(aTime_GetMonotonicMS() - start, 2000u);
  EXPECT_EQ(count, 30u);
  EXPECT_EQ(rig.network().OpenSlots(6), 0u);
}
