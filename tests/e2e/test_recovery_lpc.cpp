// updater -N and -U -t RECOVER against the simulated LPC1768 ISP boot loader on a pty.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "BirdBuilder.h"
#include "FakeUpdateServer.h"
#include "PtyPair.h"
#include "RunUpdater.h"
#include "SimLpcIsp.h"
#include "TempDir.h"
#include "UpdateOutput.h"

using Lines = std::vector<std::string>;

namespace {

// A loopback port where nothing listens: a run that asks a server gets refused at once.
const char* const kNoServer = "http://127.0.0.1:9/cgi/u";
const uint32_t kChipWords[4] = {0x12345678, 0x9ABCDEF0, 0x0BADF00D, 0x00C0FFEE};
const ByteVec kTerminator = {0xFF, 0xFF, 0xFF, 0xFF};

bool AllErased(const std::vector<uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

// The chip's lines that change flash or start it.
bool TouchedFlash(const Lines& commands) {
  return std::any_of(commands.begin(), commands.end(), [](const std::string& c) {
    return c.rfind("U ", 0) == 0 || c.rfind("P ", 0) == 0 || c.rfind("E ", 0) == 0;
  });
}

// The chip on a pty, a store folder, and runs of the updater against both.
struct LpcRig {
  LpcRig() : chip_(pty_) {
    chip_.configure([](SimLpcIsp::Settings& s) {
      std::copy(std::begin(kChipWords), std::end(kChipWords), s.deviceId);
      s.eraseDelayMs = 5;
    });
    chip_.loadFlash(0, RandomBytes(SimLpcIsp::kFlashSize, 7));  // old firmware everywhere
  }

  // A recovery image for this chip: each block LPC-encoded with its words.
  std::string Image(const std::vector<std::pair<uint32_t, ByteVec>>& blocks, const std::string& name = "fw.bird") {
    BirdBuilder bird;
    for (const auto& [address, plain] : blocks) bird.Firmware(address, LpcEncode(plain, kChipWords));
    bird.Firmware(0, kTerminator);
    std::string path = dir_ / name;
    EXPECT_TRUE(bird.WriteTo(path));
    return path;
  }

  RunResult Updater(std::vector<std::string> args, const std::string& url = kNoServer) {
    chip_.start();
    std::vector<std::string> all = {"-i", dir_ / "store", "-u", url};
    all.insert(all.end(), args.begin(), args.end());
    RunOptions options;
    options.timeoutMs = 60000;
    return RunUpdater(all, options);
  }
  std::string dir(const std::string& name) { return dir_ / name; }

  TempDir dir_;
  PtyPair pty_{true};
  SimLpcIsp chip_;
};

class RecoveryLpc : public ::testing::Test, public LpcRig {};

TEST_F(RecoveryLpc, FingerprintIsTheBootLoadersIdentifier) {
  RunResult run = Updater({"-N", "-s", pty_.slaveName()});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(OutputAfterVersion(run.out, false), (Lines{"[ 12345678 9ABCDEF0 0BADF00D 00C0FFEE ]"}));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(chip_.commandLines(), (Lines{"N"}));
  EXPECT_TRUE(chip_.synchronised());
  // Nothing of the i.MX path: no store entry for the placeholder.
  EXPECT_EQ(access((dir_ / "store/updater/DEADDEAD").c_str(), F_OK), -1);
}

TEST_F(RecoveryLpc, RecoversFromAFileThroughRamChunkByChunk) {
  ByteVec plain = RandomBytes(10000, 3);
  std::string fw = Image({{0x10000, plain}});
  FakeUpdateServer server;
  RunResult run = Updater({"-U", "-t", "RECOVER", "-s", pty_.slaveName(), "-f", fw}, server.url());

  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(OutputAfterVersion(run.out, true),
            (Lines{"Recovering from Birdfile: " + fw, "Transferring firmware block 1 of 1, 10000 bytes",
                   "Transferred 1 blocks, 10000 total bytes", "Rebooting Device"}));

  EXPECT_EQ(chip_.flash(0x10000, plain.size()), plain);
  // The last copy window reaches 0x12FFF: filled with erased bytes, not stale RAM.
  EXPECT_TRUE(AllErased(chip_.flash(0x10000 + 10000, 0x13000 - 0x12710)));
  EXPECT_TRUE(AllErased(chip_.flash(0, 0x10000)));
  EXPECT_TRUE(AllErased(chip_.flash(0x13000, SimLpcIsp::kFlashSize - 0x13000)));

  Lines expected = {"N", "U 23130", "P 0 29", "E 0 29", "A 0"};
  for (unsigned f : {65536u, 69632u, 73728u}) {
    expected.push_back("W 268439552 4096");
    expected.push_back("P 16 16");
    expected.push_back("C " + std::to_string(f) + " 268439552 4096");
  }
  expected.push_back("A 1");
  expected.push_back("G 0 T");
  EXPECT_EQ(chip_.commandLines(), expected);
  EXPECT_EQ(chip_.executedFrom(), 0u);
  EXPECT_TRUE(server.targets().empty());
}

// Blocks whose copy windows reach past their images: a later block inside an earlier one's
// window and a block near the end of a sector both land whole on erased flash.
TEST_F(RecoveryLpc, CopyWindowsProgramOnlyTheImage) {
  ByteVec first = RandomBytes(1808, 11), second = RandomBytes(256, 12), low = RandomBytes(1100, 13);
  std::string fw = Image({{0x10000, first}, {0x10800, second}, {0x0400, low}});
  RunResult run = Updater({"-U", "-t", "RECOVER", "-s", pty_.slaveName(), "-f", fw});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(chip_.flash(0x10000, first.size()), first);
  EXPECT_TRUE(AllErased(chip_.flash(0x10000 + 1808, 0x800 - 1808)));
  EXPECT_EQ(chip_.flash(0x10800, second.size()), second);
  EXPECT_EQ(chip_.flash(0x0400, low.size()), low);
  EXPECT_TRUE(AllErased(chip_.flash(0x0400 + 1100, 0x1400 - 0x0400 - 1100)));
  Lines commands = chip_.commandLines();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "P 0 1"), commands.end());
  EXPECT_NE(std::find(commands.begin(), commands.end(), "C 1024 268439552 4096"), commands.end());
}

