// Module over loopback TCP: connection members, auto-network, the device queries, and Modules
// joined through a routing module on one link.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DeviceRigs.h"
#include "Eventually.h"
#include "LinkImpl.h"
#include "PacketHelpers.h"
#include "PtyPair.h"
#include "aDebug.h"
#include "ProcessCounts.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr uint64_t kBound = 5000;

uei Get(uint8_t module, uint8_t option) {
  uei record{};
  record.module = module;
  record.command = 3;
  record.option = static_cast<uint8_t>(0x40 | option);
  record.index = 0x20;
  return record;
}

// A get of option `option` of entity (3, 0) at `module` through the Link; its 32-bit value,
// or 0 when no reply came.
uint32_t GetInt(Link& link, uint8_t module, uint8_t option) {
  if (link.sendUEI(Get(module, option)) != aErrNone) return 0;
  uei reply{};
  reply.module = module;
  reply.command = 3;
  reply.option = option;
  if (link.receiveUEI(module, 3, option, 0, &reply) != aErrNone) return 0;
  return reply.value.intVal;
}

}  // namespace

TEST(Module, AutoNetworkTakesTheDevicesAddressWhenNetworkingIsOn) {
  struct Row {
    const char* what;
    std::function<std::unique_ptr<Module>()> make;
    uint8_t address;
  };
  const Row rows[] = {
      {"networking on", [] { return std::make_unique<Module>(0, true, 0); }, 6},
      {"two arguments: networking on", [] { return std::make_unique<Module>(4, false); }, 6},
      {"networking off", [] { return std::make_unique<Module>(0, false, 0); }, 0},
  };
  for (const Row& row : rows) {
    TcpSimDevice d;
    std::unique_ptr<Module> module = row.make();
    module->setConfig(DirectConfig());
    EXPECT_EQ(module->connectFromSpec(d.Spec()), aErrNone) << row.what;
    EXPECT_TRUE(module->isConnected()) << row.what;
    EXPECT_EQ(module->getModuleAddress(), row.address) << row.what;
    EXPECT_EQ(d.device.SyncCount(), row.address == 0 ? 0u : 1u) << row.what;
    EXPECT_EQ(module->connectFromSpec(d.Spec()), aErrBusy) << row.what;
  }
}

TEST(Module, ConnectionMembersWithoutAConnection) {
  Module module(0, true, 0);
  EXPECT_EQ(module.getLink() != nullptr, true);
  EXPECT_STREQ(module.getLink()->getName(), "Link");
  EXPECT_FALSE(module.isConnected());
  EXPECT_EQ(module.getStatus(), 8);
  EXPECT_EQ(module.disconnect(), aErrNone);
  linkSpec spec;
  EXPECT_EQ(module.getLinkSpecifier(&spec), aErrNotFound);
  EXPECT_EQ(module.getConfig(nullptr), aErrParam);
  EXPECT_EQ(module.reconnect(), aErrConfiguration);
  EXPECT_EQ(module.enablePacketLog("/tmp/never"), aErrConfiguration);
  EXPECT_EQ(module.connectThroughLinkModule(nullptr), aErrInitialization);
  Module other(0, true, 0);
  EXPECT_EQ(module.connectThroughLinkModule(&other), aErrNotFound) << "other holds no linkSpec";

  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(module.connect(TCPIP, 0), aErrParam);
  EXPECT_EQ(module.connect(USB, 0), aErrParam);
  // A discovery would listen for the 2 s of silence that end it.
  EXPECT_LT(aTime_GetMonotonicMS() - start, 1000u) << "no discovery";
  module.setConfig(DirectConfig());
  EXPECT_EQ(module.connect(USB, 0x00001234), aErrNotFound) << "no USB device here";
  EXPECT_EQ(module.discoverAndConnect(USB, 0), aErrNotFound);

  uint32_t build = 7;
  uint8_t byte = 7;
  EXPECT_EQ(module.getBuild(nullptr), aErrParam);
  EXPECT_EQ(module.getBuild(&build), aErrConnection);
  EXPECT_EQ(module.hasUEI(3, 9, 0, 0x40), aErrConnection);
  EXPECT_EQ(module.classQuantity(3, &byte), aErrConnection);
  EXPECT_EQ(byte, 0);
  EXPECT_EQ(module.debug(&byte, 1), aErrConnection);
}

