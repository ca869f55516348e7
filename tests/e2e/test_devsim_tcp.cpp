// corvantis-devsim --tcp serves the simulated device to a TCP/IP link of another process.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "Child.h"
#include "DeviceRigs.h"
#include "DisableEther.h"
#include "FileText.h"
#include "TempDir.h"
#include "UpgradeRigs.h"
#include "I2CClass.h"
#include "Module.h"
#include "PacketHelpers.h"
#include "SystemClass.h"
#include "TcpDeviceListener.h"
#include "aLink.h"

namespace {

const char* kDevsim = CORVANTIS_BINARY_DIR "/bin/corvantis-devsim";

TEST(Devsim, ServesAnEchoingDeviceOverTcp) {
  Child devsim(kDevsim, {"--tcp", "0"});
  std::string line = devsim.Line(5000);
  unsigned port = 0;
  ASSERT_EQ(sscanf(line.c_str(), "tcp 127.0.0.1 %u", &port), 1) << line;
  ASSERT_GT(port, 0u);

  aLinkRef ref = aLink_CreateTCPIP(0x1234, TcpDeviceListener::address(), static_cast<uint16_t>(port));
  ASSERT_NE(ref, 0u);
  std::vector<uint8_t> payload = HexBytes("10 20 30");
  PacketPtr request(aPacket_CreateWithData(0x08, 3, payload.data()));
  ASSERT_EQ(aLink_PutPacket(ref, request.get()), aErrNone);
  PacketPtr reply(aLink_AwaitFirst(ref, SamePayload, &payload, 5000));
  EXPECT_NE(reply, nullptr);
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_EQ(devsim.Stop(5000), 0);
}

TEST(Devsim, ServesAModuleWithItsTables) {
  Child devsim(kDevsim, {"--tcp", "0", "--address", "6", "--build", "12345", "--entity", "6:3:9:0=4:0x12345678",
                "--factory", "6:2=0A0B0C"});
  std::string line = devsim.Line(5000);
  unsigned port = 0;
  ASSERT_EQ(sscanf(line.c_str(), "tcp 127.0.0.1 %u", &port), 1) << line;

  {
    Tavrin::Corvantis::Module module(0, true, 0);
    module.setConfig(DirectConfig());
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = 0x1234;
    spec.ipv4Address = TcpDeviceListener::address();
    spec.tcpPort = port;
    ASSERT_EQ(module.connectFromSpec(spec), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 12345u);

    Tavrin::Corvantis::uei get{};
    get.module = 6;
    get.command = 3;
    get.option = 0x49;
    get.index = 0x20;
    ASSERT_EQ(module.getLink()->sendUEI(get), aErrNone);
    get.option = 9;
    get.index = 0;
    ASSERT_EQ(module.getLink()->receiveUEI(6, 3, 9, 0, &get), aErrNone);
    EXPECT_EQ(get.value.intVal, 0x12345678u);
    uint8_t factory[8] = {};
    size_t count = 0;
    EXPECT_EQ(module.getLink()->getFactoryData(6, 2, factory, sizeof factory, &count), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(factory, factory + count), HexBytes("0A 0B 0C"));
  }
  EXPECT_EQ(devsim.Stop(5000), 0);
}

TEST(Devsim, ServesASystemEntityAndI2CSlaves) {
  Child devsim(kDevsim, {"--tcp", "0", "--address", "6", "--system", "6", "--serial", "6:0x0BADF00D", "--model", "6:0x21",
                "--version", "6:0x2F010203", "--name", "6:Bench-7", "--router", "6:4", "--module-address", "6:6",
                "--i2c", "6:1:0xA0=C0FFEE:0x05"});
  std::string line = devsim.Line(5000);
  unsigned port = 0;
  ASSERT_EQ(sscanf(line.c_str(), "tcp 127.0.0.1 %u", &port), 1) << line;
  {
    Tavrin::Corvantis::Module module(0, true, 0);
    module.setConfig(DirectConfig());
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = 0x0BADF00D;
    spec.ipv4Address = TcpDeviceListener::address();
    spec.tcpPort = port;
    ASSERT_EQ(module.connectFromSpec(spec), aErrNone);
    Tavrin::Corvantis::SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0, version = 0;
    uint8_t model = 0, router = 0, address = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0BADF00Du);
    EXPECT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, 0x21);
    EXPECT_EQ(system.getVersion(&version), aErrNone);
    EXPECT_EQ(version, 0x2F010203u);
    EXPECT_EQ(system.getRouter(&router), aErrNone);
    EXPECT_EQ(router, 4);
    EXPECT_EQ(system.getModule(&address), aErrNone);
    EXPECT_EQ(address, 6);
    uint8_t name[16];
    size_t count = 0;
    EXPECT_EQ(system.getName(name, sizeof name, &count), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), count), "Bench-7");
    Tavrin::Corvantis::I2CClass bus;
    bus.init(&module, 1);
    uint8_t data[3] = {};
    EXPECT_EQ(bus.read(0xA0, 3, data), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 3), HexBytes("C0 FF EE"));
  }
  EXPECT_EQ(devsim.Stop(5000), 0);
}

