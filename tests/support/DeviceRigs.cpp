#include "DeviceRigs.h"

#include <gtest/gtest.h>

#include <cstring>

#include "PacketHelpers.h"
#include "SimSystemEntity.h"

Tavrin::Corvantis::aOrvexConfig DirectConfig() {
  Tavrin::Corvantis::aOrvexConfig config;
  config.enabled = false;
  config.fallback = false;
  return config;
}

void SetSystemEntity(SimLinkDevice& device, uint32_t serial, uint8_t model) {
  SimSystemValues values;
  values.serial = serial;
  values.model = model;
  LoadSystemEntity(device.Network(), device.address(), values);
}

std::optional<uint32_t> GetUEI32(Tavrin::Corvantis::Link& link, uint8_t module, uint8_t option) {
  using namespace Tavrin::Corvantis;
  uei request{};
  request.module = module;
  request.command = 3;
  request.option = static_cast<uint8_t>(0x40 | option);
  request.index = 0x20;
  if (link.sendUEI(request) != aErrNone) return std::nullopt;
  uei reply{};
  reply.module = module;
  reply.command = 3;
  reply.option = option;
  reply.type = -1;
  if (link.receiveUEI(module, 3, option, 0, &reply) != aErrNone || reply.type != ueiTypeInt) return std::nullopt;
  return reply.value.intVal;
}

std::optional<uint32_t> GetUEI32(aLinkRef link, uint8_t module, uint8_t option, uint64_t waitMs) {
  const uint8_t get[] = {3, static_cast<uint8_t>(0x40 | option), 0x20};
  PacketPtr request(aPacket_CreateWithData(module, sizeof get, get));
  if (aLink_PutPacket(link, request.get()) != aErrNone) return std::nullopt;
  PacketPtr reply(aLink_AwaitPacket(link, waitMs));
  if (reply == nullptr || reply->length != 7 || reply->payload[0] != 3) return std::nullopt;
  return BigEndian32(reply->payload + 3);
}

linkSpec TcpSimDevice::Spec() const {
  linkSpec spec{};
  spec.type = TCPIP;
  spec.serialNumber = serial;
  spec.moduleAddress = device.address();
  spec.routerAddress = device.address();
  spec.ipv4Address = TcpDeviceListener::address();
  spec.tcpPort = listener.port();
  return spec;
}

linkSpec PtySimDevice::Spec(uint32_t baudRate) const {
  linkSpec spec{};
  spec.type = SERIAL;
  spec.serialNumber = serial;
  spec.baudRate = baudRate;
  strncpy(spec.portName, pty.slaveName().c_str(), sizeof spec.portName - 1);
  return spec;
}

void PtySimDevice::Renew() {
  line.reset();
  line = std::make_unique<SimLinkPty>(pty, device);
}

std::vector<std::vector<uint8_t>> ReceivedSince(const SimLinkDevice& device, size_t from) {
  std::vector<std::vector<uint8_t>> wires;
  std::vector<SimLinkDevice::Received> packets = device.Packets();
  for (size_t i = from; i < packets.size(); ++i) wires.push_back(packets[i].wire);
  return wires;
}

std::vector<std::vector<uint8_t>> ReceivedSince(const SimLinkDevice& device, size_t from, size_t count, uint64_t ms) {
  EXPECT_TRUE(device.WaitForPackets(from + count, ms));
  return ReceivedSince(device, from);
}

size_t RouteSwitches(const SimLinkDevice& device, bool on) {
  const std::vector<uint8_t> wanted{0xAF, 0x01, static_cast<uint8_t>(on ? 1 : 0)};
  size_t count = 0;
  for (const std::vector<uint8_t>& route : device.RoutePackets()) count += route == wanted ? 1 : 0;
  return count;
}

bool EchoesThrough(Tavrin::Corvantis::Link& link, uint8_t address, uint8_t tag) {
  if (link.sendPacket(address, 0x17, 1, &tag) != aErrNone) return false;
  const uint8_t match[] = {0x17, tag};
  uint8_t length = sizeof match;
  uint8_t reply[aPACKET_MAX_DATA];
  return link.receivePacket(address, match, &length, reply) == aErrNone && length == 2;
}

bool DeviceOutputQueuedOn(Tavrin::Corvantis::Link& link, SimLinkDevice& device, uint8_t address, uint64_t ms) {
  // The device sends in order and the link queues in order: the echo's reply comes after.
  return device.WaitForOutputIdle(ms) && EchoesThrough(link, address, 0x5A);
}

void ExpectQueriesAndReconnect(Tavrin::Corvantis::Module& module, SimLinkDevice& device,
                               const std::function<void()>& beforeReconnect) {
  uint32_t build = 0;
  EXPECT_EQ(module.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 12345u);
  std::vector<uint8_t> data(27);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xC0 + i);
  EXPECT_EQ(module.debug(data.data(), 27), aErrNone);
  device.Network().AddFault({0x17}, SimFault::WrongSum());
  EXPECT_EQ(module.debug(data.data(), 27), aErrIO);

  EXPECT_EQ(module.disconnect(), aErrNone);
  EXPECT_FALSE(module.isConnected());
  beforeReconnect();
  EXPECT_EQ(module.reconnect(), aErrNone);
  EXPECT_TRUE(module.isConnected());
  build = 0;
  EXPECT_EQ(module.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 12345u);
  EXPECT_EQ(module.debug(data.data(), 27), aErrNone);
}