class ModuleQueries : public testing::Test {
 protected:
  void SetUp() override {
    SimNetwork& net = rig_.network();
    net.SetBuild(6, 12345);
    net.SetHasUEI(6, 3, 9, 0, 0x40, 0);
    net.SetHasUEI(6, 3, 9, 0, 0x80, aErrPermission);
    net.SetClassQuantity(6, 3, 2);
    net.SetSubClassQuantity(6, 3, 1, 5);
    net.SetEntityGroup(6, 3, 1, 9);
    ASSERT_EQ(rig_.Connect(), aErrNone);
  }

  size_t Sent() { return rig_.sim.device.PacketCount(); }

  TcpModuleRig rig_;
  Module& module() { return rig_.module; }
};

TEST_F(ModuleQueries, AnswersOfTheRightShape) {
  uint32_t build = 0;
  EXPECT_EQ(module().getBuild(&build), aErrNone);
  EXPECT_EQ(build, 12345u);
  EXPECT_EQ(module().hasUEI(3, 9, 0, 0x40), aErrNone);
  EXPECT_EQ(module().hasUEI(3, 9, 0, 0x80), aErrPermission);
  EXPECT_EQ(module().hasUEI(3, 9, 0, 0), aErrUnimplemented);
  uint8_t count = 0, group = 0;
  EXPECT_EQ(module().classQuantity(3, &count), aErrNone);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(module().subClassQuantity(3, 1, &count), aErrNone);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(module().entityGroup(3, 1, &group), aErrNone);
  EXPECT_EQ(group, 9);

  std::vector<uint8_t> data(27);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
  size_t from = Sent();
  EXPECT_EQ(module().debug(data.data(), 27), aErrNone);
  std::vector<uint8_t> wire{6, 28, 0x17};
  wire.insert(wire.end(), data.begin(), data.end());
  EXPECT_EQ(ReceivedSince(rig_.sim.device, from), std::vector<std::vector<uint8_t>>{wire});
  EXPECT_EQ(module().debug(nullptr, 0), aErrNone);
}

TEST_F(ModuleQueries, AnswersOfAnotherShapeAndRefusedArguments) {
  SimNetwork& net = rig_.network();
  uint32_t build = 7;
  net.AddFault({0x49, 0xFF}, SimFault::Length(5));
  EXPECT_EQ(module().getBuild(&build), aErrSize);
  EXPECT_EQ(build, 7u);
  net.AddFault({0x49, 0x01}, SimFault::Length(7));
  EXPECT_EQ(module().hasUEI(3, 9, 0, 0x40), aErrUnknown);
  // Another query's reply is taken by the match on 0x49 alone.
  rig_.sim.device.SendRaw(HexBytes("06 05 49 05 03 01 07"));
  aLink* engine = sGetLink(heldLinkRef(*module().getLink()));
  ASSERT_TRUE(Eventually([&] { return aPacketFifo_GetLength(engine->inFifo) == 1; }, kBound));
  uint8_t count = 7;
  EXPECT_EQ(module().classQuantity(3, &count), aErrUnknown);
  EXPECT_EQ(count, 0);
  uint8_t data[28] = {1, 2, 3};
  net.AddFault({0x17}, SimFault::WrongSum());
  EXPECT_EQ(module().debug(data, 3), aErrIO) << "a corrupted echo";
  net.AddFault({0x17}, SimFault::Length(3));
  EXPECT_EQ(module().debug(data, 3), aErrIO) << "a short echo";

  size_t from = Sent();
  EXPECT_EQ(module().hasUEI(3, 9, 0, 0xC0), aErrParam);
  EXPECT_EQ(module().hasUEI(3, 9, 0, 0x01), aErrParam);
  EXPECT_EQ(module().debug(data, 28), aErrParam);
  EXPECT_EQ(module().debug(nullptr, 3), aErrParam);
  EXPECT_EQ(module().classQuantity(3, nullptr), aErrParam);
  EXPECT_EQ(module().subClassQuantity(3, 1, nullptr), aErrParam);
  EXPECT_EQ(module().entityGroup(3, 1, nullptr), aErrParam);
  EXPECT_EQ(module().getBuild(nullptr), aErrParam);
  ASSERT_TRUE(EchoesThrough(*module().getLink(), 6, 1));
  EXPECT_EQ(Sent(), from + 1) << "nothing but the echo went out";
}

TEST_F(ModuleQueries, DisconnectAndReconnect) {
  EXPECT_EQ(module().disconnect(), aErrNone);
  EXPECT_FALSE(module().isConnected());
  EXPECT_EQ(module().getStatus(), 8);
  uint32_t build = 0;
  EXPECT_EQ(module().getBuild(&build), aErrConnection);
  module().setModuleAddress(0);
  EXPECT_EQ(module().reconnect(), aErrNone);
  EXPECT_EQ(module().getModuleAddress(), 6);
  EXPECT_EQ(module().getBuild(&build), aErrNone);
  EXPECT_EQ(build, 12345u);
  EXPECT_EQ(rig_.sim.listener.accepts(), 2u);
}

