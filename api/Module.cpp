#include "Module.h"

#include <cstdio>

#include "ApiTrace.h"
#include "LinkChecks.h"
#include "unix_time.h"

namespace Tavrin::Corvantis {

namespace {

constexpr int kAddressAttempts = 4;
constexpr uint64_t kAddressRetryPauseMs = 5;
constexpr uint8_t kQueryCommand = 0x49;
constexpr uint8_t kEchoCommand = 0x17;
constexpr uint8_t kBuild = 0xFF;
constexpr uint8_t kHasUEI = 0x01;
constexpr uint8_t kClassQuantity = 0x04;
constexpr uint8_t kSubClassQuantity = 0x05;
constexpr uint8_t kEntityGroup = 0x06;
constexpr uint8_t kRawMaxData = aPACKET_MAX_DATA - 1;

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : link(new Link("Link")), moduleAddress(address), networkingMode(networkingMode), model(model) {}

Module::~Module() { delete link; }

aErr Module::_autoNetwork() {
  if (!networkingMode || link == nullptr) return aErrNone;
  uint8_t address = 0;
  aErr err = aErrNotReady;
  for (int attempt = 0; attempt < kAddressAttempts; ++attempt) {
    err = link->getModuleAddress(&address);
    if (err == aErrNone) break;
    aTime_MSSleep(kAddressRetryPauseMs);
    if (err != aErrNotReady) break;
  }
  if (address != 0 && address != moduleAddress) moduleAddress = address;
  if (err == aErrNotReady && sTraceOn(kTraceModule)) printf("BOO! Failed to autoNetwork");
  return err;
}

aErr Module::connect(linkType type, uint32_t serial) {
  if (serial == 0) return aErrParam;
  return discoverAndConnect(type, serial);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serial) {
  if (link == nullptr) return aErrInitialization;
  aErr err = link->discoverAndConnect(type, serial, model);
  return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::connectFromSpec(linkSpec spec) {
  if (link == nullptr) return aErrInitialization;
  if (link->isConnected()) return aErrBusy;
  link->setLinkSpecifier(spec);
  aErr err = link->connect();
  if (err != aErrNone) return err;
  err = _autoNetwork();
  if (sTraceOn(kTraceModule)) printf("Post autoNetwork err: %d\n", err);
  return err;
}

aErr Module::reconnect() {
  if (link == nullptr) return aErrInitialization;
  aErr err = link->connect();
  return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::connectThroughLinkModule(Module* other) {
  if (link == nullptr || other == nullptr) return aErrInitialization;
  if (link->isConnected()) return aErrNone;
  if (other->link == nullptr) return aErrInitialization;
  linkSpec spec;
  aErr err = other->link->getLinkSpecifier(&spec);
  if (err != aErrNone) return err;
  aOrvexConfig config;
  err = other->link->getConfig(&config);
  if (err == aErrNone) err = link->setConfig(config);
  if (err != aErrNone) return err;
  if (config.enabled) {
    // The routing Module reaches its device through its link server: join as its client.
    spec.type = AORVEX;
    spec.ipv4Address = config.networkInterface;
    spec.tcpPort = config.port;
  }
  err = link->setLinkSpecifier(spec);
  if (err == aErrNone) err = link->connectThroughLinkModule(*other->link);
  if (err != aErrNone) return err;
  networkingMode = false;
  return aErrNone;
}

aErr Module::disconnect() {
  if (link == nullptr) return aErrInitialization;
  return link->disconnect();
}

bool Module::isConnected() { return link != nullptr && link->isConnected(); }

int Module::getStatus() { return link == nullptr ? kLinkStatusPacketError : link->getStatus(); }

aErr Module::getLinkSpecifier(linkSpec* out) {
  if (link == nullptr) return aErrNotReady;
  return link->getLinkSpecifier(out);
}

aErr Module::getConfig(aOrvexConfig* out) {
  if (link == nullptr) return aErrNotReady;
  if (out == nullptr) return aErrParam;
  return link->getConfig(out);
}

aErr Module::setConfig(aOrvexConfig config) {
  if (link == nullptr) return aErrNotReady;
  return link->setConfig(config);
}

aErr Module::enablePacketLog(const char* path) {
  if (link == nullptr) return aErrConfiguration;
  return link->enablePacketLog(path);
}

aErr Module::disablePacketLog() {
  if (link == nullptr) return aErrConfiguration;
  return link->disablePacketLog();
}

aErr Module::getBuild(uint32_t* build) {
  if (build == nullptr) return aErrParam;
  if (link == nullptr) return aErrInitialization;
  if (!link->isConnected()) return aErrConnection;
  const uint8_t request[] = {kBuild};
  aErr err = link->sendPacket(moduleAddress, kQueryCommand, sizeof request, request);
  if (err != aErrNone) return err;
  const uint8_t match[] = {kQueryCommand, kBuild};
  uint8_t length = sizeof match;
  uint8_t reply[aPACKET_MAX_DATA];
  err = link->receivePacket(moduleAddress, match, &length, reply);
  if (err != aErrNone) return err;
  return sBuildReply(reply, length, build);
}

aErr Module::_query(const uint8_t* request, uint8_t length, uint8_t repeated, uint8_t* value) {
  if (link == nullptr || !link->isConnected()) return aErrConnection;
  aErr err = link->sendPacket(moduleAddress, request[0], static_cast<uint8_t>(length - 1), request + 1);
  if (err != aErrNone) return err;
  uint8_t matchLength = 1;
  uint8_t reply[aPACKET_MAX_DATA];
  err = link->receivePacket(moduleAddress, request, &matchLength, reply);
  if (err != aErrNone) return err;
  return sQueryReply(request, repeated, reply, matchLength, value);
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
  // 0, 0x40 (get) or 0x80 (set) only.
  if ((flags & 0x3F) != 0 || (flags & 0xC0) == 0xC0) return aErrParam;
  const uint8_t request[] = {kQueryCommand, kHasUEI, command, option, index, flags};
  uint8_t result = 0;
  // The reply carries the result in place of the flags.
  aErr err = _query(request, sizeof request, sizeof request - 1, &result);
  return err != aErrNone ? err : static_cast<aErr>(result);
}

aErr Module::classQuantity(uint8_t entityClass, uint8_t* count) {
  if (count == nullptr) return aErrParam;
  *count = 0;
  const uint8_t request[] = {kQueryCommand, kClassQuantity, entityClass};
  return _query(request, sizeof request, sizeof request, count);
}

aErr Module::subClassQuantity(uint8_t entityClass, uint8_t subClass, uint8_t* count) {
  if (count == nullptr) return aErrParam;
  *count = 0;
  const uint8_t request[] = {kQueryCommand, kSubClassQuantity, entityClass, subClass};
  return _query(request, sizeof request, sizeof request, count);
}

aErr Module::entityGroup(uint8_t entityClass, uint8_t subClass, uint8_t* group) {
  if (group == nullptr) return aErrParam;
  *group = 0;
  const uint8_t request[] = {kQueryCommand, kEntityGroup, entityClass, subClass};
  return _query(request, sizeof request, sizeof request, group);
}

aErr Module::debug(const uint8_t* data, uint8_t length) {
  if (link == nullptr || !link->isConnected()) return aErrConnection;
  if (length > kRawMaxData || (data == nullptr && length > 0)) return aErrParam;
  aErr err = link->sendPacket(moduleAddress, kEchoCommand, length, data);
  if (err != aErrNone) return err;
  const uint8_t match[] = {kEchoCommand};
  uint8_t replyLength = sizeof match;
  uint8_t reply[aPACKET_MAX_DATA];
  err = link->receivePacket(moduleAddress, match, &replyLength, reply);
  if (err != aErrNone) return err;
  return sEchoReply(data, length, reply, replyLength);
}

}  // namespace Tavrin::Corvantis
