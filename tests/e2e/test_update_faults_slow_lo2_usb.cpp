// updater -U against a device that vanishes for good at one request of the update, over USB
// (unplugged) and over TCP/IP (a reset, the listener closed, the probe no longer answered), and
// against an update server that fails each of its requests: every run exits 1 within its bound,
// names where it failed on standard error, and leaves store and working folder as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "BirdBuilder.h"
#include "DeviceRigs.h"
#include "FakeUpdateServer.h"
#include "FileText.h"
#include "Netns.h"
#include "RawListener.h"
#include "RunUpdater.h"
#include "SimTransports.h"
#include "TcpipProbeResponder.h"
#include "TempDir.h"
#include "UpdateOutput.h"
#include "UpgradeRigs.h"
#include "UsbEmulationTest.h"

using Lines = std::vector<std::string>;
using Fault = SimUpgradeFault;
using Phase = SimLinkDevice::PhaseChange;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 6;
constexpr int kBoundMs = 120000;
// A device that is gone is given up on within this.
constexpr int kGoneBoundMs = 60000;
const char* const kGone = "[25, aErrConnection]";

// 2048 loader bytes (79 DATA packets), two firmware blocks of 16 pieces of 256 bytes (10 DATA
// packets each).
UpdateImage SweepImage() {
  UpdateImage image;
  image.firmwareBytes = 4096;
  return image;
}
constexpr uint32_t kLoaderPackets = 79;
constexpr uint32_t kBlockPackets = 160;

enum class Transport { kUsb, kTcpip };

void PrintTo(Transport transport, std::ostream* out) { *out << (transport == Transport::kUsb ? "USB" : "TCP/IP"); }

struct DeviceRow {
  const char* name;
  const char* step;  // as the error names it
  const char* code;  // "[code, name]" after it; nullptr: the loader search's own
  std::vector<Fault> faults;
  bool uei = false;            // the device takes UEI data
  bool refusedReturn = false;  // it comes back after LOAD, but no connection to it succeeds
};

void PrintTo(const DeviceRow& row, std::ostream* out) { *out << row.name; }

const DeviceRow kDeviceRows[] = {
    {"Init", "INIT", kGone, {{0, Fault::Kind::kVanish}}},
    {"LoaderPrepare", "loader PREPARE", kGone, {{3, Fault::Kind::kVanish}}},
    {"LoaderData", "loader DATA", kGone, {{1, Fault::Kind::kVanish, 0, 1, 1}}},
    {"LoaderSum", "loader SUM", kGone, {{4, Fault::Kind::kVanish}}},
    {"Load", "loader search", nullptr, {{2, Fault::Kind::kVanish}}},
    {"LoaderThatCannotBeReached", "loader search", nullptr, {}, false, true},
    {"PrepareOfBlock2", "PREPARE", kGone, {{3, Fault::Kind::kVanish, 0, 1, 2}}},
    {"DataOfBlock2", "DATA", kGone, {{1, Fault::Kind::kVanish, 0, 1, kLoaderPackets + kBlockPackets + 99}}},
    {"UeiSequenceOfBlock1", "DATA", kGone, {{10, Fault::Kind::kVanish}}, true},
    {"SumOfBlock1Piece3", "SUM", kGone, {{4, Fault::Kind::kVanish, 0, 1, 3}}},
    {"WriteOfBlock1Piece3", "WRITE", kGone, {{5, Fault::Kind::kVanish, 0, 1, 2}}},
};

