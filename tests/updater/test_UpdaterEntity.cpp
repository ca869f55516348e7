// The firmware-upgrade entity against the simulated device over loopback TCP: the exact bytes
// it sends, what it makes of every kind of reply, and how it follows a device that drops its
// link and comes back.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "BirdFile.h"
#include "unix_time.h"
#include "DisableEther.h"
#include "LinkImpl.h"
#include "Log.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "UpgradeRigs.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"

using Tavrin::Corvantis::heldLinkRef;
using Bytes = std::vector<uint8_t>;
using K = SimUpgradeFault::Kind;
using Phase = SimLinkDevice::PhaseChange;

namespace {

constexpr uint32_t kLoaderAddress = 0x20001000;
constexpr uint32_t kFirmwareAddress = 0x00010000;
constexpr uint64_t kBound = 5000;

uint32_t Sum(const Bytes& bytes) {
  uint32_t sum = 0;
  for (uint8_t b : bytes) sum += b;
  return sum;
}

// The data sizes of the DATA packets among the packets, in order.
std::vector<size_t> DataSizes(const std::vector<Bytes>& packets) {
  std::vector<size_t> sizes;
  for (const Bytes& p : packets)
    if (p.size() >= 2 && p[1] == 1) sizes.push_back(p.size() - 2);
  return sizes;
}

size_t CountSub(const std::vector<Bytes>& packets, uint8_t sub) {
  size_t n = 0;
  for (const Bytes& p : packets) n += p.size() >= 2 && p[1] == sub;
  return n;
}

std::vector<Bytes> Writes(const std::vector<Bytes>& packets) {
  std::vector<Bytes> writes;
  for (const Bytes& p : packets)
    if (p.size() >= 2 && p[1] == 5) writes.push_back(p);
  return writes;
}

bool Pooled(Tavrin::Corvantis::Module& module) { return sGetLink(heldLinkRef(*module.getLink()))->pooled.load() != 0; }

}  // namespace

TEST(UpdaterEntity, LoaderBlocksByTheirReplies) {
  struct Case {
    const char* name;
    std::vector<SimUpgradeFault> faults;
    bool validateSum;
    aErr result;
    std::vector<size_t> dataSizes;
    bool sumAsked;
    bool unableLine;  // the always-written line of a refused sum
  };
  const std::vector<size_t> once = {26, 26, 8};
  const Case cases[] = {
      {"answered", {}, true, aErrNone, once, true, false},
      {"one wrong count", {{1, K::kWrongCount}}, true, aErrNone, {26, 26, 26, 8}, true, false},
      // The device took the bytes it answered without a count: sent again, they break the sum.
      {"a count byte missing once", {{1, K::kShort, 2}}, true, aErrInvalidOption, {26, 26, 26, 8}, true, true},
      {"wrong counts without end", {{1, K::kWrongCount, 0, 0}}, true, aErrPacket, std::vector<size_t>(10, 26), false,
       false},
      {"sum differs", {{4, K::kWrongSum}}, true, aErrInvalidOption, once, true, true},
      {"sum refused", {{4, K::kStatus, 1}}, true, aErrInvalidOption, once, true, true},
      {"sum reply without a whole sum", {{4, K::kShort, 6}}, true, aErrInvalidOption, once, true, true},
      {"sums not checked", {}, false, aErrNone, once, false, false},
      // No reply: the wait's own code, a time-out while the link runs, no connection once it stopped.
      {"DATA not answered", {{1, K::kNoReply}}, true, aErrTimeout, {26}, false, false},
      {"SUM not answered", {{4, K::kNoReply}}, true, aErrTimeout, once, true, false},
      {"device gone at the third DATA", {{1, K::kVanish, 0, 1, 2}}, true, aErrConnection, once, false, false},
  };
  const Bytes image = RandomBytes(60, 7);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TcpUpgradeRig rig;
    for (const SimUpgradeFault& f : c.faults) rig.network().AddUpgradeFault(6, f);
    ASSERT_EQ(rig.Connect(), aErrNone);
    rig.entity.init(&rig.module, 0, c.validateSum, false);
    LogCapture log;
    const Bytes block = UpgradeBlock(kLoaderAddress, image);
    uint16_t blockSize = 0;
    ASSERT_EQ(rig.entity.TransferPrepare(block.data(), 64, 0, blockSize), aErrNone);
    size_t mark = rig.sim.device.PacketCount();
    EXPECT_EQ(rig.entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), c.result);

    std::vector<Bytes> sent = rig.Packets95(mark);
    EXPECT_EQ(DataSizes(sent), c.dataSizes);
    EXPECT_EQ(CountSub(sent, 4), c.sumAsked ? 1u : 0u);
    Bytes firstData{95, 1};
    firstData.insert(firstData.end(), image.begin(), image.begin() + 26);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), firstData);
    EXPECT_EQ(log.text().find("Unable to validate transfer") != std::string::npos, c.unableLine) << log.text();
    if (c.result == aErrNone) {
      EXPECT_EQ(rig.network().LoaderRam(6, kLoaderAddress, 60), image);
    }
  }
}

