// One link-engine link shared by Links and Modules in many threads: connecting at once,
// exchanging at once, packet logs coming and going, and holders leaving while others work.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DeviceRigs.h"
#include "Eventually.h"
#include "LinkImpl.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "TempDir.h"
#include "aLinkManagerInternal.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr uint64_t kBound = 10000;
constexpr int kHolders = 8;

// A get of option 9 of entity (3, index) at module 6; its 32-bit value, or 0.
uint32_t GetInt(Link& link, uint8_t module, uint8_t index) {
  uei request{};
  request.module = module;
  request.command = 3;
  request.option = 0x49;
  request.index = static_cast<uint8_t>(0x20 | index);
  if (link.sendUEI(request) != aErrNone) return 0;
  uei reply{};
  reply.module = module;
  reply.command = 3;
  reply.option = 9;
  reply.index = index;
  if (link.receiveUEI(module, 3, 9, index, &reply) != aErrNone) return 0;
  return reply.value.intVal;
}

}  // namespace

TEST(LinkSharing, EightLinksConnectingAtOnceShareOneLink) {
  TcpSimDevice d;
  for (uint8_t i = 0; i < kHolders; ++i) d.device.Network().SetEntity(6, {3, 9, i}, {SimWidth::kInt, 0x01010101u * (i + 1)});
  TempDir dir;
  int threads = CountThreads();
  size_t links = sRegistryCount();

  std::vector<std::unique_ptr<Link>> holders;
  for (int i = 0; i < kHolders; ++i) {
    holders.push_back(std::make_unique<Link>(d.Spec(), "Link"));
    holders.back()->setConfig(DirectConfig());
  }
  std::vector<aErr> connected(kHolders, aErrUnknown);
  std::vector<aLinkRef> refs(kHolders, 0);
  std::latch start(kHolders), allConnected(kHolders);
  std::vector<std::thread> workers;
  for (int i = 0; i < kHolders; ++i) {
    workers.emplace_back([&, i] {
      start.arrive_and_wait();
      connected[i] = holders[i]->connect();
      refs[i] = heldLinkRef(*holders[i]);
      // Wait for all, so that every connect met the others.
      allConnected.arrive_and_wait();
      std::string log = dir / ("log" + std::to_string(i));
      // Each holder gets only its own replies; half of them log meanwhile; each leaves at its own time.
      for (int round = 0; round < 20 + 10 * i; ++round) {
        if (i % 2 == 1 && round % 10 == 0) {
          EXPECT_EQ(holders[i]->enablePacketLog(log.c_str()), aErrNone);
        }
        if (i % 2 == 1 && round % 10 == 5) {
          EXPECT_EQ(holders[i]->disablePacketLog(), aErrNone);
        }
        EXPECT_EQ(GetInt(*holders[i], 6, static_cast<uint8_t>(i)), 0x01010101u * (i + 1)) << i;
      }
      holders[i].reset();
    });
  }
  for (std::thread& worker : workers) worker.join();

  for (int i = 0; i < kHolders; ++i) {
    EXPECT_EQ(connected[i], aErrNone) << i;
    EXPECT_EQ(refs[i], refs[0]) << i;
  }
  EXPECT_NE(refs[0], 0u);
  EXPECT_EQ(d.listener.accepts(), 1u);
  ASSERT_TRUE(d.listener.WaitForEnd(1, kBound));
  EXPECT_EQ(d.listener.end(1), TcpDeviceListener::kPeerReset);
  EXPECT_EQ(d.device.RoutePackets(), (std::vector<std::vector<uint8_t>>{HexBytes("AF 01 01"), HexBytes("AF 01 00")}));
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }, kBound));
  EXPECT_EQ(sRegistryCount(), links);
}

TEST(LinkSharing, AModuleBehindKeepsWorkingWhileItsRouterGoes) {
  TcpSimDevice d(2);
  d.device.Network().SetEntity(8, {3, 9, 0}, {SimWidth::kInt, 0x0808});
  d.device.Network().SetEntity(2, {3, 9, 0}, {SimWidth::kInt, 0x0202});
  int threads = CountThreads();
  auto router = std::make_unique<Module>(0, true, 0);
  router->setConfig(DirectConfig());
  ASSERT_EQ(router->connectFromSpec(d.Spec()), aErrNone);
  auto behind = std::make_unique<Module>(8, true, 0);
  ASSERT_EQ(behind->connectThroughLinkModule(router.get()), aErrNone);

  std::atomic<int> answered{0};  // rounds answered with the right value
  std::thread user([&] {
    for (int round = 0; round < 200; ++round) {
      uint32_t value = GetInt(*behind->getLink(), 8, 0);
      EXPECT_EQ(value, 0x0808u) << round;
      if (value == 0x0808u) ++answered;
    }
  });
  std::thread routerUser([&] {
    for (int round = 0; round < 50; ++round) EXPECT_EQ(GetInt(*router->getLink(), 2, 0), 0x0202u) << round;
    router.reset();
  });
  routerUser.join();
  user.join();
  EXPECT_EQ(answered.load(), 200);
  EXPECT_TRUE(behind->isConnected());
  behind.reset();
  ASSERT_TRUE(d.listener.WaitForEnd(1, kBound));
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }, kBound));
}