class UpdateFaults : public UsbEmulationTest {
 protected:
  std::string S() const { return t_ / "s"; }
  std::string W() const { return t_ / "w"; }
  std::string Folder() const { return S() + "/updater/40F5849A"; }
  void SetUp() override {
    UsbEmulationTest::SetUp();
    ASSERT_TRUE(MakeFolders(W()));
    ASSERT_TRUE(MakeFolders(Folder()));
    WriteText(Folder() + "/.settings", "CREATED_TIME=Mon Jan  1 00:00:00 2024\n");
  }
  // Runs the updater with the store, the server and the working folder; the store and the
  // working folder must come out as they went in.
  RunResult Run(const std::string& url, std::vector<std::string> args, int boundMs = kBoundMs) {
    TreeSnapshot store = SnapshotTree(S());
    TreeSnapshot work = SnapshotTree(W());
    RunOptions options;
    AddUsbEmulationEnv(options);
    options.cwd = W();
    options.timeoutMs = boundMs;
    std::vector<std::string> all = {"-i", S(), "-u", url, "-X", "0x10501"};
    all.insert(all.end(), args.begin(), args.end());
    RunResult run = RunUpdater(all, options);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_EQ(run.out.find("Update time"), std::string::npos) << run.out;
    EXPECT_EQ(TreeDifference(store, SnapshotTree(S())), "");
    EXPECT_EQ(TreeDifference(work, SnapshotTree(W())), "");
    return run;
  }

  TempDir t_;
  FakeUpdateServer server_;
  // Destroyed after the emulation, which holds its side.
  std::unique_ptr<UsbSimDevice> usb_;
};

class DeviceVanishes : public UpdateFaults, public ::testing::WithParamInterface<std::tuple<DeviceRow, Transport>> {
 protected:
  void TearDown() override {
    // The devices go before the emulation that holds their sides.
    responder_.reset();
    tcp_.reset();
    UpdateFaults::TearDown();
  }

  std::unique_ptr<TcpSimDevice> tcp_;
  std::unique_ptr<TcpipProbeResponder> responder_;
};

TEST_P(DeviceVanishes, TheRunSaysWhere) {
  RequirePrivateNetns();
  const DeviceRow& row = std::get<0>(GetParam());
  const Transport transport = std::get<1>(GetParam());
  ByteVec image = BirdBuilder::Update(SweepImage()).Bytes();
  WriteText(Folder() + "/1300.bird", std::string(image.begin(), image.end()));
  server_.Set("qu", FakeReply().Body("ok\n1300\n2.12.5\n"));

  SimDeviceProfile profile;
  profile.serial = kSerial;
  profile.model = 13;
  profile.ueiDataAnswer = row.uei ? 0 : 1;
  profile.upgrade.answerLoad = !row.refusedReturn;
  SimLinkDevice* device = nullptr;
  SimLinkDevice::Transport ends;
  if (transport == Transport::kUsb) {
    usb_ = std::make_unique<UsbSimDevice>(usb(), kAddress, profile);
    device = &usb_->device;
    ends = UsbTransport(usb(), &usb_->emulated, usb_->side, UsbReturn::kSameNumber);
    if (row.refusedReturn) {
      // Back on the bus, its interface is taken by someone else.
      auto unplug = ends.drop;
      UsbSimDevice* sim = usb_.get();
      ends.drop = [sim, unplug] {
        sim->emulated->setClaimErrno(EBUSY);
        unplug();
      };
    }
  } else {
    tcp_ = std::make_unique<TcpSimDevice>(kAddress, kSerial);
    device = &tcp_->device;
    ApplyProfile(device->Network(), kAddress, profile);
    ends = TcpTransport(tcp_->listener);
    responder_ = std::make_unique<TcpipProbeResponder>();
    SimulatedTcpipDevice announced;
    announced.address = "127.0.0.1";
    announced.moduleAddress = kAddress;
    announced.tcpPort = tcp_->listener.port();
    announced.serial = kSerial;
    announced.model = 13;
    responder_->AddDevice(announced);
    std::string error;
    ASSERT_TRUE(responder_->Start(&error)) << error;
    if (!row.refusedReturn) {
      // Gone for good: nothing answers the probe either.
      auto reset = ends.drop;
      TcpipProbeResponder* responder = responder_.get();
      ends.drop = [responder, reset] {
        reset();
        responder->Stop();
      };
    }
  }
  device->SetTransport(ends);
  for (const Fault& fault : row.faults) device->Network().AddUpgradeFault(kAddress, fault);
  if (row.refusedReturn) {
    // USB: back 300 ms later, unclaimable. TCP/IP: the probe still names it, its port refuses.
    Phase load;
    load.link = Phase::LinkEnd::kDrop;
    if (transport == Transport::kUsb) {
      load.back = Phase::Return::kAfterMs;
      load.ms = 300;
    }
    device->SetOnLoad(load);
  }

  RunResult run = Run(server_.url(), {"-U", "-d", "40F5849A"}, row.code != nullptr ? kGoneBoundMs : kBoundMs);
  std::string expected = std::string("Failed to transfer firmware at ") + row.step + " " + (row.code ? row.code : "[");
  bool found = false;
  for (const std::string& line : SplitLines(run.err))
    found |= row.code != nullptr ? line == expected : line.rfind(expected, 0) == 0;
  EXPECT_TRUE(found) << expected << "\n" << run.err;
  // A block is tried again only while the device is there.
  EXPECT_EQ(run.out.find("  Retry"), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Rows, DeviceVanishes,
                         ::testing::Combine(::testing::ValuesIn(kDeviceRows),
                                            ::testing::Values(Transport::kUsb, Transport::kTcpip)),
                         [](const ::testing::TestParamInfo<std::tuple<DeviceRow, Transport>>& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == Transport::kUsb ? "Usb" : "Tcpip");
                         });

