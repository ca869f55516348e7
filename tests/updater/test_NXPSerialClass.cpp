// LPC in-system programming: NXPSerialClass over a pty against the simulated ISP boot loader.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "BirdBuilder.h"
#include "Eventually.h"
#include "NXPSerialClass.h"
#include "PtyPair.h"
#include "SimLpcIsp.h"
#include "TempDir.h"

namespace {

bool AllErased(const std::vector<uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

// Every byte the chip has read from the host, in order.
std::vector<uint8_t> FromHost(const SimLpcIsp& chip) {
  std::vector<uint8_t> all;
  for (const auto& e : chip.transcript())
    if (e.fromHost) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
  return all;
}

}  // namespace

TEST(NXPSerial, ProgramsInTheRecoveryOrder) {
  PtyPair pty(true);
  SimLpcIsp chip(pty);
  chip.configure([](SimLpcIsp::Settings& s) {
    s.eraseDelayMs = 100;
    s.copyDelayMsPer256 = 1;
    s.resendGroup = 2;
    s.resendTimes = 1;
  });
  chip.loadFlash(0, RandomBytes(SimLpcIsp::kFlashSize, 7));  // old firmware everywhere
  chip.start();
  std::vector<uint8_t> data = RandomBytes(4096, 1);

  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(pty.slaveName().c_str(), 115200), aErrNone);
  ASSERT_EQ(isp.Sync(), aErrNone);
  ASSERT_EQ(isp.GetDeviceID(), aErrNone);
  const uint32_t expectedId[4] = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
  EXPECT_TRUE(std::equal(expectedId, expectedId + 4, isp.DeviceID()));
  EXPECT_EQ(isp.Unlock(), aErrNone);
  EXPECT_EQ(isp.Prepare(0, 29), aErrNone);
  EXPECT_EQ(isp.Erase(0, 29), aErrNone);
  EXPECT_EQ(isp.SetEcho(false), aErrNone);
  EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data()), aErrNone);
  EXPECT_EQ(isp.Prepare(16, 16), aErrNone);
  EXPECT_EQ(isp.CopyToFlash(0x10000, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);
  EXPECT_EQ(isp.SetEcho(true), aErrNone);
  EXPECT_EQ(isp.ExecuteFrom(0), aErrNone);
  ASSERT_TRUE(Eventually([&] { return chip.executedFrom().has_value(); }, 2000));

  EXPECT_EQ(chip.flash(0x10000, 4096), data);
  EXPECT_TRUE(AllErased(chip.flash(0, 0x10000)));
  EXPECT_TRUE(AllErased(chip.flash(0x11000, SimLpcIsp::kFlashSize - 0x11000)));
  const std::vector<std::string> lines = {"N",     "U 23130", "P 0 29", "E 0 29", "A 0", "W 268439552 4096", "P 16 16",
                                          "C 65536 268439552 4096", "A 1", "G 0 T"};
  EXPECT_EQ(chip.commandLines(), lines);
  // 92 lines (91 of 45 bytes, one of 1), the second group of 20 twice.
  EXPECT_EQ(chip.dataLines(), 92 + 20);
  std::vector<int> after;
  std::vector<bool> accepted;
  for (const auto& c : chip.checksums()) {
    after.push_back(c.lineAfter);
    accepted.push_back(c.accepted);
  }
  EXPECT_EQ(after, (std::vector<int>{20, 40, 40, 60, 80, 92}));
  EXPECT_EQ(accepted, (std::vector<bool>{true, false, true, true, true, true}));
}

// One dialogue per row, on a chip synchronised at 115200 with echo as the row says.
struct DialogueRow {
  const char* name;
  bool echo;
  std::function<void(SimLpcIsp::Settings&)> chip;
  std::function<aErr(NXPSerialClass&, SimLpcIsp&)> act;
  aErr expected;
  bool sync = true;          // synchronise before act
  bool nothingSent = false;  // act writes no byte
};

void PrintTo(const DialogueRow& r, std::ostream* os) { *os << r.name << (r.echo ? " (echo on)" : " (echo off)"); }

class NXPDialogue : public ::testing::TestWithParam<DialogueRow> {};

