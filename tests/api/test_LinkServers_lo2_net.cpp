// Links with the default network configuration: a local link server in front of every direct
// link, client links to it, sharing and the fallback to the other kind of transport. lo also
// carries 127.0.0.2 and 127.0.0.3, so that TCP/IP discovery with the default interface probes,
// and the probe responder announces the device at 127.0.0.1 and its listener's port.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DeviceRigs.h"
#include "Eventually.h"
#include "LinkImpl.h"
#include "Netns.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "ServedDevice.h"
#include "TcpipProbeResponder.h"
#include "aLinkManagerInternal.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kBound = 5000;  // ms
constexpr uint32_t kSerial = 0x5E12AB01;
constexpr uint32_t kLoopback = 0x0100007F;
// A client link's own threads: its reader, its writer and its stream's relay.
constexpr int kClientThreads = 3;

linkSpec StoredSpec(Link& link) {
  linkSpec spec{};
  link.getLinkSpecifier(&spec);
  return spec;
}

aOrvexConfig ConfigOf(Link& link) {
  aOrvexConfig config;
  link.getConfig(&config);
  return config;
}

class LinkServers : public testing::Test {
 protected:
  void SetUp() override {
    RequirePrivateNetns();
    StartMessageLibrary();
    SetSystemEntity(d_.device, kSerial);
    SimulatedTcpipDevice announced;
    announced.address = "127.0.0.1";
    announced.moduleAddress = 8;
    announced.tcpPort = d_.listener.port();
    announced.serial = kSerial;
    announced.model = kSystemModel;
    responder_.AddDevice(announced);
    std::string error;
    ASSERT_TRUE(responder_.Start(&error)) << error;
    baseline_ = CountThreads();
    links_ = sRegistryCount();
  }

  // Once the row's Links are gone: the device saw as many route-offs as it was given, and
  // nothing is left.
  void ExpectReleased(size_t routeOffs) {
    EXPECT_TRUE(Eventually([&] { return RouteSwitches(d_.device, false) >= routeOffs; }, kBound));
    aTime_MSSleep(50);
    EXPECT_EQ(RouteSwitches(d_.device, false), routeOffs);
    EXPECT_TRUE(Eventually([&] { return CountThreads() == baseline_; }, kBound)) << "threads";
    EXPECT_EQ(sRegistryCount(), links_) << "registered links";
  }

  TcpSimDevice d_{8, kSerial};
  TcpipProbeResponder responder_;
  int baseline_ = 0;
  size_t links_ = 0;
};

}  // namespace