TEST_F(RecoveryLpc, AnotherRateIsToldToTheChipFirst) {
  ByteVec plain = RandomBytes(5000, 5);
  std::string fw = Image({{0x20000, plain}});
  RunResult run = Updater({"-U", "-t", "RECOVER", "-s", pty_.slaveName(), "-f", fw, "-o", "57600"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  // The chip drops whatever comes at a rate other than the one it is locked to: "B" came at
  // 115200, everything after it at 57600.
  Lines commands = chip_.commandLines();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(commands[1], "B 57600 1");
  EXPECT_EQ(commands[2], "U 23130");
  EXPECT_EQ(chip_.flash(0x20000, plain.size()), plain);
  EXPECT_EQ(chip_.executedFrom(), 0u);
}

TEST_F(RecoveryLpc, WithoutABuildLineTheNewestBuildIsRecovered) {
  FakeUpdateServer server;
  server.Set("fix", FakeReply().Body("ok\n40F5849A\n"));
  ByteVec plain = RandomBytes(3000, 9);
  BirdBuilder bird;
  bird.Firmware(0x10000, LpcEncode(plain, kChipWords)).Firmware(0, kTerminator);
  server.SetImage(bird.Bytes());
  RunResult run = Updater({"-U", "-t", "RECOVER", "-s", pty_.slaveName()}, server.url());
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  Lines out = OutputAfterVersion(run.out, true);
  ASSERT_GE(out.size(), 2u) << run.out;
  EXPECT_EQ(out[0], "Recovering firmware with build: 0");
  EXPECT_EQ(out[1], "Downloading firmware build 0");
  EXPECT_NE(std::find(out.begin(), out.end(), "Retrieving build 1234"), out.end()) << run.out;
  EXPECT_EQ(chip_.flash(0x10000, plain.size()), plain);
  EXPECT_EQ(access((dir_ / "store/updater/40F5849A/1234.bird").c_str(), F_OK), 0);
  std::vector<std::string> targets = server.targets();
  ASSERT_FALSE(targets.empty());
  EXPECT_NE(targets[0].find("op=fix"), std::string::npos);
  EXPECT_NE(targets[0].find("fp=12345678%209ABCDEF0%200BADF00D%2000C0FFEE"), std::string::npos);
}

struct FailureRow {
  const char* name;
  std::function<void(SimLpcIsp::Settings&)> chip;  // none: the default chip
  std::function<std::vector<std::string>(LpcRig&, const std::string& slave)> args;
  Lines errors;
  int exit;
  bool flashUntouched;       // the chip saw no U, P or E
  bool started;              // it saw "G 0 T"
};

}  // namespace

TEST(RecoveryLpcFailure, EachSaysWhatFailed) {
  auto code = [](char command, int value) {
    return [=](SimLpcIsp::Settings& s) { s.returnCodes[command] = value; };
  };
  const FailureRow rows[] = {
      {"no peer on a missing path", nullptr,
       [](LpcRig& t, const std::string&) {
         return std::vector<std::string>{"-N", "-s", t.dir("missing/tty")};
       },
       {"Got no response from chip"}, 1, true, false},
      {"a plain file as the port", nullptr,
       [](LpcRig& t, const std::string&) {
         std::ofstream(t.dir("plain")) << "not a terminal";
         return std::vector<std::string>{"-N", "-s", t.dir("plain")};
       },
       {"Got no response from chip"}, 1, true, false},
      {"a recovery image that is no bird file", nullptr,
       [](LpcRig& t, const std::string& slave) {
         std::ofstream(t.dir("junk.bird")) << "junk";
         return std::vector<std::string>{"-U", "-t", "RECOVER", "-s", slave, "-f", t.dir("junk.bird")};
       },
       {"Failed to load bird file"}, 1, true, false},
      {"silent line with a loader file", [](SimLpcIsp::Settings& s) { s.silent = true; },
       [](LpcRig& t, const std::string& slave) {
         BirdBuilder().Loader(0x20200000, RandomBytes(64, 1)).WriteTo(t.dir("loader.bird"));
         return std::vector<std::string>{"-N", "-f", t.dir("loader.bird"), "-s", slave};
       },
       {"Add serial number or remove the bird filename to use a default recovery image.",
        "Got no response from chip"},
       1, true, false},
      {"identifier refused", code('N', 19),
       [](LpcRig&, const std::string& slave) { return std::vector<std::string>{"-N", "-s", slave}; },
       {"Got no response from chip"}, 1, true, false},
      {"image with a serial-number block", nullptr,
       [](LpcRig& t, const std::string& slave) {
         BirdBuilder bird;
         bird.SerialOffsets(0x10100, 0x10200).Firmware(0x10000, RandomBytes(1024, 1)).Firmware(0, kTerminator);
         bird.WriteTo(t.dir("serial.bird"));
         return std::vector<std::string>{"-U", "-t", "RECOVER", "-s", slave, "-f", t.dir("serial.bird")};
       },
       {"Updater does not support offline recovery"}, 1, true, false},
      {"block off a 256-byte boundary", nullptr,
       [](LpcRig& t, const std::string& slave) {
         return std::vector<std::string>{"-U", "-t", "RECOVER", "-s", slave, "-f",
                                         t.Image({{0x10080, RandomBytes(512, 2)}})};
       },
       {"Firmware block 1 cannot be programmed at address 0x00010080", "Failed to transfer firmware"}, 1, true, false},
      {"block past the end of flash", nullptr,
       [](LpcRig& t, const std::string& slave) {
         return std::vector<std::string>{"-U", "-t", "RECOVER", "-s", slave, "-f",
                                         t.Image({{0x10000, RandomBytes(256, 4)}, {0x7F000, RandomBytes(4097, 2)}})};
       },
       {"Firmware block 2 cannot be programmed at address 0x0007F000", "Failed to transfer firmware"}, 1, true, false},
      {"erase refused", code('E', 9),
       [](LpcRig& t, const std::string& slave) {
         return std::vector<std::string>{"-U", "-t", "RECOVER", "-s", slave, "-f",
                                         t.Image({{0x10000, RandomBytes(512, 2)}})};
       },
       {"Failed to transfer firmware"}, 1, false, false},
      // Both echo commands are refused: the transfer goes on with the echo the chip kept, and
      // the chip is not started.
      {"echo off and back on refused", code('A', 1),
       [](LpcRig& t, const std::string& slave) {
         return std::vector<std::string>{"-U", "-t", "RECOVER", "-s", slave, "-f",
                                         t.Image({{0x10000, RandomBytes(512, 2)}})};
       },
       {"Recovery Error transfering data to device ==> [2, aErrParam]", "Failed to transfer firmware"}, 1, false,
       false},
      {"echo back on refused", [](SimLpcIsp::Settings& s) { s.lineCodes["A 1"] = 1; },
       [](LpcRig& t, const std::string& slave) {
         return std::vector<std::string>{"-U", "-t", "RECOVER", "-s", slave, "-f",
                                         t.Image({{0x10000, RandomBytes(512, 2)}})};
       },
       {"Recovery Error transfering data to device ==> [2, aErrParam]", "Failed to transfer firmware"}, 1, false,
       false},
  };
  for (const FailureRow& row : rows) {
    SCOPED_TRACE(row.name);
    LpcRig t;
    if (row.chip) t.chip_.configure(row.chip);
    RunResult run = t.Updater(row.args(t, t.pty_.slaveName()));
    EXPECT_EQ(run.exitStatus, row.exit) << run.out << run.err;
    EXPECT_EQ(SplitLines(run.err), row.errors);
    Lines commands = t.chip_.commandLines();
    if (row.flashUntouched) {
      EXPECT_FALSE(TouchedFlash(commands)) << ::testing::PrintToString(commands);
    }
    EXPECT_EQ(std::find(commands.begin(), commands.end(), "G 0 T") != commands.end(), row.started);
  }
}

// An image that would program nothing is refused before the chip hears more than the
// fingerprint: an erased chip and a success would be worse than the firmware it had.
TEST(RecoveryLpcFailure, NothingToProgramLeavesTheChipAsItWas) {
  struct Row {
    const char* name;
    BirdBuilder image;
  };
  const Row rows[] = {
      {"no firmware block", BirdBuilder().Loader(0x20200000, RandomBytes(64, 1)).Descriptor(1, "1.0", 0, "M")},
      {"only the end block", BirdBuilder().Firmware(0, kTerminator)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LpcRig t;
    std::string path = t.dir("fw.bird");
    ASSERT_TRUE(row.image.WriteTo(path));
    RunResult run = t.Updater({"-U", "-t", "RECOVER", "-s", t.pty_.slaveName(), "-f", path});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(SplitLines(run.err), (Lines{"Birdfile failed validation"}));
    EXPECT_EQ(OutputAfterVersion(run.out, false), (Lines{"Recovering from Birdfile: " + path}));  // no time line
    EXPECT_EQ(t.chip_.commandLines(), (Lines{"N"}));
    EXPECT_EQ(t.chip_.flash(0, SimLpcIsp::kFlashSize), RandomBytes(SimLpcIsp::kFlashSize, 7));
  }
}

// Without the serial line the serial number stays 0: no image can be had for it.
TEST(RecoveryLpcFailure, RecoveryInformationWithoutASerialNumber) {
  LpcRig t;
  FakeUpdateServer server;
  server.Set("fix", FakeReply().Body("ok\n"));
  RunResult run = t.Updater({"-U", "-t", "RECOVER", "-s", t.pty_.slaveName()}, server.url());
  EXPECT_EQ(run.exitStatus, 1);
  Lines errors = SplitLines(run.err);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(), "Failed to load bird file");
  EXPECT_FALSE(TouchedFlash(t.chip_.commandLines()));
}

TEST(RecoveryLpcFailure, RecoveryInformationRefused) {
  LpcRig t;
  FakeUpdateServer server;
  server.Set("fix", FakeReply().Status(404));
  RunResult run = t.Updater({"-U", "-t", "RECOVER", "-s", t.pty_.slaveName()}, server.url());
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(SplitLines(run.err), (Lines{"Failed to retrieve recovery information from Tavrin server"}));
  EXPECT_FALSE(TouchedFlash(t.chip_.commandLines()));
}
