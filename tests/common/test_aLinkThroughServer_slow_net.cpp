// A server whose device never answers the module-address query: its creation fails, and the
// device link is left as it was found, with its other holder still served.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "DeviceRigs.h"
#include "DiscoveryRecorder.h"
#include "Eventually.h"
#include "LinkImpl.h"
#include "Netns.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "ServedDevice.h"
#include "aLinkManagerInternal.h"
#include "aLinkThroughServer.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr uint64_t kBound = 5000;  // ms
constexpr uint32_t kSerial = 0x5E12AB01;

bool EchoedDirectly(aLinkRef link, uint8_t tag) {
  std::vector<uint8_t> payload{0x17, tag};
  PacketPtr request(aPacket_CreateWithData(8, 2, payload.data()));
  if (aLink_PutPacket(link, request.get()) != aErrNone) return false;
  PacketPtr reply(aLink_AwaitFirst(link, SamePayload, &payload, 2000));
  return reply != nullptr;
}

}  // namespace

TEST(ServerFailure, LeavesTheDeviceLinkAsItFoundIt) {
  RequirePrivateNetns();
  StartMessageLibrary();
  TcpSimDevice d(8, kSerial);
  d.device.SetEcho(true);
  d.device.SetSyncAnswers({SimLinkDevice::SyncAnswer::kNever});
  int baseline = CountThreads();
  size_t links = sRegistryCount();

  aLinkRef device = aLink_CreateTCPIP(kSerial, TcpDeviceListener::address(), d.listener.port());
  ASSERT_NE(device, 0u);
  aLinkRef other = aLink_CreateTCPIP(kSerial, TcpDeviceListener::address(), d.listener.port());
  ASSERT_EQ(other, device);

  uint16_t port = 0;
  uint32_t interface = IPv4("127.0.0.1");
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(aLink_CreateServer(device, &port, &interface, true), 0u);
  EXPECT_LT(aTime_GetMonotonicMS() - start, 9000u);
  EXPECT_EQ(interface, IPv4("127.0.0.1")) << "written only on success";
  EXPECT_EQ(sRegistryCount(), links + 1) << "the client is gone";

  EXPECT_TRUE(EchoedDirectly(other, 1)) << "the other holder's link works";
  aLinkRef again = aLink_CreateTCPIP(kSerial, TcpDeviceListener::address(), d.listener.port());
  EXPECT_EQ(again, device) << "no server left attached";
  EXPECT_EQ(d.device.RoutePackets(), std::vector<std::vector<uint8_t>>{HexBytes("AF 01 01")});

  // The object API's road: the same failure, and the device link's use it took released once.
  {
    Link link(d.Spec(), "Link");
    EXPECT_EQ(link.connect(), aErrConnection);
    EXPECT_EQ(heldLinkRef(link), 0u);
  }
  EXPECT_TRUE(EchoedDirectly(other, 2)) << "still the other holder's";

  for (aLinkRef* ref : {&again, &other}) aLink_Destroy(ref);
  EXPECT_TRUE(EchoedDirectly(device, 3)) << "the caller's use was the caller's";
  aLink_Destroy(&device);
  ASSERT_TRUE(d.listener.WaitForEnd(1, kBound));
  EXPECT_EQ(d.device.RoutePackets(), (std::vector<std::vector<uint8_t>>{HexBytes("AF 01 01"), HexBytes("AF 01 00")}));
  EXPECT_EQ(sRegistryCount(), links);
  EXPECT_TRUE(Eventually([&] { return CountThreads() == baseline; }, kBound)) << "threads";
}