// The update server fails a request: before any device is needed.
struct ServerRow {
  const char* name;
  bool download;               // -G -U, else -U
  const char* op;              // the request that fails; nullptr: nothing answers at all
  bool stall;                  // held 10 s, then 503; else 503 at once
  const char* downloadError;   // the download's own message
};

void PrintTo(const ServerRow& row, std::ostream* out) { *out << row.name; }

class ServerFails : public UpdateFaults, public ::testing::WithParamInterface<ServerRow> {};

TEST_P(ServerFails, TheRunSaysWhat) {
  const ServerRow& row = GetParam();
  SimDeviceProfile profile;
  profile.serial = kSerial;
  profile.model = 13;
  usb_ = std::make_unique<UsbSimDevice>(usb(), kAddress, profile);
  RawListener silent(RawListener::CloseWithoutReply);
  if (row.op != nullptr) {
    FakeReply reply = FakeReply().Status(503);
    if (row.stall) reply.Stall();
    server_.Set(row.op, reply);
  }
  std::vector<std::string> args = {"-U", "-d", "40F5849A"};
  if (row.download) args.insert(args.begin(), "-G");
  RunResult run = Run(row.op != nullptr ? server_.url() : silent.url(), args);

  Lines err = SplitLines(run.err);
  auto last = std::find(err.begin(), err.end(), "Could not find valid build for this device.");
  EXPECT_NE(last, err.end()) << run.err;
  if (row.downloadError != nullptr) {
    auto first = std::find_if(err.begin(), last, [&row](const std::string& line) {
      return line.rfind(row.downloadError, 0) == 0;
    });
    EXPECT_NE(first, last) << "the download's message, then the update's\n" << run.err;
  }
  EXPECT_EQ(usb_->emulated->opens(), 0) << "the device saw no connection";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ServerFails,
    ::testing::Values(ServerRow{"QueryStalls", false, "qu", true, nullptr},
                      ServerRow{"NoReplyAtAll", false, nullptr, false, nullptr},
                      ServerRow{"DownloadHelloStalls", true, "hi", true, "Server request failed for "},
                      ServerRow{"DownloadHelloRefused", true, "hi", false, "Server request failed for "},
                      ServerRow{"DownloadQueryStalls", true, "qu", true, "No build information for device"},
                      ServerRow{"DownloadQueryRefused", true, "qu", false, "No build information for device"},
                      ServerRow{"DownloadBuildsStalls", true, "builds", true, "No valid build 1234"},
                      ServerRow{"DownloadBuildsRefused", true, "builds", false, "No valid build 1234"},
                      ServerRow{"DownloadImageStalls", true, "bird", true, "Failed to retrieve a valid BIRD file"},
                      ServerRow{"DownloadImageRefused", true, "bird", false, "Failed to retrieve a valid BIRD file"}),
    [](const ::testing::TestParamInfo<ServerRow>& info) { return std::string(info.param.name); });

}  // namespace
