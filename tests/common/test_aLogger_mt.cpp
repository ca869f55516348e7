// The logger thread, and a link's packet log drained by it into a file.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "Eventually.h"
#include "FileText.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "SimLinkPipe.h"
#include "TempDir.h"
#include "aLinkInternal.h"
#include "aLogger.h"
#include "unix_time.h"

namespace {

constexpr uint64_t kBound = 5000;

// What a drain procedure sees; each test picks what the procedure does on its thread.
struct Drain {
  std::atomic<int> calls{0};
  std::atomic<int> action{0};  // 1: disable itself, 2: destroy itself
  std::atomic<int> answer{-1};
  aLogger* logger = nullptr;
};
Drain* gDrain = nullptr;

void sDrainProc(void*, uint32_t) {
  Drain* drain = gDrain;
  int action = drain->action.exchange(0);
  if (action == 1) drain->answer = aLogger_Disable(drain->logger);
  if (action == 2) drain->answer = aLogger_Destroy(&drain->logger);
  drain->calls++;
  aTime_MSSleep(1);
}

// Writes one line per packet-log record of link `ref`: kind, then the bytes in hex.
void sWriteRecords(void* file, uint32_t ref) {
  int kind = 0;
  uint8_t data[64];
  uint32_t length = sizeof data;
  if (aLink_PacketDebug_Read(ref, &kind, &length, data) != aErrNone) {
    aTime_MSSleep(2);
    return;
  }
  aFile_Printf(static_cast<aFile*>(file), "%d %s\n", kind,
               HexText(std::vector<uint8_t>(data, data + length)).c_str());
}

}  // namespace

TEST(Logger, EnableAndDisableRepeatedly) {
  TempDir dir;
  Drain drain;
  gDrain = &drain;
  aLogger* logger = aLogger_Create(7, sDrainProc, (dir / "log.txt").c_str());
  ASSERT_NE(logger, nullptr);
  drain.logger = logger;
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);  // stopped already
  for (int round = 0; round < 3; ++round) {
    int before = drain.calls;
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_TRUE(Eventually([&] { return drain.calls > before + 2; }));
    ASSERT_EQ(aLogger_Disable(logger), aErrNone);
    int stopped = drain.calls;
    aTime_MSSleep(20);
    EXPECT_EQ(drain.calls, stopped);
  }
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);

  aLogger* none = nullptr;
  EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
  aLogger bad{};
  aLogger* badHandle = &bad;
  EXPECT_EQ(aLogger_Destroy(&badHandle), aErrNone);
  EXPECT_EQ(aLogger_Enable(&bad), aErrParam);
  EXPECT_EQ(aLogger_Disable(&bad), aErrParam);
}

TEST(Logger, CallsFromInsideTheDrainProcedure) {
  TempDir dir;
  Drain drain;
  gDrain = &drain;
  drain.logger = aLogger_Create(7, sDrainProc, (dir / "log.txt").c_str());
  ASSERT_NE(drain.logger, nullptr);
  ASSERT_EQ(aLogger_Enable(drain.logger), aErrNone);

  struct Row {
    int action;
    aErr answer;
  };
  for (Row row : {Row{1, aErrNone}, Row{2, aErrBusy}}) {
    SCOPED_TRACE(row.action);
    drain.answer = -1;
    drain.action = row.action;
    ASSERT_TRUE(Eventually([&] { return drain.answer.load() != -1; }));
    EXPECT_EQ(drain.answer.load(), row.answer);
    // The logger goes on.
    int calls = drain.calls;
    EXPECT_TRUE(Eventually([&] { return drain.calls > calls + 2; }));
  }
  ASSERT_NE(drain.logger, nullptr);
  EXPECT_EQ(aLogger_Destroy(&drain.logger), aErrNone);
}

TEST(Logger, UnopenablePathsLeaveNothingOpen) {
  TempDir dir;
  int descriptors = CountOpenDescriptors();
  EXPECT_EQ(aLogger_Create(1, sDrainProc, dir.path().c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(1, sDrainProc, (dir / "missing/log.txt").c_str()), nullptr);
  EXPECT_EQ(CountOpenDescriptors(), descriptors);
}

TEST(Logger, DrainsALinksPacketLogIntoAnAppendedFile) {
  TempDir dir;
  std::string path = dir / "packets.txt";
  WriteText(path, "earlier\n");

  SimLinkPipe link;
  link.device.SetEcho(true);
  ASSERT_NE(link.Create(), 0u);
  ASSERT_EQ(aLink_PacketDebug_Enable(link.ref), aErrNone);
  aLogger* logger = aLogger_Create(link.ref, sWriteRecords, path.c_str());
  ASSERT_NE(logger, nullptr);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);

  const uint8_t marker[] = "START";
  ASSERT_EQ(aLink_PacketDebug_Write(link.ref, 3, sizeof marker, marker), aErrNone);
  PacketPtr request(aPacket_CreateWithData(0x08, 2, HexBytes("31 32").data()));
  ASSERT_EQ(aLink_PutPacket(link.ref, request.get()), aErrNone);
  ASSERT_NE(PacketPtr(aLink_AwaitPacket(link.ref, kBound)), nullptr);
  ASSERT_EQ(link.device.Heartbeat(0x01, kBound), SimLinkDevice::HeartbeatResult::kAnswered);

  const std::string expected[] = {"3 53 54 41 52 54 00\n", "1 08 02 31 32\n", "2 08 02 31 32\n",
                                  "2 08 02 00 01\n", "1 08 02 00 03\n"};
  EXPECT_TRUE(Eventually([&] {
    std::string text = ReadText(path);
    for (const std::string& line : expected)
      if (text.find(line) == std::string::npos) return false;
    return true;
  })) << ReadText(path);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(ReadText(path).rfind("earlier\n", 0), 0u);
}

TEST(Logger, LinkLogSizeAndStates) {
  SimLinkPipe link;
  ASSERT_NE(link.Create(), 0u);
  int kind;
  uint8_t data[8];
  uint32_t length = sizeof data;
  EXPECT_EQ(aLink_PacketDebug_Read(link.ref, &kind, &length, data), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Write(link.ref, 3, 1, data), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Disable(link.ref), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.ref, 0x4000001), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.ref, 0x4000000), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.ref, -1), aErrNone);  // the default, then
  ASSERT_EQ(aLink_PacketDebug_Enable(link.ref), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.ref, 100), aErrBusy);
  EXPECT_EQ(sGetLink(link.ref)->packetLog.load()->size, 0x10000u);

  uint8_t big[256] = {};
  EXPECT_EQ(aLink_PacketDebug_Write(link.ref, 3, 256, big), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Write(link.ref, 3, 1, nullptr), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Read(link.ref, nullptr, &length, data), aErrParam);
  ASSERT_EQ(aLink_PacketDebug_Write(link.ref, 3, 2, HexBytes("41 42").data()), aErrNone);
  // Disabled, the log keeps its records and goes on recording.
  EXPECT_EQ(aLink_PacketDebug_Disable(link.ref), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_Enable(link.ref), aErrNone);
  // The route-on packet may have been recorded as sent just before the marker.
  do {
    length = sizeof data;
    ASSERT_EQ(aLink_PacketDebug_Read(link.ref, &kind, &length, data), aErrNone);
  } while (kind == 1);
  EXPECT_EQ(kind, 3);
  EXPECT_EQ(std::vector<uint8_t>(data, data + length), HexBytes("41 42"));
}
