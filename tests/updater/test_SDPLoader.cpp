// The boot ROM's serial download over a tty: SDPLoader with its serial transport against the
// simulated ROM on a pty.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <unistd.h>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "Eventually.h"
#include "Log.h"
#include "LogCapture.h"
#include "PtyPair.h"
#include "SDPLoader.h"
#include "SimSdpRom.h"
#include "TempDir.h"
#include "unix_time.h"

namespace {

std::vector<uint8_t> Serial(std::vector<uint8_t> packet) {
  packet.erase(packet.begin());  // no report byte on a serial line
  return packet;
}

uint64_t MsSince(uint64_t start) { return aTime_GetMonotonicMS() - start; }

// A ROM on a pty and a loader opened on its slave.
class SdpSerial : public ::testing::Test {
 protected:
  void Open() {
    rom.serveSerial(pty);
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(pty.slaveName().c_str())));
    ASSERT_EQ(loader.init(), 0);
  }
  PtyPair pty{true};
  SimSdpRom rom;
  SDPLoader loader;
};

}  // namespace

TEST_F(SdpSerial, WritesTwoImagesAndJumps) {
  rom.serveSerial(pty);
  ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(pty.slaveName().c_str())));
  uint64_t start = aTime_GetMonotonicMS();
  ASSERT_EQ(loader.init(), 0);
  EXPECT_GE(MsSince(start), 1000u);  // the port settles first

  std::vector<uint8_t> first = RandomBytes(2500, 1), second = RandomBytes(100, 2);
  EXPECT_EQ(loader.writeLoader(first, 0x20200000), 0);
  EXPECT_EQ(loader.writeLoader(second, 0x20210000), 0);
  loader.startLoader(0x20000400);
  ASSERT_TRUE(rom.waitJump(2000));

  EXPECT_EQ(rom.ram(0x20200000, 2500), first);
  EXPECT_EQ(rom.ram(0x20210000, 100), second);
  EXPECT_EQ(*rom.jumpAddress(), 0x20000400u);

  // The whole line from the host: status query, write-file, the data, again, then the jump.
  std::vector<uint8_t> expected;
  auto add = [&](const std::vector<uint8_t>& bytes) { expected.insert(expected.end(), bytes.begin(), bytes.end()); };
  add(Serial(SDPLoader::_createStatusPacket()));
  const std::vector<uint8_t> writeFile = {0x04, 0x04, 0x20, 0x20, 0x00, 0x00, 0x20, 0x00,
                                          0x00, 0x09, 0xC4, 0x00, 0x00, 0x00, 0x00, 0x00};
  add(writeFile);
  add(first);
  add(Serial(SDPLoader::_createStatusPacket()));
  add(Serial(SDPLoader::_createWriteFilePacket(0x20210000, 100)));
  add(second);
  add({0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_TRUE(Eventually([&] { return rom.serialFromHost().size() >= expected.size(); }, 2000));
  EXPECT_EQ(rom.serialFromHost(), expected);
}

// One ROM fault per row, the same 115200-baud line, writeLoader's result and its time.
TEST_F(SdpSerial, RomFaults) {
  struct Row {
    const char* name;
    std::function<void(SdpRomCore::Settings&, SimSdpRom::Faults&)> fault;
    uint64_t finalDelayMs;
    size_t imageSize;
    uint8_t result;
    uint64_t minMs, maxMs;  // writeLoader's time
  };
  const size_t k64 = 64 * 1024;
  const Row rows[] = {
      {"answers only the second status query", [](auto& s, auto&) { s.answerFromStatusQuery = 2; }, 0, 2500, 0, 100, 1500},
      {"silent", [](auto& s, auto&) { s.silent = true; }, 0, 2500, 2, 500, 1500},
      {"talks after the first chunk", [](auto&, auto& f) { f.talkAfterChunk = 1; f.throttle = 11520; }, 0, k64, 3, 0, 2500},
      {"wrong completion word", [](auto& s, auto&) { s.completion = 0x12345678; }, 0, 2500, 4, 0, 1000},
      {"final answer 300 ms late", [](auto&, auto&) {}, 300, 2500, 0, 300, 1500},
      {"final answer 2500 ms late", [](auto&, auto&) {}, 2500, 2500, 4, 1900, 3000},
      {"stops reading in a 64 KiB image", [](auto&, auto& f) { f.stopReadingAfter = 32 * 1024; }, 0, k64, 4, 1900, 3000},
      {"hangs up during the transfer", [](auto&, auto& f) { f.hangUpAfter = 2048; f.throttle = 11520; }, 0, k64, 4, 0, 1000},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    PtyPair line(true);
    SimSdpRom chip;
    chip.configure(r.fault);
    chip.setFinalAnswerDelay(r.finalDelayMs);
    chip.serveSerial(line);
    SDPLoader host;
    ASSERT_TRUE(host.setLoader(new Serial_SDPLoader(line.slaveName().c_str())));
    ASSERT_EQ(host.init(), 0);
    LogCapture log(DEBUG_iMXSerial);
    std::vector<uint8_t> image = RandomBytes(r.imageSize, 3);
    uint64_t start = aTime_GetMonotonicMS();
    EXPECT_EQ(host.writeLoader(image, 0x20000000), r.result);
    uint64_t took = MsSince(start);
    EXPECT_GE(took, r.minMs);
    EXPECT_LE(took, r.maxMs);

    std::vector<SdpRomCore::Command> commands = chip.commands();
    size_t statusQueries = 0;
    for (const auto& c : commands) statusQueries += c.code == 0x05;
    if (r.result == 2) {
      EXPECT_EQ(statusQueries, 5u);
      EXPECT_NE(log.text().find("Error: No ack from iMX device\n"), std::string::npos);
    }
    if (r.result == 0) {
      EXPECT_EQ(chip.ram(0x20000000, image.size()), image);
    }
    if (r.result == 3) {
      // The host stops at the next chunk boundary once the chip talked.
      uint64_t taken = 0;
      EXPECT_TRUE(Eventually([&] {
        uint64_t now = chip.dataBytesTaken();
        bool settled = now == taken && now > 0;
        taken = now;
        return settled;
      }, 5000, 200));
      EXPECT_EQ(taken % 1024, 0u);
      EXPECT_LT(taken, image.size());
    }
  }
}

TEST(SdpSerialOpen, RegularFileAndMissingPathGiveSix) {
  TempDir dir;
  std::string file = dir.path() + "/not-a-tty";
  FILE* f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  std::string missing = dir.path() + "/missing";
  for (const std::string& path : {file, missing}) {
    SCOPED_TRACE(path);
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(path.c_str())));
    EXPECT_EQ(loader.init(), 6);
  }
  SDPLoader none;
  EXPECT_EQ(none.init(), 1);
}