TEST(UpdaterEntity, ASumIsTheWrappingByteSumOfThePiece) {
  TcpUpgradeRig rig;
  ASSERT_EQ(rig.Connect(), aErrNone);
  LogCapture log(DEBUG_Network_FIRM);
  const Bytes image(60, 0xFF);
  const Bytes block = UpgradeBlock(kLoaderAddress, image);
  ASSERT_EQ(rig.entity.LoaderTransfer(block.data(), 64), aErrNone);
  char line[96];
  snprintf(line, sizeof line, "[00] [%08X == %08X][3 blocks]", Sum(image), Sum(image));
  EXPECT_NE(log.text().find(line), std::string::npos) << log.text();
}

TEST(UpdaterEntity, FirmwareGoesPieceByPieceEachSummedAndWritten) {
  SimDeviceProfile profile;
  profile.upgrade.blockSize = 256;
  TcpUpgradeRig rig(profile);
  ASSERT_EQ(rig.Connect(), aErrNone);
  const Bytes image = RandomBytes(1000, 3);
  const Bytes block = UpgradeBlock(kFirmwareAddress, image);
  uint16_t blockSize = 0;
  ASSERT_EQ(rig.entity.TransferPrepare(block.data(), 1004, 0x05, blockSize), aErrNone);
  EXPECT_EQ(blockSize, 256);
  ASSERT_EQ(rig.entity.FirmwareTransfer(block.data(), 1004, blockSize, rig.display), aErrNone);

  std::vector<Bytes> sent = rig.Packets95();
  EXPECT_EQ(sent.front(), (Bytes{95, 3, 0x05, 0x00, 0x01, 0x00, 0x00}));
  EXPECT_EQ(Writes(sent), (std::vector<Bytes>{{95, 5, 1, 0}, {95, 5, 1, 0}, {95, 5, 1, 0}, {95, 5, 0, 0xE8}}));
  EXPECT_EQ(CountSub(sent, 4), 4u);
  // Each piece: its data, its sum, its write.
  std::vector<uint8_t> order;
  for (const Bytes& p : sent)
    if (order.empty() || order.back() != p[1]) order.push_back(p[1]);
  EXPECT_EQ(order, (std::vector<uint8_t>{3, 1, 4, 5, 1, 4, 5, 1, 4, 5, 1, 4, 5}));
  EXPECT_EQ(rig.network().Flash(6, kFirmwareAddress, 1000), image);

  std::vector<double> fractions;
  for (const RecordingDisplay::Event& e : rig.display.events)
    if (e.kind == RecordingDisplay::Event::Progress) fractions.push_back(e.fraction);
  EXPECT_EQ(fractions, (std::vector<double>{260.0 / 1004, 516.0 / 1004, 772.0 / 1004, 1.0}));
  EXPECT_EQ(rig.display.events.front().kind, RecordingDisplay::Event::ProgressOn);
  EXPECT_EQ(rig.display.events.back().kind, RecordingDisplay::Event::ProgressOff);
}

