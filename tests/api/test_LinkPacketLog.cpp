// The packet log through a Module over loopback TCP: the text the logger writes, and the
// logger's life beside the link's (disconnect, reconnect, reset).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CpuTime.h"
#include "DeviceRigs.h"
#include "Eventually.h"
#include "FileText.h"
#include "LinkImpl.h"
#include "ProcessCounts.h"
#include "TempDir.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr uint64_t kBound = 5000;

// CPU share of one core the process uses over ms.
double CpuShare(uint64_t ms) {
  double cpu = ProcessCpuSeconds();
  uint64_t start = aTime_GetMonotonicMS();
  aTime_MSSleep(ms);
  return (ProcessCpuSeconds() - cpu) / ((aTime_GetMonotonicMS() - start) / 1000.0);
}

const std::string kStartLine("6 < START\0\r\n", 12);
const std::string kRequestLine = "5 > 0x6 0x3 0x3 0x49 0x20 \r\n";
const std::string kReplyLine = "9 < 0x6 0x7 0x3 0x9 0x0 0x12 0x34 0x56 0x78 \r\n";
const std::string kGetLines = kRequestLine + kReplyLine;

// The address query a Module's connect makes (AD 00) and the device's answer, a packet
// without payload.
const std::string kAddressQueryLines[] = {"2 > 0xAD 0x0 \r\n", "2 < 0x6 0x0 \r\n"};

// The log's text without the connect's address queries and with each get in request order.
// The connect asks again when an answer is late and takes whichever comes, so under load a
// query or an answer can arrive once the log is on; and the writer records a packet once its
// write has returned, so a packet sent before the log began can still be recorded into it,
// and a quick reply can be recorded before its request.
std::string LoggedText(const std::string& path) {
  std::string text = ReadText(path);
  for (const std::string& line : kAddressQueryLines) {
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at)) {
      if (at == 0 || text[at - 1] == '\n') {
        text.erase(at, line.size());
      } else {
        ++at;
      }
    }
  }
  const std::string replyFirst = kReplyLine + kRequestLine;
  for (size_t at = text.find(replyFirst); at != std::string::npos; at = text.find(replyFirst, at + replyFirst.size()))
    text.replace(at, replyFirst.size(), kGetLines);
  return text;
}

class LinkPacketLog : public testing::Test {
 protected:
  void SetUp() override {
    rig_.network().SetEntity(6, {3, 9, 0}, {SimWidth::kInt, 0x12345678});
    ASSERT_EQ(rig_.Connect(), aErrNone);
    ASSERT_EQ(rig_.module.getModuleAddress(), 6);
    threads_ = CountThreads();
  }

  // A get of option 9 of entity (3, 0) and its reply.
  void Get() {
    uei request{};
    request.module = 6;
    request.command = 3;
    request.option = 0x49;
    request.index = 0x20;
    ASSERT_EQ(rig_.link().sendUEI(request), aErrNone);
    uei reply{};
    reply.module = 6;
    reply.command = 3;
    reply.option = 9;
    ASSERT_EQ(rig_.link().receiveUEI(6, 3, 9, 0, &reply), aErrNone);
    EXPECT_EQ(reply.value.intVal, 0x12345678u);
  }

  testing::AssertionResult LogHolds(const std::string& text) {
    if (Eventually([&] { return LoggedText(path_).find(text) != std::string::npos; }, kBound))
      return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the log holds:\n" << ReadText(path_);
  }

  TcpModuleRig rig_;
  TempDir dir_;
  std::string path_ = dir_ / "packets.log";
  int threads_ = 0;
};

}  // namespace

TEST_F(LinkPacketLog, RecordsBecomeLines) {
  ASSERT_EQ(rig_.module.enablePacketLog(path_.c_str()), aErrNone);
  Get();
  ASSERT_TRUE(LogHolds(kGetLines));
  EXPECT_EQ(LoggedText(path_), kStartLine + kGetLines);

  // A text record longer than a packet reaches the file whole.
  std::string text(100, 'a');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  ASSERT_EQ(aLink_PacketDebug_Write(heldLinkRef(rig_.link()), 3, 100,
                                    reinterpret_cast<const uint8_t*>(text.data())),
            aErrNone);
  EXPECT_TRUE(LogHolds("100 < " + text + "\r\n"));
  Get();
  EXPECT_TRUE(LogHolds(kStartLine + kGetLines + "100 < " + text + "\r\n" + kGetLines));

  EXPECT_EQ(rig_.module.disablePacketLog(), aErrNone);
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads_; }, kBound)) << "the logger thread ended";
}

TEST_F(LinkPacketLog, PathsThatCannotBeOpenedChangeNothing) {
  std::string missing = dir_ / "no/such/folder/packets.log";
  EXPECT_EQ(rig_.module.enablePacketLog(missing.c_str()), aErrIO);
  EXPECT_EQ(rig_.module.enablePacketLog(nullptr), aErrParam);
  int kind = 0;
  uint32_t length = 255;
  uint8_t data[255];
  EXPECT_EQ(aLink_PacketDebug_Read(heldLinkRef(rig_.link()), &kind, &length, data), aErrNotReady)
      << "the link keeps no log";
  EXPECT_EQ(rig_.module.disablePacketLog(), aErrParam) << "no logger";
  EXPECT_EQ(CountThreads(), threads_);

  ASSERT_EQ(rig_.module.enablePacketLog(path_.c_str()), aErrNone);
  Get();
  EXPECT_TRUE(LogHolds(kStartLine + kGetLines));
}

TEST_F(LinkPacketLog, TheLoggerStopsWithTheLinkAndFollowsTheNextOne) {
  ASSERT_EQ(rig_.module.enablePacketLog(path_.c_str()), aErrNone);
  Get();
  ASSERT_TRUE(LogHolds(kGetLines));
  aLinkRef first = heldLinkRef(rig_.link());

  EXPECT_EQ(rig_.module.disconnect(), aErrNone);
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads_ - 2; }, kBound))
      << "link threads and logger gone";
  // Taken as soon as the logger is gone: nothing may be added to it after its stop.
  std::string before = LoggedText(path_);
  EXPECT_LT(CpuShare(500), 0.05);
  EXPECT_EQ(rig_.module.disablePacketLog(), aErrConfiguration);

  ASSERT_EQ(rig_.module.reconnect(), aErrNone);
  ASSERT_NE(heldLinkRef(rig_.link()), first);
  ASSERT_EQ(rig_.module.enablePacketLog(path_.c_str()), aErrNone);
  Get();
  ASSERT_TRUE(LogHolds(before + kStartLine + kGetLines)) << "the new link is logged";
  EXPECT_EQ(LoggedText(path_), before + kStartLine + kGetLines);
}

TEST_F(LinkPacketLog, AResetDropsTheLogWithoutTheLoggerSpinning) {
  ASSERT_EQ(rig_.module.enablePacketLog(path_.c_str()), aErrNone);
  Get();
  ASSERT_TRUE(LogHolds(kGetLines));
  ASSERT_EQ(rig_.link().reset(), aErrNone);
  ASSERT_TRUE(rig_.module.isConnected());
  EXPECT_LT(CpuShare(500), 0.05);
  Get();
}
