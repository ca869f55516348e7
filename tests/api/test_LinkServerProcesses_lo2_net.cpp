// Two processes, one device: a process whose Link (default configuration) fronts the device
// with its server, and this one, whose Link finds the device over TCP/IP, is refused by it and
// falls back to that server. lo also carries 127.0.0.2 and 127.0.0.3, so that TCP/IP discovery
// with the default interface probes. Then a value the device streams reaches this process's
// callback through the other's server.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Child.h"
#include "DeviceRigs.h"
#include "Eventually.h"
#include "Netns.h"
#include "PacketHelpers.h"
#include "ServedDevice.h"
#include "TcpipProbeResponder.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

namespace {

const char* kServerHost = CORVANTIS_BINARY_DIR "/bin/corvantis-serverhost";
constexpr uint64_t kBound = 5000;  // ms
constexpr uint32_t kSerial = 0x5E12AB01;

}  // namespace

TEST(LinkServerProcesses, TwoProcessesShareOneDeviceThroughTheFirstsServer) {
  RequirePrivateNetns();
  StartMessageLibrary();
  TcpSimDevice d(8, kSerial);
  SetSystemEntity(d.device, kSerial);
  TcpipProbeResponder responder;
  SimulatedTcpipDevice announced;
  announced.address = "127.0.0.1";
  announced.moduleAddress = 8;
  announced.tcpPort = d.listener.port();
  announced.serial = kSerial;
  announced.model = kSystemModel;
  responder.AddDevice(announced);
  std::string error;
  ASSERT_TRUE(responder.Start(&error)) << error;

  Child host(kServerHost, {"--object-api", "--device-port", std::to_string(d.listener.port()), "--serial",
                           std::to_string(kSerial)});
  ASSERT_TRUE(host.started());
  std::string line = host.Line(10000);
  unsigned port = 0;
  ASSERT_EQ(sscanf(line.c_str(), "port %u", &port), 1) << line;
  ASSERT_TRUE(d.listener.WaitForAccepts(1, kBound));
  // From here on the device takes no second connection.
  d.listener.StopListening();

  {
    Link link("Link");
    ASSERT_EQ(link.discoverAndConnect(TCPIP, kSerial, 0), aErrNone);
    linkSpec found{};
    link.getLinkSpecifier(&found);
    EXPECT_EQ(found.type, static_cast<uint32_t>(AORVEX_TCPIP));
    EXPECT_EQ(found.tcpPort, port) << "the other process's server";

    ASSERT_TRUE(host.WriteLine("go"));
    int ok = 0;
    for (; ok < 100; ++ok) {
      if (GetUEI32(link, 8, 9) != kSerial) break;
    }
    EXPECT_EQ(ok, 100);
    EXPECT_EQ(host.Line(20000), "gets 100 ok\n");

    // A value streamed to this process: the server sends its batch on at the device's next
    // heartbeat.
    d.device.SetHeartbeats(200);
    std::atomic<uint64_t> calledMs{0};
    std::atomic<uint32_t> value{0};
    auto callback = [&](const aPacket* packet, void*) -> uint8_t {
      uint32_t got = 0;
      if (Link::getStreamSample(packet, nullptr, &got, nullptr) == aErrNone && calledMs.load() == 0) {
        value = got;
        calledMs = aTime_GetMonotonicMS();
      }
      return 0;
    };
    ASSERT_EQ(link.registerStreamCallback(8, 3, 5, 0, true, callback, nullptr), aErrNone);
    ASSERT_TRUE(Eventually([&] { return d.device.Network().Streams(8, 3, 5, 0); }, kBound));
    SampleFields sample;
    sample.option = 5;
    sample.timestamp = 1;
    sample.value = 0x00C0FFEE;
    uint64_t sentMs = aTime_GetMonotonicMS();
    d.device.Samples().Start({StreamSampleBytes(8, sample)}, 1);
    ASSERT_TRUE(Eventually([&] { return calledMs.load() != 0; }, kBound));
    EXPECT_LE(calledMs.load() - sentMs, 300u);
    EXPECT_EQ(value.load(), 0x00C0FFEEu);
    EXPECT_EQ(link.registerStreamCallback(8, 3, 5, 0, false, nullptr, nullptr), aErrNone);
  }
  host.CloseInput();
  EXPECT_EQ(host.Line(10000), "threads left 0\n");
  std::optional<int> status = host.Wait(kBound);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_TRUE(Eventually([&] { return RouteSwitches(d.device, false) >= 1; }, kBound));
  EXPECT_EQ(RouteSwitches(d.device, false), 1u);
  EXPECT_EQ(d.listener.accepts(), 1u);
}
