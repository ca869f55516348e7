// The link engine over the in-memory pipe, with the simulated device on the far end.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <semaphore>
#include <thread>
#include <vector>

#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "SimLinkPipe.h"
#include "aLinkInternal.h"
#include "unix_time.h"

namespace {

constexpr uint64_t kBound = 5000;  // ms; generous bound for anything that should be quick

PacketPtr Packet(uint8_t address, const std::vector<uint8_t>& payload) {
  return PacketPtr(aPacket_CreateWithData(address, static_cast<uint8_t>(payload.size()),
                                          payload.data()));
}

// Matches a packet whose payload equals the vector's bytes.
uint8_t sSamePayload(const aPacket* packet, const void* ref) {
  const auto* want = static_cast<const std::vector<uint8_t>*>(ref);
  return packet->length == want->size() && memcmp(packet->payload, want->data(), want->size()) == 0;
}

[[maybe_unused]] uint8_t sAny(const aPacket*, const void*) { return 1; }

std::vector<std::vector<uint8_t>> Wires(const std::vector<SimLinkDevice::Received>& packets) {
  std::vector<std::vector<uint8_t>> wires;
  for (const auto& packet : packets) wires.push_back(packet.wire);
  return wires;
}

// Polls until done() or the bound; true when done.
template <typename Done>
bool Eventually(Done done, uint64_t ms = kBound) {
  uint64_t deadline = aTime_GetMonotonicMS() + ms;
  while (!done()) {
    if (aTime_GetMonotonicMS() >= deadline) return false;
    aTime_MSSleep(2);
  }
  return true;
}

}  // namespace

TEST(Link, LifecycleRouteEchoAndRelease) {
  int threadsBefore = CountThreads();
  aLinkRef other = 0;
  {
    SimLinkPipe link;
    link.device.SetEcho(true);
    int threadsWithDevice = CountThreads();
    ASSERT_NE(link.Create(), 0u);
    ASSERT_TRUE(link.device.WaitForPackets(1, kBound));
    EXPECT_EQ(link.device.Packets()[0].wire, HexBytes("AF 01 01"));
    EXPECT_EQ(aLink_GetStatus(link.ref), kLinkStatusRunning);

    for (int i = 0; i < 100; ++i) {
      std::vector<uint8_t> payload{0x10, static_cast<uint8_t>(i), static_cast<uint8_t>(i * 7)};
      ASSERT_EQ(aLink_PutPacket(link.ref, Packet(0x08, payload).get()), aErrNone);
      PacketPtr reply(aLink_AwaitFirst(link.ref, sSamePayload, &payload, kBound));
      ASSERT_NE(reply, nullptr) << "exchange " << i;
      EXPECT_EQ(reply->address, 0x08);
    }

    // A second link made meanwhile keeps running and gets a higher id.
    SimLinkPipe second;
    second.device.SetEcho(true);
    ASSERT_GT(second.Create(), link.ref);

    // Everything queued before the destroy goes out, then the route-off packet.
    link.device.SetEcho(false);
    size_t before = link.device.PacketCount();
    for (int i = 0; i < 50; ++i)
      ASSERT_EQ(aLink_PutPacket(link.ref, Packet(0x08, {0x20, static_cast<uint8_t>(i)}).get()), aErrNone);
    aLinkRef old = link.ref;
    EXPECT_EQ(aLink_Destroy(&link.ref), aErrNone);
    EXPECT_EQ(link.ref, 0u);
    EXPECT_EQ(aLink_GetStatus(old), kLinkStatusInvalid);
    ASSERT_TRUE(link.device.WaitForPackets(before + 51, kBound));
    auto wires = Wires(link.device.Packets());
    ASSERT_EQ(wires.size(), before + 51);
    for (int i = 0; i < 50; ++i)
      EXPECT_EQ(wires[before + i], (std::vector<uint8_t>{0x08, 0x02, 0x20, static_cast<uint8_t>(i)}));
    EXPECT_EQ(wires.back(), HexBytes("AF 01 00"));
    EXPECT_EQ(link.device.RoutePackets().size(), 2u);

    std::vector<uint8_t> payload{0x33};
    ASSERT_EQ(aLink_PutPacket(second.ref, Packet(0x08, payload).get()), aErrNone);
    PacketPtr reply(aLink_AwaitFirst(second.ref, sSamePayload, &payload, kBound));
    EXPECT_NE(reply, nullptr);
    EXPECT_EQ(aLink_GetStatus(second.ref), kLinkStatusRunning);
    other = second.ref;
    // The link's own threads are gone; only the kits' threads remain.
    EXPECT_TRUE(Eventually([&] { return CountThreads() == threadsWithDevice + 2 + 2; }));
  }
  EXPECT_EQ(aLink_GetStatus(other), kLinkStatusInvalid);
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threadsBefore; }));
}