TEST(UpdaterEntity, FirmwareRefusedByItsReplies) {
  struct Case {
    const char* name;
    SimUpgradeFault fault;
    aErr result;
    size_t dataPackets;
  };
  const Case cases[] = {
      {"write refused", {5, K::kStatus, 1}, aErrInvalidOption, 3},
      {"write reply without status", {5, K::kShort, 2}, aErrInvalidOption, 3},
      {"write not answered", {5, K::kNoReply}, aErrTimeout, 3},
      {"block size 0", {3, K::kBlockSizeZero}, aErrInvalidOption, 0},
  };
  const Bytes image = RandomBytes(60, 11);
  const Bytes block = UpgradeBlock(kFirmwareAddress, image);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TcpUpgradeRig rig;
    rig.network().AddUpgradeFault(6, c.fault);
    ASSERT_EQ(rig.Connect(), aErrNone);
    LogCapture log;
    uint16_t blockSize = 1;
    ASSERT_EQ(rig.entity.TransferPrepare(block.data(), 64, 0, blockSize), aErrNone);
    EXPECT_EQ(rig.entity.FirmwareTransfer(block.data(), 64, blockSize, rig.display), c.result);
    EXPECT_EQ(DataSizes(rig.Packets95()).size(), c.dataPackets);
    EXPECT_NE(log.text().find("NETWORK: Failed to transfer firmware\n"), std::string::npos);
  }
}

TEST(UpdaterEntity, PrepareAndInitByTheirReplies) {
  struct Case {
    const char* name;
    std::vector<SimUpgradeFault> faults;
    aErr prepare;
    uint16_t blockSize;  // after the call, from 99
    aErr init;
  };
  const Case cases[] = {
      {"answered", {}, aErrNone, 512, aErrNone},
      {"prepare refused, init cut to 5 bytes", {{3, K::kStatus, 3}, {0, K::kShort, 5}}, aErrInvalidOption, 99,
       aErrPacket},
      {"prepare reply of 4 bytes", {{3, K::kShort, 4}}, aErrPacket, 99, aErrNone},
      {"neither answered", {{3, K::kNoReply}, {0, K::kNoReply}}, aErrTimeout, 99, aErrTimeout},
  };
  const Bytes block = UpgradeBlock(0xA3A2A1A0, RandomBytes(8, 1));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimDeviceProfile profile;
    profile.upgrade.blockSize = 512;
    TcpUpgradeRig rig(profile);
    for (const SimUpgradeFault& f : c.faults) rig.network().AddUpgradeFault(6, f);
    ASSERT_EQ(rig.Connect(), aErrNone);
    uint16_t blockSize = 99;
    EXPECT_EQ(rig.entity.TransferPrepare(block.data(), 12, 0x42, blockSize), c.prepare);
    EXPECT_EQ(blockSize, c.blockSize);
    EXPECT_EQ(rig.entity.LoaderInit(), c.init);
    EXPECT_EQ(rig.Packets95(), (std::vector<Bytes>{{95, 3, 0x42, 0xA3, 0xA2, 0xA1, 0xA0}, {95, 0}}));
  }
}

TEST(UpdaterEntity, BlocksWithoutAnAddressSendNothing) {
  TcpUpgradeRig rig;
  ASSERT_EQ(rig.Connect(), aErrNone);
  const Bytes shortBlock = {0x00, 0x01, 0x00};
  uint16_t blockSize = 256;
  EXPECT_EQ(rig.entity.TransferPrepare(shortBlock.data(), 3, 0, blockSize), aErrParam);
  EXPECT_EQ(rig.entity.LoaderTransfer(shortBlock.data(), 3), aErrParam);
  EXPECT_EQ(rig.entity.FirmwareTransfer(shortBlock.data(), 3, blockSize, rig.display), aErrParam);
  EXPECT_EQ(rig.entity.LoaderTransfer(nullptr, 64), aErrParam);
  EXPECT_TRUE(rig.Packets95().empty());
}

