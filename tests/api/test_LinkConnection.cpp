// Link connection: stored records, the results of every way a connection can go, sharing one
// link-engine link, and the held-but-not-running state; over loopback TCP and a pty.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "DeviceRigs.h"
#include "Eventually.h"
#include "LinkImpl.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "aLinkManagerInternal.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr uint64_t kBound = 5000;  // ms, for what should be quick

// Threads and registered links before a test's links; both must come back.
struct Baseline {
  int threads = CountThreads();
  size_t links = sRegistryCount();
  void ExpectBack() const {
    EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }, kBound)) << "threads";
    EXPECT_EQ(sRegistryCount(), links) << "registered links";
  }
};

std::unique_ptr<Link> DirectLink(const linkSpec& spec) {
  auto link = std::make_unique<Link>(spec, "Link");
  link->setConfig(DirectConfig());
  return link;
}

std::vector<uint8_t> Bytes(const linkSpec& spec) {
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(&spec);
  return std::vector<uint8_t>(raw, raw + sizeof spec);
}

}  // namespace

TEST(LinkConnection, KeepsItsNameLinkSpecAndConfiguration) {
  EXPECT_STREQ(Link(nullptr).getName(), "");
  EXPECT_STREQ(Link("Link").getName(), "Link");
  std::string longName(1500, 'n');
  longName[1023] = 'x';
  EXPECT_EQ(std::string(Link(longName.c_str()).getName()), longName.substr(0, 1024));

  Link bare("bare");
  linkSpec spec{};
  EXPECT_EQ(bare.getLinkSpecifier(&spec), aErrNotFound);
  EXPECT_EQ(bare.getLinkSpecifier(nullptr), aErrParam);
  EXPECT_EQ(bare.getConfig(nullptr), aErrParam);
  aOrvexConfig config;
  config.port = 99;
  ASSERT_EQ(bare.getConfig(&config), aErrNone);
  EXPECT_TRUE(config.enabled);
  EXPECT_TRUE(config.fallback);
  EXPECT_TRUE(config.localOnly);
  EXPECT_EQ(config.port, 0);
  uint8_t interface[4];
  memcpy(interface, &config.networkInterface, sizeof interface);
  EXPECT_EQ(std::vector<uint8_t>(interface, interface + 4), HexBytes("7F 00 00 01"));

  TcpSimDevice d;
  Link stored(d.Spec(), "stored");
  ASSERT_EQ(stored.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(Bytes(spec), Bytes(d.Spec()));
  ASSERT_EQ(stored.setConfig(DirectConfig()), aErrNone);
  ASSERT_EQ(stored.getConfig(&config), aErrNone);
  EXPECT_FALSE(config.enabled);
  EXPECT_FALSE(config.fallback);
}

TEST(LinkConnection, WithoutALinkNothingIsSent) {
  Link link("Link");
  Link other("other");
  EXPECT_EQ(link.getStatus(), 8);
  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_EQ(link.reset(), aErrNone);
  EXPECT_EQ(link.enablePacketLog("/tmp/never"), aErrConfiguration);
  EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
  EXPECT_EQ(link.connectThroughLinkModule(other), aErrInitialization);

  uei record{};
  record.module = 6;
  uint8_t byte = 0x55, length = 1, out[28];
  size_t count = 0;
  EXPECT_EQ(link.sendUEI(record), aErrConnection);
  EXPECT_EQ(link.receiveUEI(6, 3, 9, 0, &record), aErrConnection);
  EXPECT_EQ(link.dropMatchingUEIPackets(6, 3, 9, 0), aErrConnection);
  EXPECT_EQ(link.sendPacket(6, 0x17, 1, &byte), aErrConnection);
  EXPECT_EQ(link.receivePacket(6, &byte, &length, out), aErrConnection);
  EXPECT_EQ(link.getModuleAddress(&byte), aErrNotReady);
  EXPECT_EQ(byte, 0);
  EXPECT_EQ(link.storeSlotCapacity(6, 0, 0, &count), aErrConnection);
  EXPECT_EQ(link.loadStoreSlot(6, 0, 0, out, 1), aErrConnection);
  EXPECT_EQ(link.getFactoryData(6, 0, out, sizeof out, &count), aErrConnection);
  EXPECT_EQ(link.setFactoryData(6, 0, out, 1), aErrConnection);
}

TEST(LinkConnection, RefusedConnectionsLeaveTheLinkEngineUntouched) {
  TcpSimDevice d;
  PtySimDevice p;
  aLinkRef drawn = aLink_CreateTCPIP(0x1111, TcpDeviceListener::address(), d.listener.port());
  ASSERT_NE(drawn, 0u);
  aLinkRef released = drawn;
  ASSERT_EQ(aLink_Destroy(&released), aErrNone);
  ASSERT_TRUE(d.listener.WaitUntilIdle(kBound));
  Baseline baseline;

  linkSpec unterminated = p.Spec();
  memset(unterminated.portName, 'x', sizeof unterminated.portName);
  struct Row {
    const char* what;
    bool hasSpec;
    linkSpec spec;
    bool enabled;
    aErr result;
  };
  auto ofType = [&](uint32_t type) {
    linkSpec spec = d.Spec();
    spec.type = type;
    return spec;
  };
  const Row rows[] = {
      {"no linkSpec", false, {}, false, aErrConfiguration},
      {"type 0", true, ofType(0), false, aErrMode},
      {"type 8", true, ofType(8), false, aErrMode},
      {"client type without enabled", true, ofType(AORVEX), false, aErrConfiguration},
      {"port name without its terminator", true, unterminated, false, aErrParam},
      {"unsupported serial rate", true, p.Spec(1234), false, aErrConnection},
  };
  for (const Row& row : rows) {
    Link link("Link");
    aOrvexConfig config = DirectConfig();
    config.enabled = row.enabled;
    link.setConfig(config);
    if (row.hasSpec) link.setLinkSpecifier(row.spec);
    EXPECT_EQ(link.connect(), row.result) << row.what;
    EXPECT_EQ(heldLinkRef(link), 0u) << row.what;
    EXPECT_EQ(link.getStatus(), 8) << row.what;
  }
  baseline.ExpectBack();
  EXPECT_EQ(d.listener.accepts(), 1u);

  aLinkRef next = aLink_CreateTCPIP(0x1111, TcpDeviceListener::address(), d.listener.port());
  EXPECT_EQ(next, drawn + 1) << "no id drawn by the refused connections";
  aLink_Destroy(&next);
}

TEST(LinkConnection, ConnectedRefusesChangesAndASecondConnectAndResets) {
  TcpSimDevice d;
  d.device.SetEcho(true);
  Baseline baseline;
  {
    std::unique_ptr<Link> link = DirectLink(d.Spec());
    ASSERT_EQ(link->connect(), aErrNone);
    EXPECT_TRUE(link->isConnected());
    EXPECT_EQ(link->getStatus(), 2);
    aLinkRef ref = heldLinkRef(*link);
    EXPECT_EQ(link->connect(), aErrConnection);
    EXPECT_EQ(heldLinkRef(*link), ref);
    EXPECT_EQ(link->setConfig(aOrvexConfig()), aErrMode);
    linkSpec other = d.Spec();
    other.serialNumber = 0x2222;
    EXPECT_EQ(link->setLinkSpecifier(other), aErrBusy);
    linkSpec stored;
    ASSERT_EQ(link->getLinkSpecifier(&stored), aErrNone);
    EXPECT_EQ(stored.serialNumber, d.serial);
    aOrvexConfig config;
    link->getConfig(&config);
    EXPECT_FALSE(config.enabled);

    EXPECT_EQ(link->reset(), aErrNone);
    EXPECT_EQ(heldLinkRef(*link), ref);
    EXPECT_TRUE(EchoesThrough(*link, 6, 1));
    EXPECT_EQ(d.listener.accepts(), 2u) << "the reset made the connection anew";
  }
  baseline.ExpectBack();
}

TEST(LinkConnection, HeldButNotRunning) {
  TcpSimDevice d;
  TcpSimDevice elsewhere(6, 0x2222);
  elsewhere.device.SetEcho(true);
  std::unique_ptr<Link> other = DirectLink(elsewhere.Spec());
  ASSERT_EQ(other->connect(), aErrNone);
  Baseline baseline;

  std::unique_ptr<Link> link = DirectLink(d.Spec());
  ASSERT_EQ(link->connect(), aErrNone);
  aLinkRef ref = heldLinkRef(*link);
  // The socket stream makes its connection again after a reset; refused, the link stops.
  d.listener.StopListening();
  d.listener.ResetConnection();
  ASSERT_TRUE(Eventually([&] { return link->getStatus() == kLinkStatusIOError; }, kBound));
  EXPECT_FALSE(link->isConnected());
  EXPECT_EQ(link->setConfig(DirectConfig()), aErrNone);
  EXPECT_EQ(link->setLinkSpecifier(elsewhere.Spec()), aErrNone);
  EXPECT_EQ(link->connect(), aErrConnection);
  EXPECT_EQ(link->connectThroughLinkModule(*other), aErrConnection);
  EXPECT_EQ(heldLinkRef(*link), ref) << "the use held stays, and no other is taken";

  EXPECT_EQ(link->disconnect(), aErrNone);
  EXPECT_EQ(heldLinkRef(*link), 0u);
  EXPECT_EQ(link->getStatus(), 8);
  baseline.ExpectBack();
  EXPECT_TRUE(EchoesThrough(*other, 6, 1));
}

TEST(LinkConnection, ConnectThroughALinkThatFailsBeforeTheFactoryHoldsNothing) {
  TcpSimDevice d;
  d.device.SetEcho(true);
  std::unique_ptr<Link> other = DirectLink(d.Spec());
  ASSERT_EQ(other->connect(), aErrNone);
  Baseline baseline;

  linkSpec unterminated = d.Spec();
  unterminated.type = SERIAL;
  memset(unterminated.portName, 'x', sizeof unterminated.portName);
  linkSpec client = d.Spec();
  client.type = AORVEX;
  linkSpec unknown = d.Spec();
  unknown.type = 9;
  struct Row {
    const char* what;
    const linkSpec* spec;
    aErr result;
  };
  const Row rows[] = {
      {"no linkSpec", nullptr, aErrConfiguration},
      {"client type without enabled", &client, aErrConfiguration},
      {"unknown type", &unknown, aErrMode},
      {"port name without its terminator", &unterminated, aErrParam},
  };
  for (const Row& row : rows) {
    {
      Link link("Link");
      link.setConfig(DirectConfig());
      if (row.spec != nullptr) link.setLinkSpecifier(*row.spec);
      EXPECT_EQ(link.connectThroughLinkModule(*other), row.result) << row.what;
      EXPECT_EQ(heldLinkRef(link), 0u) << row.what;
    }
    // Destroying that Link must not have taken other's use.
    EXPECT_TRUE(other->isConnected()) << row.what;
    EXPECT_TRUE(EchoesThrough(*other, 6, 1)) << row.what;
  }
  baseline.ExpectBack();
}

TEST(LinkConnection, TwoLinksShareOneConnectionUntilTheLastGoes) {
  TcpSimDevice d;
  d.device.SetEcho(true);
  Baseline baseline;
  auto first = DirectLink(d.Spec());
  auto second = DirectLink(d.Spec());
  auto joined = DirectLink(d.Spec());
  ASSERT_EQ(first->connect(), aErrNone);
  ASSERT_EQ(second->connect(), aErrNone);
  ASSERT_EQ(joined->connectThroughLinkModule(*first), aErrNone);
  EXPECT_NE(heldLinkRef(*first), 0u);
  EXPECT_EQ(heldLinkRef(*second), heldLinkRef(*first));
  EXPECT_EQ(heldLinkRef(*joined), heldLinkRef(*first));
  EXPECT_EQ(sRegistryCount(), baseline.links + 1);
  EXPECT_EQ(d.listener.accepts(), 1u);

  first.reset();
  EXPECT_TRUE(EchoesThrough(*second, 6, 1));
  joined.reset();
  EXPECT_TRUE(EchoesThrough(*second, 6, 2));
  EXPECT_EQ(d.device.RoutePackets().size(), 1u);
  second.reset();
  ASSERT_TRUE(d.listener.WaitForEnd(1, kBound));
  EXPECT_EQ(d.listener.end(1), TcpDeviceListener::kPeerReset);
  EXPECT_EQ(d.device.RoutePackets().back(), HexBytes("AF 01 00"));
  baseline.ExpectBack();
}

TEST(LinkConnection, SerialLinkOverAPty) {
  PtySimDevice p;
  p.device.SetEcho(true);
  Baseline baseline;
  std::unique_ptr<Link> link = DirectLink(p.Spec());
  ASSERT_EQ(link->connect(), aErrNone);
  EXPECT_TRUE(EchoesThrough(*link, 6, 1));
  aLinkRef ref = heldLinkRef(*link);
  // The serial link's entry keeps no port: it cannot be made again, and keeps running.
  EXPECT_EQ(link->reset(), aErrParam);
  EXPECT_EQ(heldLinkRef(*link), ref);
  EXPECT_TRUE(link->isConnected());
  EXPECT_TRUE(EchoesThrough(*link, 6, 2));

  EXPECT_EQ(link->disconnect(), aErrNone);
  ASSERT_TRUE(p.line->WaitClientGone(kBound));
  p.Renew();
  ASSERT_EQ(link->connect(), aErrNone);
  EXPECT_TRUE(EchoesThrough(*link, 6, 3));
  link.reset();
  // The line's own thread ends with the port; a new line stands where the baseline had one.
  ASSERT_TRUE(p.line->WaitClientGone(kBound));
  p.Renew();
  baseline.ExpectBack();
}

TEST(LinkConnection, DiscoveryWithoutDevicesFindsNothing) {
  TcpSimDevice d;
  std::unique_ptr<Link> link = DirectLink(d.Spec());
  for (uint32_t serial : {0x00001234u, 0u}) {
    EXPECT_EQ(link->discoverAndConnect(USB, serial, 0), aErrNotFound) << serial;
    EXPECT_EQ(link->discoverAndConnect(SERIAL, serial, 0), aErrNotFound) << serial;
    linkSpec stored;
    ASSERT_EQ(link->getLinkSpecifier(&stored), aErrNone);
    EXPECT_EQ(Bytes(stored), Bytes(d.Spec())) << "unchanged";
    EXPECT_EQ(heldLinkRef(*link), 0u);
  }
}

TEST(LinkConnection, FallbackOnlyForAnUnreachableDeviceOverUsbTcpOrAServer) {
  struct Row {
    aErr err;
    int type;
    bool fallback;
    bool retried;
  };
  const Row rows[] = {
      {aErrNotFound, USB, true, true},          {aErrInitialization, TCPIP, true, true},
      {aErrConnection, AORVEX, true, true},     {aErrConnection, AORVEX_SERIAL, true, true},
      {aErrNotFound, SERIAL, true, false},      {aErrConnection, 0, true, false},
      {aErrNotFound, 8, true, false},           {aErrConfiguration, AORVEX, true, false},
      {aErrTimeout, USB, true, false},          {aErrMode, TCPIP, true, false},
      {aErrNotFound, USB, false, false},        {aErrNone, USB, true, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(_fallbackHelper(row.err, static_cast<linkType>(row.type), row.fallback), row.retried)
        << "error " << row.err << " type " << row.type << " fallback " << row.fallback;
  }
}