TEST(SdpSerialOpen, SetLoaderKeepsTheFirstTransport) {
  PtyPair pty(true);
  SimSdpRom rom;
  rom.serveSerial(pty);
  SDPLoader loader;
  EXPECT_FALSE(loader.setLoader(nullptr));
  ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(pty.slaveName().c_str())));
  auto* second = new Serial_SDPLoader("/nonexistent");
  EXPECT_FALSE(loader.setLoader(second));
  delete second;
  EXPECT_EQ(loader.init(), 0);  // still the pty
}

TEST_F(SdpSerial, FingerprintFromTheFuseWords) {
  rom.configure([](SdpRomCore::Settings& s, SimSdpRom::Faults&) {
    s.fuses[0x401F4410] = 0x89ABCDEF;
    s.fuses[0x401F4420] = 0x01234567;
  });
  Open();
  uint64_t id = 0;
  EXPECT_EQ(loader.getFingerprint(id), 0);
  EXPECT_EQ(id, 0x0123456789ABCDEFull);

  rom.configure([](SdpRomCore::Settings& s, SimSdpRom::Faults&) { s.readHabOnly = true; });
  uint64_t none = 0;
  EXPECT_EQ(loader.getFingerprint(none), 7);
}

// A command cut short on the line is dropped after 50 ms of silence, so the next one is read whole.
TEST_F(SdpSerial, CutCommandIsDropped) {
  rom.serveSerial(pty);
  ASSERT_TRUE(pty.slave() >= 0);
  const uint8_t half[8] = {0x05, 0x05, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(write(pty.slave(), half, sizeof half), 8);
  ASSERT_TRUE(Eventually([&] { return rom.serialBytesFromHost() == 8; }, 2000));
  aTime_MSSleep(100);
  ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(pty.slaveName().c_str())));
  ASSERT_EQ(loader.init(), 0);
  std::vector<uint8_t> image = RandomBytes(300, 4);
  EXPECT_EQ(loader.writeLoader(image, 0x20000000), 0);
  EXPECT_EQ(rom.ram(0x20000000, image.size()), image);
}