TEST_P(NXPDialogue, Answers) {
  const DialogueRow& r = GetParam();
  PtyPair pty(true);
  SimLpcIsp chip(pty);
  if (r.chip) chip.configure(r.chip);
  chip.start();
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(pty.slaveName().c_str(), 115200), aErrNone);
  if (r.sync) {
    ASSERT_EQ(isp.Sync(), aErrNone);
    ASSERT_EQ(isp.Unlock(), aErrNone);
    if (!r.echo) {
      ASSERT_EQ(isp.SetEcho(false), aErrNone);
    }
  }
  // The set-up's last answer came after the chip had read all of it.
  size_t sentBefore = FromHost(chip).size();
  EXPECT_EQ(r.act(isp, chip), r.expected);
  if (r.nothingSent) {
    // A byte of the test's own behind whatever the call wrote (no command holds a zero byte):
    // once the chip has read it, it has read everything before it.
    const uint8_t marker = 0;
    ASSERT_EQ(write(pty.slave(), &marker, 1), 1);
    ASSERT_TRUE(Eventually([&] {
      std::vector<uint8_t> bytes = FromHost(chip);
      return !bytes.empty() && bytes.back() == marker;
    }));
    EXPECT_EQ(FromHost(chip).size(), sentBefore + 1);
  }
}

namespace {

aErr PrepareOne(NXPSerialClass& isp, SimLpcIsp&) { return isp.Prepare(1, 1); }

std::function<void(SimLpcIsp::Settings&)> Code(char command, int code) {
  return [=](SimLpcIsp::Settings& s) { s.returnCodes[command] = code; };
}

aErr Write4096(NXPSerialClass& isp, SimLpcIsp&) {
  std::vector<uint8_t> data = RandomBytes(4096, 2);
  return isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data());
}

// The identifier words stay as they were when GetDeviceID fails.
aErr DeviceIdKeptOnFailure(NXPSerialClass& isp, SimLpcIsp&) {
  aErr err = isp.GetDeviceID();
  for (int i = 0; i < 4; ++i)
    if (isp.DeviceID()[i] != 0) return aErrUnknown;
  return err;
}