TEST(UpdaterEntity, UEIDataGoesAsOneSequenceAwaitedUpToFourSeconds) {
  SimDeviceProfile profile;
  profile.upgrade.blockSize = 1500;
  TcpUpgradeRig rig(profile);
  rig.network().AddUpgradeFault(6, {10, K::kLate, 2500});
  ASSERT_EQ(rig.Connect(), aErrNone);
  ASSERT_EQ(rig.entity.CheckUEIDataSupport(), aErrNone);
  ASSERT_TRUE(rig.entity.UsesUEIData());
  const Bytes image = RandomBytes(1500, 5);
  const Bytes block = UpgradeBlock(kFirmwareAddress, image);
  uint16_t blockSize = 0;
  ASSERT_EQ(rig.entity.TransferPrepare(block.data(), 1504, 0, blockSize), aErrNone);
  uint64_t start = aTime_GetMonotonicMS();
  ASSERT_EQ(rig.entity.FirmwareTransfer(block.data(), 1504, blockSize, rig.display), aErrNone);
  EXPECT_GE(aTime_GetMonotonicMS() - start, 2500u);

  std::vector<Bytes> sequence;
  for (const Bytes& p : rig.Packets95())
    if (p[1] == 0x8A) sequence.push_back(p);
  ASSERT_EQ(sequence.size(), 63u);
  Bytes joined;
  for (size_t i = 0; i < sequence.size(); ++i) {
    const Bytes& p = sequence[i];
    EXPECT_EQ(p[2], 0x20);
    EXPECT_EQ(p.size() - 4, i < 62 ? 24u : 12u);
    EXPECT_EQ(p.back(), i < 62 ? 0x80 + i : 62u);
    joined.insert(joined.end(), p.begin() + 3, p.end() - 1);
  }
  EXPECT_EQ(joined, image);
  EXPECT_TRUE(DataSizes(rig.Packets95()).empty());
  EXPECT_EQ(rig.network().Flash(6, kFirmwareAddress, 1500), image);
}

TEST(UpdaterEntity, AUEIPieceTooLargeForTheQueueGoesAsDataPackets) {
  SimDeviceProfile profile;
  profile.upgrade.blockSize = 24000;
  TcpUpgradeRig rig(profile);
  ASSERT_EQ(rig.Connect(), aErrNone);
  ASSERT_EQ(rig.entity.CheckUEIDataSupport(), aErrNone);
  const Bytes image = RandomBytes(24000, 9);
  const Bytes block = UpgradeBlock(kFirmwareAddress, image);
  uint16_t blockSize = 0;
  ASSERT_EQ(rig.entity.TransferPrepare(block.data(), 24004, 0, blockSize), aErrNone);
  ASSERT_EQ(rig.entity.FirmwareTransfer(block.data(), 24004, blockSize, rig.display), aErrNone);
  EXPECT_EQ(CountSub(rig.Packets95(), 0x8A), 0u);
  EXPECT_EQ(DataSizes(rig.Packets95()).size(), 24000u / 26 + 1);
  EXPECT_EQ(rig.network().Flash(6, kFirmwareAddress, 24000), image);
}

TEST(UpdaterEntity, ALateReplyDoesNotAnswerTheRetry) {
  TcpUpgradeRig rig;
  // The first DATA is answered after its wait gave up.
  rig.network().AddUpgradeFault(6, {1, K::kLate, 1200});
  ASSERT_EQ(rig.Connect(), aErrNone);
  const Bytes image = RandomBytes(60, 13);
  const Bytes block = UpgradeBlock(kFirmwareAddress, image);
  uint16_t blockSize = 0;
  ASSERT_EQ(rig.entity.TransferPrepare(block.data(), 64, 0, blockSize), aErrNone);
  EXPECT_EQ(rig.entity.FirmwareTransfer(block.data(), 64, blockSize, rig.display), aErrTimeout);
  ASSERT_TRUE(rig.sim.device.WaitForOutputIdle(kBound));

  // The block again, as the update retries it.
  size_t mark = rig.sim.device.PacketCount();
  ASSERT_EQ(rig.entity.TransferPrepare(block.data(), 64, 0, blockSize), aErrNone);
  EXPECT_EQ(rig.entity.FirmwareTransfer(block.data(), 64, blockSize, rig.display), aErrNone);
  EXPECT_EQ(DataSizes(rig.Packets95(mark)), (std::vector<size_t>{26, 26, 8}));
  EXPECT_EQ(rig.network().Flash(6, kFirmwareAddress, 60), image);
}