TEST(Module, ModulesBehindARoutingModuleShareItsLink) {
  TcpSimDevice d(2);
  d.device.Network().SetEntity(2, {3, 9, 0}, {SimWidth::kInt, 0x0202});
  d.device.Network().SetEntity(8, {3, 9, 0}, {SimWidth::kInt, 0x0808});
  int threads = CountThreads();
  size_t links = sRegistryCount();
  auto router = std::make_unique<Module>(0, true, 0);
  router->setConfig(DirectConfig());
  ASSERT_EQ(router->connectFromSpec(d.Spec()), aErrNone);
  EXPECT_EQ(router->getModuleAddress(), 2);

  auto behind = std::make_unique<Module>(8, true, 0);
  ASSERT_EQ(behind->connectThroughLinkModule(router.get()), aErrNone);
  EXPECT_EQ(behind->getModuleAddress(), 8);
  EXPECT_EQ(heldLinkRef(*behind->getLink()), heldLinkRef(*router->getLink()));
  EXPECT_EQ(d.listener.accepts(), 1u);
  EXPECT_EQ(GetInt(*behind->getLink(), 8, 9), 0x0808u) << "answered from 8";
  EXPECT_EQ(GetInt(*router->getLink(), 2, 9), 0x0202u);
  aOrvexConfig config;
  behind->getConfig(&config);
  EXPECT_FALSE(config.enabled) << "the router's configuration";

  size_t packets = d.device.PacketCount();
  EXPECT_EQ(behind->connectThroughLinkModule(router.get()), aErrNone);
  EXPECT_EQ(d.device.PacketCount(), packets) << "already connected: nothing changes";

  // Networking mode went off: the address stays 8 and no address query is sent.
  size_t syncs = d.device.SyncCount();
  EXPECT_EQ(behind->disconnect(), aErrNone);
  EXPECT_EQ(behind->reconnect(), aErrNone);
  EXPECT_EQ(behind->getModuleAddress(), 8);
  EXPECT_EQ(d.device.SyncCount(), syncs);
  EXPECT_EQ(d.listener.accepts(), 1u);

  router.reset();
  EXPECT_TRUE(behind->isConnected());
  EXPECT_EQ(GetInt(*behind->getLink(), 8, 9), 0x0808u);
  EXPECT_EQ(GetInt(*behind->getLink(), 4, 9), 0u) << "no module at 4: nothing answers";
  behind.reset();
  ASSERT_TRUE(d.listener.WaitForEnd(1, kBound));
  EXPECT_EQ(d.listener.end(1), TcpDeviceListener::kPeerReset);
  EXPECT_EQ(d.device.RoutePackets().back(), HexBytes("AF 01 00"));
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }, kBound));
  EXPECT_EQ(sRegistryCount(), links);
}

TEST(Module, TracesItsStepsUnderTheirTopics) {
  std::string out = RunWithStdoutOn(false, [] {
    aCorvantisDebuggingEnable = true;
    aCorvantisDebuggingLevel = 0x41;
    TcpSimDevice d;
    d.device.Network().SetEntity(6, {3, 20, 0}, {SimWidth::kBytes});
    {
      // Enabled, over a connection that is refused: no device link, so no server is made
      // (and none announces itself outside a private network namespace).
      TcpSimDevice gone;
      linkSpec refused = gone.Spec();
      gone.listener.StopListening();
      Module served(0, true, 0);
      served.connectFromSpec(refused);
    }
    Module module(0, true, 0);
    module.setConfig(DirectConfig());
    module.connectFromSpec(d.Spec());
    std::vector<uint8_t> data(1001, 1);
    uei request{};
    request.module = 6;
    request.command = 3;
    request.option = 0x94;
    request.index = 0x20;
    request.type = ueiTypeBytes;
    request.value.data = data.data();
    request.length = data.size();
    module.getLink()->sendUEI(request);
    request.option = 0xD4;
    request.index = 0;
    module.getLink()->receiveUEI(6, 3, 0xD4, 0, &request);
  });
  for (const char* text : {"Failed to create server", "getModuleAddressgetModuleAddress wait", "Post autoNetwork err: 0\n",
                           "receiveUEI - Expanding timeout for large payload: 4000\n"}) {
    EXPECT_NE(out.find(text), std::string::npos) << text << " in:\n" << out;
  }
}