// A loader and a firmware block through the upgrade entity; the device reboots, dropping its
// link, and at the end its record and memories are in the dump folder.
TEST(Devsim, ServesAnUpgradeEntityAndDumpsWhatItWasSent) {
  TempDir dump;
  Child devsim(kDevsim, {"--tcp", "0", "--address", "6", "--system", "6", "--block-size", "6:256", "--on-reboot",
                         "drop,back=100", "--dump", dump.path()});
  std::string line = devsim.Line(5000);
  unsigned port = 0;
  ASSERT_EQ(sscanf(line.c_str(), "tcp 127.0.0.1 %u", &port), 1) << line;
  const std::vector<uint8_t> loader = RandomBytes(60, 1);
  const std::vector<uint8_t> firmware = RandomBytes(700, 2);
  {
    Tavrin::Corvantis::Module module(6, false, 0);
    RecordingDisplay display;
    ASSERT_EQ(_disableEther(module, display), aErrNone);
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = 0x0000ABCD;
    spec.ipv4Address = TcpDeviceListener::address();
    spec.tcpPort = port;
    ASSERT_EQ(module.connectFromSpec(spec), aErrNone);
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    std::vector<uint8_t> block = UpgradeBlock(0x20000000, loader);
    uint16_t blockSize = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), 64, 0, blockSize), aErrNone);
    ASSERT_EQ(entity.LoaderTransfer(block.data(), 64), aErrNone);
    ASSERT_EQ(entity.LoaderStart(), aErrNone);
    block = UpgradeBlock(0x00010000, firmware);
    ASSERT_EQ(entity.TransferPrepare(block.data(), 704, 0, blockSize), aErrNone);
    EXPECT_EQ(blockSize, 256);
    ASSERT_EQ(entity.FirmwareTransfer(block.data(), 704, blockSize, display), aErrNone);
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_FALSE(module.isConnected());
  }
  EXPECT_EQ(devsim.Stop(5000), 0);
  EXPECT_EQ(ReadBytes(dump / "tcp1-06-ram-0x20000000.bin"), loader);
  EXPECT_EQ(ReadBytes(dump / "tcp1-06-flash-0x00010000.bin"), firmware);
  std::string packets = ReadText(dump / "tcp1-packets.txt");
  EXPECT_NE(packets.find("06 02 5F 06\n"), std::string::npos) << "the reboot";
}

TEST(Devsim, RefusesWhatItDoesNotKnow) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"--tcp"}, {"--tcp", "70000"}, {"--usb", "1"}, {"--tcp", "0", "--address", "7"},
        {"--tcp", "0", "--entity", "6:3:9=4:1"}, {"--tcp", "0", "--entity", "6:3:9:0=3:1"},
        {"--tcp", "0", "--slot", "6:1:2:4=0102030405"}, {"--tcp", "0", "--factory", "6:16=00"},
        {"--tcp", "0", "--build"}, {"--tcp", "0", "--system", "7"}, {"--tcp", "0", "--serial", "6"},
        {"--tcp", "0", "--model", "6:256"}, {"--tcp", "0", "--i2c", "6:1:0xA1=00"},
        {"--tcp", "0", "--i2c", "6:1:0xA0=0"}, {"--routing"}, {"--tcp", "0", "--on-load", "fall"},
        {"--tcp", "0", "--on-reboot", "drop,back=x"}, {"--tcp", "0", "--upgrade-fault", "6:1:sometimes"},
        {"--tcp", "0", "--block-size", "6:70000"}, {"--tcp", "0", "--probe", "12:300"}}) {
    Child devsim(kDevsim, args);
    EXPECT_EQ(devsim.Line(5000), "");
    EXPECT_EQ(devsim.Stop(5000), 2);
  }
}

}  // namespace