// The device goes away for good (its connection reset, its listener closed) at the request
// whose reply an exchange waits for: the exchange says the device is gone, whatever step it is.
TEST(UpdaterEntity, AWaitOnALinkThatStopsGivesNoConnection) {
  struct Case {
    const char* name;
    std::optional<SimUpgradeFault> fault;  // of the upgrade entity
    std::vector<uint8_t> request;          // else the kit's fault for the request beginning so
    bool ueiData;
    std::function<aErr(TcpUpgradeRig&, const Bytes& block)> exchange;
    const char* step;  // as the entity names it, "" for the capability checks
  };
  auto init = [](TcpUpgradeRig& rig, const Bytes&) { return rig.entity.LoaderInit(); };
  auto prepare = [](TcpUpgradeRig& rig, const Bytes& block) {
    uint16_t blockSize = 0;
    return rig.entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, blockSize);
  };
  auto loader = [](TcpUpgradeRig& rig, const Bytes& block) {
    return rig.entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size()));
  };
  auto firmware = [](TcpUpgradeRig& rig, const Bytes& block) {
    if (rig.entity.CheckUEIDataSupport() == aErrConnection) return aErrConnection;
    uint16_t blockSize = 0;
    aErr err = rig.entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, blockSize);
    if (err != aErrNone) return err;
    return rig.entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), blockSize, rig.display);
  };
  const Case cases[] = {
      {"INIT", SimUpgradeFault{0, K::kVanish}, {}, false, init, "INIT"},
      {"PREPARE", SimUpgradeFault{3, K::kVanish}, {}, false, prepare, "PREPARE"},
      {"loader DATA", SimUpgradeFault{1, K::kVanish}, {}, false, loader, "DATA"},
      {"loader SUM", SimUpgradeFault{4, K::kVanish}, {}, false, loader, "SUM"},
      {"firmware DATA", SimUpgradeFault{1, K::kVanish, 0, 1, 1}, {}, false, firmware, "DATA"},
      {"firmware UEI sequence", SimUpgradeFault{10, K::kVanish}, {}, true, firmware, "DATA"},
      {"firmware SUM", SimUpgradeFault{4, K::kVanish}, {}, false, firmware, "SUM"},
      {"firmware WRITE", SimUpgradeFault{5, K::kVanish, 0, 1, 1}, {}, false, firmware, "WRITE"},
      {"UEI data check", std::nullopt, {0x49, 0x01}, false,
       [](TcpUpgradeRig& rig, const Bytes&) { return rig.entity.CheckUEIDataSupport(); }, ""},
      {"pooled packets check", std::nullopt, {3, 0x40 + 45}, false,
       [](TcpUpgradeRig& rig, const Bytes&) { return rig.entity.CheckPooledPacketsSupport(); }, ""},
  };
  const Bytes block = UpgradeBlock(kFirmwareAddress, RandomBytes(600, 17));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimDeviceProfile profile;
    profile.ueiDataAnswer = c.ueiData ? 0 : 1;
    TcpUpgradeRig rig(profile);
    if (c.fault) rig.network().AddUpgradeFault(6, *c.fault);
    if (!c.request.empty()) rig.network().AddFault(c.request, SimFault::Vanish());
    ASSERT_EQ(rig.Connect(), aErrNone);
    EXPECT_EQ(c.exchange(rig, block), aErrConnection);
    EXPECT_STREQ(rig.entity.failedStep(), c.step);
    EXPECT_EQ(rig.sim.device.Drops(), 1u);
    EXPECT_FALSE(rig.module.isConnected());
  }
}

TEST(UpdaterEntity, CapabilitiesDecideUEIDataAndPooledPackets) {
  struct Case {
    uint8_t hasUEI;
    uint32_t features;
    bool uei;
    bool pooled;
  };
  for (const Case& c : {Case{0, 0x80000001, true, true}, Case{aErrInvalidOption, 0x00000001, false, false}}) {
    SCOPED_TRACE(c.hasUEI);
    SimDeviceProfile profile;
    profile.ueiDataAnswer = c.hasUEI;
    profile.protocolFeatures = c.features;
    TcpUpgradeRig rig(profile);
    ASSERT_EQ(rig.Connect(), aErrNone);
    EXPECT_EQ(rig.entity.CheckUEIDataSupport(), static_cast<aErr>(c.hasUEI));
    EXPECT_EQ(rig.entity.UsesUEIData(), c.uei);
    EXPECT_EQ(rig.entity.CheckPooledPacketsSupport(), aErrNone);
    EXPECT_EQ(Pooled(rig.module), c.pooled);
  }
}

