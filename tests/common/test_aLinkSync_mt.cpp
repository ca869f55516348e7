// The handshake and framing recovery of running links, against the simulated device.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "Eventually.h"
#include "PacketHelpers.h"
#include "SimLinkPipe.h"
#include "unix_time.h"

namespace {

using Answer = SimLinkDevice::SyncAnswer;
constexpr uint64_t kBound = 5000;

// One request and its echo.
bool EchoFlows(aLinkRef ref, uint8_t tag) {
  std::vector<uint8_t> payload{0x42, tag};
  PacketPtr request(aPacket_CreateWithData(0x08, 2, payload.data()));
  if (aLink_PutPacket(ref, request.get()) != aErrNone) return false;
  return PacketPtr(aLink_AwaitFirst(ref, SamePayload, &payload, kBound)) != nullptr;
}

}  // namespace

TEST(LinkSync, DeviceAnswerModes) {
  struct Row {
    const char* name;
    std::vector<Answer> answers;
    uint32_t ms;       // lateness or gap
    bool fragmenting;  // the pipe answers not-ready between any two bytes
    size_t minSyncs;
    size_t maxSyncs;
  };
  // A bad first answer, then silence for the rest of the first six: the handshake can only
  // complete on answers to the AD 00 of a restart, so at least eight reach the device. (AD 00
  // still queued when it completes are dropped unsent, so counts are ranges.)
  auto firstThenRestart = [](Answer first) {
    std::vector<Answer> answers{first};
    answers.insert(answers.end(), 5, Answer::kNever);
    answers.push_back(Answer::kRight);
    return answers;
  };
  const Row rows[] = {
      {"right", {Answer::kRight}, 0, false, 2, 6},
      {"wrong address first", firstThenRestart(Answer::kWrongAddress), 0, false, 8, 12},
      {"odd first byte", firstThenRestart(Answer::kOddFirst), 0, false, 8, 18},
      {"zero first byte", firstThenRestart(Answer::kZeroFirst), 0, false, 8, 18},
      // Late, but within the quiet time: no restart while waiting.
      {"late by 100 ms", {Answer::kLate}, 100, false, 2, 6},
      // As over COBS framing: empty reads between the bytes of every answer.
      {"byte by byte", {Answer::kByteByByte}, 20, true, 2, 18},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SimLinkPipe link;
    link.device.SetEcho(true);
    link.pipe.SetFragmenting(MemoryPipe::kA, row.fragmenting);
    ASSERT_NE(link.Create(), 0u);
    link.device.SetSyncAnswers(row.answers, row.ms);
    uint64_t start = aTime_GetMonotonicMS();
    EXPECT_EQ(aLink_Sync(link.ref), aErrNone);
    // Its 2 s wait and the settle, with room for a loaded machine; not a second wait.
    EXPECT_LT(aTime_GetMonotonicMS() - start, 3500u);
    EXPECT_EQ(aLink_GetStatus(link.ref), kLinkStatusRunning);
    // Sync has dropped the late zero-length answers.
    EXPECT_EQ(PacketPtr(aLink_GetPacket(link.ref)), nullptr);
    EXPECT_GE(link.device.SyncCount(), row.minSyncs);
    EXPECT_LE(link.device.SyncCount(), row.maxSyncs);
    EXPECT_TRUE(EchoFlows(link.ref, 1));
  }
}

TEST(LinkSync, SilentDeviceThenAnswers) {
  SimLinkPipe link;
  link.device.SetEcho(true);
  link.device.SetSyncAnswers({Answer::kNever});
  ASSERT_NE(link.Create(), 0u);
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(aLink_Sync(link.ref), aErrNotReady);
  uint64_t took = aTime_GetMonotonicMS() - start;
  EXPECT_GE(took, 2000u);
  EXPECT_LT(took, 3500u);
  EXPECT_EQ(aLink_GetStatus(link.ref), kLinkStatusSyncing);
  // Restarts are paced by the quiet time, not by every empty read.
  EXPECT_LE(link.device.SyncCount(), 6u * (took / 250 + 2));

  link.device.SetSyncAnswers({Answer::kRight});
  EXPECT_TRUE(Eventually([&] { return aLink_GetStatus(link.ref) == kLinkStatusRunning; }));
  EXPECT_TRUE(EchoFlows(link.ref, 2));
}

TEST(LinkSync, FramingLossAndStreamErrorsRecover) {
  struct Row {
    const char* name;
    std::function<void(SimLinkPipe&)> trouble;
  };
  const Row rows[] = {
      {"03 at a packet start", [](SimLinkPipe& l) { l.device.SendRaw(HexBytes("03")); }},
      {"length byte 29", [](SimLinkPipe& l) { l.device.SendRaw(HexBytes("08 1D")); }},
      {"address 00", [](SimLinkPipe& l) { l.device.SendRaw(HexBytes("00")); }},
      {"injected aErrIO",
       [](SimLinkPipe& l) { l.pipe.FailNext(MemoryPipe::kA, MemoryPipe::kGet, 1, aErrIO); }},
      {"injected aErrEOF",
       [](SimLinkPipe& l) { l.pipe.FailNext(MemoryPipe::kA, MemoryPipe::kGet, 1, aErrEOF); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SimLinkPipe link;
    link.device.SetEcho(true);
    ASSERT_NE(link.Create(), 0u);
    ASSERT_TRUE(EchoFlows(link.ref, 1));
    link.device.SetSyncAnswers({Answer::kNever});
    row.trouble(link);
    ASSERT_TRUE(link.device.WaitForSyncCount(6, kBound));
    EXPECT_EQ(aLink_GetStatus(link.ref), kLinkStatusSyncing);
    // While the handshake runs, echoed packets are handshake input and never delivered.
    std::vector<uint8_t> request = HexBytes("08 02 42 07");
    link.device.SendRaw(request);
    EXPECT_EQ(PacketPtr(aLink_AwaitPacket(link.ref, 100)), nullptr);

    link.device.SetSyncAnswers({Answer::kRight});
    EXPECT_TRUE(Eventually([&] { return aLink_GetStatus(link.ref) == kLinkStatusRunning; }));
    EXPECT_TRUE(EchoFlows(link.ref, 3));
  }
}

TEST(LinkSync, HeartbeatOverTheLink) {
  SimLinkPipe link;
  ASSERT_NE(link.Create(), 0u);
  std::vector<uint8_t> answer;
  EXPECT_EQ(link.device.Heartbeat(0x00, kBound, &answer), SimLinkDevice::HeartbeatResult::kAnswered);
  EXPECT_EQ(answer, HexBytes("08 02 00 02"));
  EXPECT_EQ(link.device.Heartbeat(0xFF, kBound), SimLinkDevice::HeartbeatResult::kAnswered);
  EXPECT_EQ(PacketPtr(aLink_AwaitPacket(link.ref, 50)), nullptr);  // never queued
}