std::vector<DialogueRow> Rows() {
  std::vector<DialogueRow> rows;
  for (bool echo : {true, false}) {
    rows.push_back({"code_0", echo, Code('P', 0), PrepareOne, aErrNone});
    rows.push_back({"code_10", echo, Code('P', 10), PrepareOne, aErrParam});
    rows.push_back({"code_19", echo, Code('P', 19), PrepareOne, aErrParam});
    rows.push_back({"three_resends", echo,
                    [](SimLpcIsp::Settings& s) {
                      s.resendGroup = 1;
                      s.resendTimes = 3;
                    },
                    [](NXPSerialClass& isp, SimLpcIsp& chip) {
                      aErr err = Write4096(isp, chip);
                      // the first group went out three times, and nothing after it
                      return chip.dataLines() == 60 && chip.checksums().size() == 3 ? err : aErrUnknown;
                    },
                    aErrTimeout});
    rows.push_back({"checksum_OK_without_line_end", echo, [](SimLpcIsp::Settings& s) { s.checksumAnswer = "OK"; },
                    Write4096, aErrIO});
    rows.push_back({"checksum_ok_lower_case", echo, [](SimLpcIsp::Settings& s) { s.checksumAnswer = "ok\r\n"; },
                    Write4096, aErrIO});
    rows.push_back({"id_refused_19", echo, Code('N', 19), DeviceIdKeptOnFailure, aErrParam});
    rows.push_back({"id_three_lines", echo, [](SimLpcIsp::Settings& s) { s.idLines = 3; }, DeviceIdKeptOnFailure, aErrIO});
    rows.push_back({"id_word_12ab", echo, [](SimLpcIsp::Settings& s) { s.idWord = "12ab"; }, DeviceIdKeptOnFailure, aErrIO});
    rows.push_back({"erase_400ms", echo, [](SimLpcIsp::Settings& s) { s.eraseDelayMs = 400; },
                    [](NXPSerialClass& isp, SimLpcIsp&) {
                      aErr err = isp.Prepare(0, 29);
                      return err != aErrNone ? err : isp.Erase(0, 29);
                    },
                    aErrNone});
    rows.push_back({"prepare_5_3", echo, nullptr, [](NXPSerialClass& isp, SimLpcIsp&) { return isp.Prepare(5, 3); },
                    aErrParam, true, true});
    rows.push_back({"copy_to_0x2080", echo, nullptr,
                    [](NXPSerialClass& isp, SimLpcIsp&) { return isp.CopyToFlash(0x2080, NXPSerialClass::WRITE_ADDRESS, 256); },
                    aErrParam, true, true});
    rows.push_back({"copy_768", echo, nullptr,
                    [](NXPSerialClass& isp, SimLpcIsp&) { return isp.CopyToFlash(0x2000, NXPSerialClass::WRITE_ADDRESS, 768); },
                    aErrParam, true, true});
    rows.push_back({"write_0", echo, nullptr,
                    [](NXPSerialClass& isp, SimLpcIsp&) {
                      uint8_t b[8] = {};
                      return isp.Write(NXPSerialClass::WRITE_ADDRESS, 0, b);
                    },
                    aErrParam, true, true});
    rows.push_back({"write_6", echo, nullptr,
                    [](NXPSerialClass& isp, SimLpcIsp&) {
                      uint8_t b[8] = {};
                      return isp.Write(NXPSerialClass::WRITE_ADDRESS, 6, b);
                    },
                    aErrParam, true, true});
    rows.push_back({"read_cut_line", echo, [](SimLpcIsp::Settings& s) { s.cutReadLine = true; },
                    [](NXPSerialClass& isp, SimLpcIsp&) {
                      std::vector<uint8_t> out(4096);
                      return isp.Read(NXPSerialClass::WRITE_ADDRESS, 4096, out.data());
                    },
                    aErrIO});
  }
  rows.push_back({"write_then_read", true, nullptr,
                  [](NXPSerialClass& isp, SimLpcIsp&) {
                    std::vector<uint8_t> data = RandomBytes(4096, 9), back(4096, 0);
                    aErr err = isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data());
                    if (err == aErrNone) err = isp.Read(NXPSerialClass::WRITE_ADDRESS, 4096, back.data());
                    return err != aErrNone ? err : back == data ? aErrNone : aErrUnknown;
                  },
                  aErrNone});
  rows.push_back({"sync", true, nullptr, [](NXPSerialClass& isp, SimLpcIsp&) { return isp.Sync(); }, aErrNone, false});
  rows.push_back({"sync_answered_ERROR", true, [](SimLpcIsp::Settings& s) { s.syncError = true; },
                  [](NXPSerialClass& isp, SimLpcIsp&) { return isp.Sync(); }, aErrIO, false});
  rows.push_back({"sync_silent_chip", true, [](SimLpcIsp::Settings& s) { s.silent = true; },
                  [](NXPSerialClass& isp, SimLpcIsp&) { return isp.Sync(); }, aErrNotReady, false});
  return rows;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Rows, NXPDialogue, ::testing::ValuesIn(Rows()), [](const auto& info) {
  return std::string(info.param.name) + (info.param.echo ? "_echo_on" : "_echo_off");
});

TEST(NXPSerialConnect, StreamCodesAndRates) {
  TempDir dir;
  std::string file = dir / "plain";
  FILE* f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  NXPSerialClass isp;
  EXPECT_EQ(isp.Connect((dir / "missing").c_str(), 115200), aErrNotFound);
  EXPECT_EQ(isp.Connect(file.c_str(), 115200), aErrIO);

  PtyPair pty(true);
  struct Rate {
    unsigned asked;
    int chosen;
  };
  for (Rate r : {Rate{115200, 115200}, Rate{100000, 115200}, Rate{57600, 57600}, Rate{0, 2400}, Rate{460800, 9600}}) {
    SCOPED_TRACE(r.asked);
    EXPECT_EQ(isp.Connect(pty.slaveName().c_str(), r.asked), aErrNone);
    EXPECT_EQ(isp.Baud(), r.chosen);
  }
  EXPECT_EQ(isp.Disconnect(), aErrNone);
}