// A whole upgrade over one link: the loader into RAM, the firmware into flash, the reboot.
TEST(UpdaterEntity, FirmwareIsWrittenFromABirdImage) {
  struct Case {
    const char* name;
    uint8_t hasUEI;
    uint32_t features;
  };
  TempDir dir;
  const Bytes loader = RandomBytes(60, 21);
  const Bytes first = RandomBytes(1000, 22);
  const Bytes second = RandomBytes(3000, 23);
  std::string path = dir / "image.bird";
  ASSERT_TRUE(BirdBuilder()
                  .Loader(kLoaderAddress, loader)
                  .Firmware(0x00010000, first, 1)
                  .Firmware(0x00020000, second, 2)
                  .WriteTo(path));
  BirdFile bird(path.c_str());
  for (const Case& c : {Case{"data packets", aErrInvalidOption, 0x1}, Case{"UEI data", 0, 0x1},
                        Case{"UEI pooled", 0, 0x80000001}}) {
    SCOPED_TRACE(c.name);
    SimDeviceProfile profile;
    profile.ueiDataAnswer = c.hasUEI;
    profile.protocolFeatures = c.features;
    profile.upgrade.blockSize = 256;
    TcpUpgradeRig rig(profile);
    Phase reboot;
    reboot.link = Phase::LinkEnd::kDrop;
    rig.sim.device.SetOnReboot(reboot);
    ASSERT_EQ(rig.Connect(), aErrNone);
    SleepRecorder sleeps(true);

    UpdaterEntity& entity = rig.entity;
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    for (const BirdBlock& b : bird.FindBlocks(BirdFile::BLOCK_LOADER)) {
      uint16_t blockSize = 0;
      ASSERT_EQ(entity.TransferPrepare(b.data, b.length, b.flags, blockSize), aErrNone);
      ASSERT_EQ(entity.LoaderTransfer(b.data, b.length), aErrNone);
    }
    ASSERT_EQ(entity.LoaderStart(), aErrNone);
    entity.CheckUEIDataSupport();
    ASSERT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);
    for (const BirdBlock& b : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
      uint16_t blockSize = 0;
      ASSERT_EQ(entity.TransferPrepare(b.data, b.length, b.flags, blockSize), aErrNone);
      ASSERT_EQ(entity.FirmwareTransfer(b.data, b.length, blockSize, rig.display), aErrNone);
    }
    ASSERT_EQ(entity.LoaderReboot(rig.display), aErrNone);
    EXPECT_FALSE(rig.module.isConnected());
    EXPECT_LT(sleeps.pauses().size(), 40u);

    EXPECT_EQ(rig.network().LoaderRam(6, kLoaderAddress, loader.size()), loader);
    EXPECT_EQ(rig.network().Flash(6, 0x00010000, first.size()), first);
    EXPECT_EQ(rig.network().Flash(6, 0x00020000, second.size()), second);
    std::vector<Bytes> sent = rig.Packets95();
    EXPECT_EQ(sent.back(), (Bytes{95, 6}));
    EXPECT_EQ(CountSub(sent, 0x8A) > 0, c.hasUEI == 0);
  }
}

TEST(DisableEther, AConnectedModuleKeepsItsConfiguration) {
  TcpUpgradeRig rig;
  ASSERT_EQ(rig.Connect(), aErrNone);
  Tavrin::Corvantis::aOrvexConfig config;
  ASSERT_EQ(rig.module.getConfig(&config), aErrNone);
  EXPECT_FALSE(config.enabled);
  EXPECT_FALSE(config.fallback);
  EXPECT_TRUE(config.localOnly);
  EXPECT_EQ(_disableEther(rig.module, rig.display), aErrMode);
  EXPECT_EQ(rig.display.errors(), (std::vector<std::string>{"Failed to SET network configuration"}));
}
