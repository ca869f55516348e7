// Modules that find their device by TCP/IP discovery, in a namespace of their own with only lo:
// the probe goes out of 127.0.0.2 and the simulated devices answer from 127.0.0.1, the address
// their listeners serve.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DeviceRigs.h"
#include "DiscoveryRecorder.h"
#include "Netns.h"
#include "TcpipProbeResponder.h"

using namespace Tavrin::Corvantis;

namespace {

SimulatedTcpipDevice Announced(const TcpSimDevice& device, uint8_t model, int delayMs = 0) {
  SimulatedTcpipDevice announced;
  announced.address = "127.0.0.1";
  announced.moduleAddress = device.device.address();
  announced.tcpPort = device.listener.port();
  announced.serial = device.serial;
  announced.model = model;
  announced.delayMs = delayMs;
  return announced;
}

aOrvexConfig ProbeFromLoopback2() {
  aOrvexConfig config = DirectConfig();
  config.networkInterface = IPv4("127.0.0.2");
  return config;
}

class ModuleDiscovery : public testing::Test {
 protected:
  void SetUp() override { RequirePrivateNetns(); }

  void Respond(const std::vector<SimulatedTcpipDevice>& devices) {
    responder_ = std::make_unique<TcpipProbeResponder>();
    for (const SimulatedTcpipDevice& device : devices) responder_->AddDevice(device);
    std::string error;
    ASSERT_TRUE(responder_->Start(&error)) << error;
  }

  std::unique_ptr<TcpipProbeResponder> responder_;
};

}  // namespace

TEST_F(ModuleDiscovery, BySerialNumber) {
  TcpSimDevice d(6, 0x00C0FFEE);
  d.device.Network().SetBuild(6, 12345);
  Respond({Announced(d, 3)});
  Module module(0, true, 0);
  module.setConfig(ProbeFromLoopback2());
  ASSERT_EQ(module.discoverAndConnect(TCPIP, 0x00C0FFEE), aErrNone);
  EXPECT_EQ(module.getModuleAddress(), 6);
  linkSpec spec;
  ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.serialNumber, 0x00C0FFEEu);
  EXPECT_EQ(spec.tcpPort, d.listener.port());
  ExpectQueriesAndReconnect(module, d.device);
}

TEST_F(ModuleDiscovery, ByModelAmongThree) {
  struct Row {
    uint8_t model;
    size_t taken;
  };
  const Row rows[] = {{4, 1}, {5, 2}, {0, 0}};
  for (const Row& row : rows) {
    std::vector<std::unique_ptr<TcpSimDevice>> devices;
    std::vector<SimulatedTcpipDevice> announced;
    for (uint8_t i = 0; i < 3; ++i) {
      devices.push_back(std::make_unique<TcpSimDevice>(6, 0x1000 + i));
      // In model order 3, 4, 5, answering 100 ms apart.
      announced.push_back(Announced(*devices.back(), static_cast<uint8_t>(3 + i), 100 * i));
    }
    Respond(announced);
    Module module(0, true, row.model);
    module.setConfig(ProbeFromLoopback2());
    ASSERT_EQ(module.discoverAndConnect(TCPIP, 0), aErrNone) << int(row.model);
    linkSpec spec;
    ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.serialNumber, 0x1000u + row.taken) << int(row.model);
    for (size_t i = 0; i < devices.size(); ++i)
      EXPECT_EQ(devices[i]->listener.accepts(), i == row.taken ? 1u : 0u) << int(row.model) << " device " << i;
    module.disconnect();
    responder_.reset();
  }
}