// A client that changes rate without telling the chip is not heard, as on a real line.
TEST(NXPSerialConnect, ChipStaysAtTheRateItSynchronisedAt) {
  PtyPair pty(true);
  SimLpcIsp chip(pty);
  chip.start();
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(pty.slaveName().c_str(), 115200), aErrNone);
  ASSERT_EQ(isp.Sync(), aErrNone);
  ASSERT_EQ(isp.Connect(pty.slaveName().c_str(), 57600), aErrNone);
  EXPECT_EQ(isp.Unlock(), aErrParam);  // no answer line
  ASSERT_EQ(isp.Connect(pty.slaveName().c_str(), 115200), aErrNone);
  EXPECT_EQ(isp.Unlock(), aErrNone);
}

// A line that never stops sending bytes the reader drops (foreign bytes instead of an echo,
// line ends before an answer) cannot hold the reader: the call returns while the line still
// talks, with the failure it gives for a line that makes no sense.
TEST(NXPSerialLines, EndlessDroppedBytesEndTheRead) {
  struct Row {
    const char* name;
    uint8_t babble;
    std::function<aErr(NXPSerialClass&)> call;
    aErr expected;
  };
  const Row rows[] = {
      {"foreign_echo", 'x', [](NXPSerialClass& isp) { return isp.SetEcho(false); }, aErrParam},
      {"line_ends_before_sync_answer", '\n', [](NXPSerialClass& isp) { return isp.Sync(); }, aErrIO},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PtyPair pty(true);
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(pty.slaveName().c_str(), 115200), aErrNone);
    std::atomic<bool> stop{false};
    std::atomic<bool> ranOut{false};
    std::thread line([&] {
      const std::vector<uint8_t> chunk(256, row.babble);
      auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!stop) {
        if (std::chrono::steady_clock::now() > until) {
          ranOut = true;
          return;
        }
        pty.writeMaster(chunk, 50);
      }
    });
    aErr err = row.call(isp);
    stop = true;
    line.join();
    EXPECT_FALSE(ranOut) << "the call returned only once the line fell silent";
    EXPECT_EQ(err, row.expected);
  }
}

TEST(NXPSerialLines, UuencodeAndBoundedDecode) {
  char line[80];
  const uint8_t abc[] = {'a', 'b', 'c'};
  NXPSerialClass::uuencode(line, abc, 3);
  EXPECT_STREQ(line, "#86)C");
  const uint8_t zero[] = {0};
  NXPSerialClass::uuencode(line, zero, 1);
  EXPECT_STREQ(line, "!````");

  std::vector<uint8_t> data = RandomBytes(45, 4);
  NXPSerialClass::uuencode(line, data.data(), 45);
  EXPECT_EQ(strlen(line), 61u);
  // Exactly the capacity: a heap block of that size, so a write past it shows under ASan.
  auto exact = std::make_unique<uint8_t[]>(45);
  EXPECT_EQ(NXPSerialClass::uudecode(exact.get(), 45, line), 45u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), exact.get()));
  auto one = std::make_unique<uint8_t[]>(1);
  EXPECT_EQ(NXPSerialClass::uudecode(one.get(), 1, "!````"), 1u);
  EXPECT_EQ(one[0], 0);

  struct Bad {
    const char* name;
    std::string text;
    unsigned capacity;
  };
  std::string cut(line, 30);
  for (const Bad& b : {Bad{"empty line", "", 64}, Bad{"longer than the room", line, 44}, Bad{"cut short", cut, 64},
                       Bad{"length zero", "`", 64}}) {
    SCOPED_TRACE(b.name);
    std::vector<uint8_t> out(64, 0xEE);
    EXPECT_EQ(NXPSerialClass::uudecode(out.data(), b.capacity, b.text.c_str()), 0u);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t v) { return v == 0xEE; }));
  }
}

