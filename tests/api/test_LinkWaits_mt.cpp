// Every wait of the object API for a reply, against a device over loopback TCP that does not
// answer: one that is still there (the link runs) times out, one that goes away while the host
// waits (it resets the connection and stops listening, on its own thread) is reported gone.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "DeviceRigs.h"
#include "EntityClass.h"
#include "SimTransports.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr uint8_t kAddress = 6;
// The device drops its link this long after the request, while the host waits for the reply.
constexpr uint32_t kGoneAfterMs = 300;

struct Fixture {
  TcpModuleRig rig{kAddress};
  EntityClass system;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(128, 0);
  size_t count = 0;

  Link& link() { return rig.link(); }
  uei Get(uint8_t option) {
    uei request{};
    request.module = kAddress;
    request.command = 3;
    request.option = static_cast<uint8_t>(option + 0x40);
    request.index = 0x20;
    return request;
  }
  // The reply record of a get of option 9 of the system entity.
  uei Reply() {
    uei reply{};
    reply.module = kAddress;
    reply.command = 3;
    reply.option = 9;
    reply.index = 0;
    return reply;
  }
};

struct WaitRow {
  const char* name;
  std::vector<uint8_t> request;  // the payload's first bytes of the request left unanswered
  std::function<aErr(Fixture&)> call;
  aErr silent;  // what the wait gives when the device stays but says nothing
};

void PrintTo(const WaitRow& row, std::ostream* out) { *out << row.name; }

const std::vector<uint8_t> kFifty(50, 0x5A);

const WaitRow kWaits[] = {
    {"LinkReceiveUEI", {3, 0x49},
     [](Fixture& f) {
       aErr err = f.link().sendUEI(f.Get(9));
       if (err != aErrNone) return err;
       uei reply = f.Reply();
       return f.link().receiveUEI(kAddress, 3, 9, 0, &reply);
     },
     aErrTimeout},
    {"LinkReceivePacket", {0x17},
     [](Fixture& f) {
       const uint8_t data[] = {0x17, 1, 2};
       aErr err = f.link().sendPacket(kAddress, 0x17, 2, data + 1);
       if (err != aErrNone) return err;
       uint8_t length = 1;
       uint8_t out[aPACKET_MAX_DATA];
       return f.link().receivePacket(kAddress, data, &length, out);
     },
     aErrTimeout},
    {"EntityGet", {3, 0x49},
     [](Fixture& f) {
       uint32_t value = 0;
       return f.system.getUEI32(9, &value);
     },
     aErrTimeout},
    {"EntitySet", {3, 0x84}, [](Fixture& f) { return f.system.setUEI8(4, 1); }, aErrTimeout},
    {"EntityCall", {3, 0x8B}, [](Fixture& f) { return f.system.callUEI(11); }, aErrTimeout},
    {"ByteSequenceGet", {3, 0x60},
     [](Fixture& f) { return f.system.getUEIBytes(32, f.buffer.data(), f.buffer.size(), &f.count); }, aErrTimeout},
    {"ByteSequenceSet", {3, 0xA0},
     [](Fixture& f) { return f.system.setUEIBytes(32, kFifty.data(), kFifty.size()); }, aErrTimeout},
    {"AwaitedValue", {3, 0x49},
     [](Fixture& f) {
       aErr err = f.link().sendUEI(f.Get(9));
       if (err != aErrNone) return err;
       uint32_t value = 0;
       return f.system.awaitUEI32Val(9, &value, 0);
     },
     aErrTimeout},
    {"ModuleQuery", {0x49, 0xFF},
     [](Fixture& f) {
       uint32_t build = 0;
       return f.rig.module.getBuild(&build);
     },
     aErrTimeout},
    {"SlotCapacity", {4, 1},
     [](Fixture& f) {
       size_t capacity = 0;
       return f.link().storeSlotCapacity(kAddress, 1, 2, &capacity);
     },
     aErrTimeout},
    // A slot that does not open is refused, unless the device is gone.
    {"SlotOpen", {4, 4},
     [](Fixture& f) { return f.link().loadStoreSlot(kAddress, 1, 2, kFifty.data(), kFifty.size()); }, aErrMedia},
    {"SlotWrite", {4, 7},
     [](Fixture& f) { return f.link().loadStoreSlot(kAddress, 1, 2, kFifty.data(), kFifty.size()); }, aErrTimeout},
    {"SlotClose", {4, 8},
     [](Fixture& f) { return f.link().loadStoreSlot(kAddress, 1, 2, kFifty.data(), kFifty.size()); }, aErrTimeout},
    {"SlotRead", {4, 6},
     [](Fixture& f) {
       return f.link().unloadStoreSlot(kAddress, 1, 2, f.buffer.data(), f.buffer.size(), &f.count);
     },
     aErrTimeout},
    {"FactoryRead", {0x5E, 0x45},
     [](Fixture& f) { return f.link().getFactoryData(kAddress, 5, f.buffer.data(), f.buffer.size(), &f.count); },
     aErrTimeout},
    {"FactoryEnd", {0x5E, 0x20},
     [](Fixture& f) { return f.link().getFactoryData(kAddress, 5, f.buffer.data(), f.buffer.size(), &f.count); },
     aErrTimeout},
    {"FactoryWrite", {0x5E, 0x55},
     [](Fixture& f) { return f.link().setFactoryData(kAddress, 5, kFifty.data(), kFifty.size()); }, aErrTimeout},
};

enum class Device { kSilent, kGone };

class LinkWaits : public testing::TestWithParam<std::tuple<WaitRow, Device>> {};

TEST_P(LinkWaits, ASilentDeviceTimesOutAndAGoneOneIsNoConnection) {
  const WaitRow& row = std::get<0>(GetParam());
  const Device device = std::get<1>(GetParam());
  Fixture f;
  SimNetwork& network = f.rig.network();
  network.SetEntity(kAddress, {3, 9, 0}, {SimWidth::kInt, 0x12345678});
  network.SetEntity(kAddress, {3, 4, 0}, {SimWidth::kByte});
  network.SetEntity(kAddress, {3, 11, 0}, {SimWidth::kNone});
  network.SetEntity(kAddress, {3, 32, 0}, {SimWidth::kBytes, 0, std::vector<uint8_t>(60, 3)});
  network.SetBuild(kAddress, 12345);
  network.SetSlot(kAddress, 1, 2, 100, std::vector<uint8_t>(40, 0x10));
  network.SetFactory(kAddress, 5, std::vector<uint8_t>(30, 0x40));
  f.rig.sim.device.SetTransport(TcpTransport(f.rig.sim.listener));
  ASSERT_EQ(f.rig.Connect(), aErrNone);
  f.system.init(&f.rig.module, 3, 0);
  // The same exchange answered first: the rows fail for the fault alone.
  ASSERT_EQ(row.call(f), aErrNone);

  if (device == Device::kSilent) {
    network.AddFault(row.request, SimFault::NoReply(), true);
  } else {
    network.AddFault(row.request, SimFault::Vanish(kGoneAfterMs));
  }
  EXPECT_EQ(row.call(f), device == Device::kSilent ? row.silent : aErrConnection);
  EXPECT_EQ(f.link().isConnected(), device == Device::kSilent);
  EXPECT_EQ(f.rig.sim.device.Drops(), device == Device::kSilent ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Rows, LinkWaits,
                         testing::Combine(testing::ValuesIn(kWaits), testing::Values(Device::kSilent, Device::kGone)),
                         [](const testing::TestParamInfo<std::tuple<WaitRow, Device>>& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == Device::kSilent ? "Silent" : "Gone");
                         });

}  // namespace