TEST_F(LinkServers, SharingAndFallback) {
  struct Row {
    const char* what;
    std::function<void()> run;
    bool deviceLinked = true;  // the row made (and released) a link to the device
  };
  const Row rows[] = {
      {"the default configuration through a type-2 linkSpec",
       [&] {
         Link link(d_.Spec(), "Link");
         ASSERT_EQ(link.connect(), aErrNone);
         aOrvexConfig config = ConfigOf(link);
         EXPECT_NE(config.port, 0);
         EXPECT_EQ(config.networkInterface, kLoopback);
         EXPECT_EQ(GetUEI32(link, 8, 9), kSerial);
         LinkPin client(heldLinkRef(link));
         ASSERT_NE(client.entry(), nullptr);
         EXPECT_EQ(client.entry()->type, static_cast<uint32_t>(AORVEX)) << "the Link holds the client link";
       }},
      {"2 -> 4: the served device is refused over TCP/IP, its server found",
       [&] {
         size_t accepts = d_.listener.accepts();
         Link a(d_.Spec(), "A");
         ASSERT_EQ(a.connect(), aErrNone);
         Link b("B");
         ASSERT_EQ(b.discoverAndConnect(TCPIP, kSerial, 0), aErrNone);
         linkSpec found = StoredSpec(b);
         EXPECT_EQ(found.type, static_cast<uint32_t>(AORVEX_TCPIP)) << "the server's record";
         EXPECT_EQ(found.tcpPort, ConfigOf(a).port);
         EXPECT_NE(heldLinkRef(b), heldLinkRef(a));
         EXPECT_EQ(d_.listener.accepts(), accepts + 1) << "one connection to the device";
         EXPECT_EQ(GetUEI32(b, 8, 9), kSerial);
         EXPECT_EQ(GetUEI32(a, 8, 9), kSerial);
       }},
      {"type 3, not found: no retry",
       [&] {
         Link link("Link");
         EXPECT_EQ(link.discoverAndConnect(SERIAL, kSerial, 0), aErrNotFound);
       },
       false},
      {"a client linkSpec with enabled off: no retry",
       [&] {
         Link a(d_.Spec(), "A");
         ASSERT_EQ(a.connect(), aErrNone);
         Link b("B");
         aOrvexConfig off;
         off.enabled = false;
         b.setConfig(off);
         // A retry over USB would find nothing: aErrNotFound.
         EXPECT_EQ(b.discoverAndConnect(AORVEX, kSerial, 0), aErrConfiguration);
         EXPECT_EQ(StoredSpec(b).type, static_cast<uint32_t>(AORVEX_TCPIP));
         EXPECT_EQ(heldLinkRef(b), 0u);
       }},
      {"a Module through a routing Module shares its client link",
       [&] {
         auto router = std::make_unique<Module>(0, true, 0);
         ASSERT_EQ(router->connectFromSpec(d_.Spec()), aErrNone);
         auto behind = std::make_unique<Module>(8, true, 0);
         ASSERT_EQ(behind->connectThroughLinkModule(router.get()), aErrNone);
         EXPECT_EQ(heldLinkRef(*behind->getLink()), heldLinkRef(*router->getLink()));
         EXPECT_EQ(StoredSpec(*behind->getLink()).type, static_cast<uint32_t>(AORVEX));
         EXPECT_EQ(GetUEI32(*behind->getLink(), 8, 9), kSerial);
         router.reset();
         EXPECT_EQ(GetUEI32(*behind->getLink(), 8, 9), kSerial) << "the use it holds keeps the link";
       }},
      {"pooled packets: a 3,100-byte byte sequence through the server",
       [&] {
         SimEntityKey key{3, 20, 0};
         d_.device.Network().SetEntity(8, key, {SimWidth::kBytes});
         Link link(d_.Spec(), "Link");
         ASSERT_EQ(link.connect(), aErrNone);
         ASSERT_EQ(link.enablePooledPackets(true), aErrNone);
         Bytes data(3100);
         for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 5);
         size_t from = d_.device.PacketCount();
         uei request{};
         request.module = 8;
         request.command = 3;
         request.option = 0x94;
         request.index = 0x20;
         request.type = ueiTypeBytes;
         request.value.data = data.data();
         request.length = data.size();
         ASSERT_EQ(link.sendUEI(request), aErrNone);
         uei ack{};
         ack.module = 8;
         ack.command = 3;
         ack.option = 0xD4;
         ack.type = ueiTypeBytes;
         ack.length = data.size();
         ASSERT_EQ(link.receiveUEI(8, 3, 0xD4, 0, &ack), aErrNone);
         EXPECT_EQ(ack.index, 0) << "not an error reply";
         std::vector<Bytes> wires = ReceivedSince(d_.device, from);
         ASSERT_EQ(wires.size(), 130u);
         for (size_t i = 0; i < wires.size(); ++i) {
           ASSERT_GE(wires[i].size(), 6u);
           EXPECT_EQ(wires[i].back() & 0x7F, i % 128) << "packet " << i;
         }
         EXPECT_EQ(d_.device.Network().Entity(8, key)->bytes, data) << "every packet, in order";
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    size_t routeOffs = RouteSwitches(d_.device, false);
    row.run();
    ExpectReleased(routeOffs + (row.deviceLinked ? 1 : 0));
  }
}

TEST_F(LinkServers, AConnectedLinkKeepsItsLinkSpecWhenDiscoveryFindsAnother) {
  // A serves the announced device; B is connected to a second device when it is asked to
  // discover and connect the first: over TCP/IP, and with the fallback to A's server as well.
  for (bool fallback : {false, true}) {
    SCOPED_TRACE(fallback ? "with the fallback" : "without the fallback");
    size_t routeOffs = RouteSwitches(d_.device, false);
    {
      TcpSimDevice other(8, 0x5E12AB0F);
      SetSystemEntity(other.device, other.serial);
      Link a(d_.Spec(), "A");
      ASSERT_EQ(a.connect(), aErrNone);
      Link b(other.Spec(), "B");
      aOrvexConfig config;
      config.fallback = fallback;
      ASSERT_EQ(b.setConfig(config), aErrNone);
      ASSERT_EQ(b.connect(), aErrNone);
      EXPECT_EQ(b.discoverAndConnect(TCPIP, kSerial, 0), aErrConnection);
      linkSpec kept = StoredSpec(b);
      EXPECT_EQ(kept.type, static_cast<uint32_t>(TCPIP));
      EXPECT_EQ(kept.serialNumber, other.serial);
      EXPECT_EQ(kept.tcpPort, other.listener.port());
      // The reconnect reaches the device B was made for.
      ASSERT_EQ(b.disconnect(), aErrNone);
      ASSERT_EQ(b.connect(), aErrNone);
      EXPECT_EQ(other.listener.accepts(), 2u);
      EXPECT_EQ(GetUEI32(b, 8, 9), other.serial);
    }
    ExpectReleased(routeOffs + 1);
  }
}

TEST_F(LinkServers, TwoLinksOnOneSerialDeviceShareOneServer) {
  PtySimDevice p(8, 0x5E12AB02);
  SetSystemEntity(p.device, p.serial);
  int threads = CountThreads();
  {
    Link a(p.Spec(), "A");
    Link b(p.Spec(), "B");
    ASSERT_EQ(a.connect(), aErrNone);
    int afterA = CountThreads();
    ASSERT_EQ(b.connect(), aErrNone);
    EXPECT_EQ(CountThreads() - afterA, kClientThreads) << "a client of the first server, no second server";
    EXPECT_EQ(ConfigOf(b).port, ConfigOf(a).port);
    EXPECT_NE(heldLinkRef(a), heldLinkRef(b));
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(GetUEI32(a, 8, 9), p.serial) << i;
      EXPECT_EQ(GetUEI32(b, 8, 9), p.serial) << i;
    }
  }
  ASSERT_TRUE(p.line->WaitClientGone(kBound));
  EXPECT_EQ(RouteSwitches(p.device, false), 1u);
  // The line's threads end with the port: a fresh line has them all again.
  p.Renew();
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }, kBound)) << "threads";
  EXPECT_EQ(sRegistryCount(), links_);
}