TEST(NXPSerialLines, ReturnCodeAndNumberLines) {
  struct Row {
    std::string line;
    bool code;
    unsigned long value;
  };
  for (const Row& r : {Row{"0\r\n", true, 0}, Row{"10\r\n", true, 10}, Row{"19\r\n", true, 19}, Row{"0", false, 0},
                       Row{"\r\n", false, 0}, Row{"x0\r\n", false, 0}, Row{"A 0\r\n", true, 0}, Row{"0\r\r\n", false, 0}}) {
    SCOPED_TRACE(r.line);
    unsigned long code = 99;
    EXPECT_EQ(NXPSerialClass::ParseReturnCode(r.line.data(), r.line.size(), &code), r.code);
    if (r.code) {
      EXPECT_EQ(code, r.value);
    }
  }
  for (const Row& r : {Row{"637615927\r\n", true, 637615927}, Row{"12ab\r\n", false, 0}, Row{"12\r\n", true, 12},
                       Row{"12", false, 0}, Row{" 12\r\n", false, 0}, Row{"\r\n", false, 0}}) {
    SCOPED_TRACE(r.line);
    unsigned long long value = 0;
    EXPECT_EQ(NXPSerialClass::ParseNumberLine(r.line.data(), r.line.size(), &value), r.code);
    if (r.code) {
      EXPECT_EQ(value, r.value);
    }
  }
}

TEST(NXPSerialLines, SectorsCopyLengthsAndErrorTexts) {
  struct Sector {
    unsigned address, sector;
  };
  for (Sector s : {Sector{0x0FFF, 0}, Sector{0x1000, 1}, Sector{0xFFFF, 15}, Sector{0x10000, 16}, Sector{0x7FFFF, 29},
                   Sector{0x80000, 30}})
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(s.address), s.sector) << std::hex << s.address;
  struct Copy {
    unsigned n, length;
  };
  for (Copy c : {Copy{100, 256}, Copy{257, 512}, Copy{4096, 4096}, Copy{5000, 5000}})
    EXPECT_EQ(NXPSerialClass::CopyLength(c.n), c.length) << c.n;
  EXPECT_STREQ(NXPSerialClass::GetErrorText("19\r\n"), "CODE_READ_PROTECTION_ENABLED");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("21"), "Unknown error");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("-1"), "Unknown error");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("99999999999999999999"), "Unknown error");
}

TEST(NXPSerialCommands, PartNumberVersionAndRateChange) {
  PtyPair pty(true);
  SimLpcIsp chip(pty);
  chip.start();
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(pty.slaveName().c_str(), 115200), aErrNone);
  ASSERT_EQ(isp.Sync(), aErrNone);
  long part = 0;
  EXPECT_EQ(isp.GetPartNumber(&part), aErrNone);
  EXPECT_EQ(part, 637615927);
  uint8_t major = 0, minor = 0;
  EXPECT_EQ(isp.GetBootLoaderVersion(&major, &minor), aErrNone);
  EXPECT_EQ(major, 4);
  EXPECT_EQ(minor, 13);
  // Answered at the old rate; the stream keeps its own, so the chip no longer hears it.
  EXPECT_EQ(isp.SetBaudRate(57600), aErrNone);
  EXPECT_EQ(isp.Unlock(), aErrParam);
  ASSERT_EQ(isp.Connect(pty.slaveName().c_str(), 57600), aErrNone);
  EXPECT_EQ(isp.Unlock(), aErrNone);
}

// Without a kept slave the chip sees its client leave, and may start afresh on the next open.
TEST(NXPSerialConnect, ChipResetOnReopen) {
  PtyPair pty(false);
  SimLpcIsp chip(pty);
  chip.configure([](SimLpcIsp::Settings& s) { s.resetOnReopen = true; });
  chip.start();
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(pty.slaveName().c_str(), 115200), aErrNone);
  ASSERT_EQ(isp.Sync(), aErrNone);
  ASSERT_EQ(isp.Disconnect(), aErrNone);
  ASSERT_TRUE(Eventually([&] { return chip.clientAway(); }, 5000));
  ASSERT_EQ(isp.Connect(pty.slaveName().c_str(), 115200), aErrNone);
  EXPECT_TRUE(Eventually([&] { return !chip.synchronised(); }, 5000));
  EXPECT_EQ(isp.Unlock(), aErrParam);  // not synchronised: no answer
  EXPECT_EQ(isp.Sync(), aErrNone);
  EXPECT_EQ(isp.Unlock(), aErrNone);
}
