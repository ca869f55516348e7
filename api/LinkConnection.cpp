// Link: construction, linkSpec and configuration, and the road from a serial number or a
// stored linkSpec to a running link-engine link.
#include <cstdio>
#include <cstring>
#include <memory>

#include "ApiTrace.h"
#include "LinkChecks.h"
#include "LinkImpl.h"
#include "aDiscovery.h"
#include "aLinkThroughServer.h"
#include "aLinkSerial.h"
#include "unix_time.h"

namespace Tavrin::Corvantis {

std::mutex linkCreateHelperSerializer;

namespace {

constexpr size_t kMaxName = 1024;
constexpr uint16_t kConnectTries = 200;  // about 2 s
constexpr uint64_t kWaitPauseMs = 10;

struct SpecDestroyer {
  void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
using SpecPtr = std::unique_ptr<linkSpec, SpecDestroyer>;

}  // namespace

bool cbModelCallback(const linkSpec* spec, bool* found, void* ref) {
  linkSpec* wanted = static_cast<linkSpec*>(ref);
  if (wanted->model != 0 && wanted->model != spec->model) return true;
  memcpy(wanted, spec, sizeof(linkSpec));
  *found = true;
  return false;
}

aLinkRef heldLinkRef(const Link& link) { return link.impl_ != nullptr ? link.impl_->linkRef : 0; }

Link::impl::impl(Link& owner, const char* name) : owner(owner) {
  if (name != nullptr) this->name.assign(name, strnlen(name, kMaxName));
}

Link::impl::~impl() {
  // No callback runs and no filter points here once the private part goes, link or not.
  closeStreams();
  // The logger reads the link by its ref: it stops before the link is released.
  stopPacketLogger();
  if (linkRef != 0) aLink_Destroy(&linkRef);
  if (specifier != nullptr) aLinkSpec_Destroy(&specifier);
  aLogger_Destroy(&packetLogger);
}

Link::Link(const char* name) : impl_(new impl(*this, name)) {}

Link::Link(linkSpec spec, const char* name) : Link(name) { setLinkSpecifier(spec); }

Link::~Link() { delete impl_; }

const char* Link::getName() { return impl_->getName(); }

aErr Link::impl::setSpecifier(linkSpec spec) {
  linkSpec* copy = aLinkSpec_Copy(&spec);
  if (copy == nullptr) return aErrMemory;
  if (specifier != nullptr) aLinkSpec_Destroy(&specifier);
  specifier = copy;
  return aErrNone;
}

aErr Link::impl::getSpecifier(linkSpec* out) {
  if (out == nullptr) return aErrParam;
  if (specifier == nullptr) return aErrNotFound;
  memcpy(out, specifier, sizeof(linkSpec));
  return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* out) { return impl_->getSpecifier(out); }

aErr Link::setLinkSpecifier(linkSpec spec) {
  if (isConnected()) return aErrBusy;
  return impl_->setSpecifier(spec);
}

aErr Link::getConfig(aOrvexConfig* out) {
  if (out == nullptr) return aErrParam;
  *out = impl_->config;
  return aErrNone;
}

aErr Link::setConfig(aOrvexConfig config) {
  if (isConnected()) return aErrMode;
  impl_->config = config;
  return aErrNone;
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serial, uint8_t model, Link* link) {
  SpecPtr found;
  if (serial != 0) {
    found.reset(aDiscovery_FindModule(type, serial, config.networkInterface));
  } else {
    SpecPtr wanted(aLinkSpec_Create(type));
    if (wanted != nullptr) {
      wanted->serialNumber = 0;
      wanted->moduleAddress = 0;
      wanted->routerAddress = 0;
      wanted->model = model;
      if (aDiscovery_EnumerateModules(type, cbModelCallback, wanted.get(), config.networkInterface) > 0)
        found = std::move(wanted);
    }
  }
  if (found == nullptr) return aErrNotFound;
  // A Link that holds a link keeps the linkSpec it was made from: connect refuses, and a later
  // reconnect goes where the held link went. The fallback retry comes through here as well.
  if (linkRef == 0) setSpecifier(*found);
  return link->connect();
}

bool _fallbackHelper(aErr err, linkType type, bool fallback) {
  bool unreachable = err == aErrNotFound || err == aErrInitialization || err == aErrConnection;
  bool retried = type == USB || type == TCPIP || isAORVEX(type);
  return unreachable && retried && fallback;
}

aErr Link::discoverAndConnect(linkType type, uint32_t serial, uint8_t model) {
  aErr err = impl_->discoveryAndConnectHelper(type, serial, model, this);
  if (!_fallbackHelper(err, type, impl_->config.fallback)) return err;
  // A device taken by another program is reached through its server, and a server that is not
  // there through the device itself; once only.
  linkType other = isAORVEX(type) ? USB : AORVEX;
  if (sTraceOn(kTraceLink))
    printf("Executing Fallback - old type: %d - new type: %d\n", static_cast<int>(type), static_cast<int>(other));
  return impl_->discoveryAndConnectHelper(other, serial, model, this);
}

aErr Link::impl::linkCreateHelper(linkSpec& spec) {
  std::lock_guard<std::mutex> serialised(linkCreateHelperSerializer);
  linkType type = static_cast<linkType>(spec.type);
  if (isAORVEX(type)) {
    if (!config.enabled) return aErrConfiguration;
    // A Link that names a client link already (connectThroughLinkModule) shares it.
    linkRef = aLink_CreateClient(spec.ipv4Address, static_cast<uint16_t>(spec.tcpPort), linkRef);
    return aErrNone;
  }
  switch (type) {
    case USB:
      linkRef = aLink_CreateUSB(spec.serialNumber);
      break;
    case TCPIP:
      linkRef = aLink_CreateTCPIP(spec.serialNumber, spec.ipv4Address, static_cast<uint16_t>(spec.tcpPort));
      break;
    case SERIAL:
      // The port name is a C string inside the record; one without its terminator is refused.
      if (memchr(spec.portName, '\0', sizeof spec.portName) == nullptr) return aErrParam;
      linkRef = aLink_CreateSerial(spec.serialNumber, spec.portName, spec.baudRate);
      break;
    default:
      return aErrMode;
  }
  if (config.enabled) {
    // The client link takes over this Link's use of the device link. A creation that fails
    // leaves that use with us (and no server of its own attached): ours to release.
    aLinkRef device = linkRef;
    linkRef = aLink_CreateServer(device, &config.port, &config.networkInterface, config.localOnly);
    if (linkRef == 0) {
      if (device != 0) aLink_Destroy(&device);
      if (sTraceOn(kTraceLink)) printf("Failed to create server");
    }
  }
  return aErrNone;
}

aErr Link::impl::createFromSpecifier() {
  if (specifier == nullptr) return aErrConfiguration;
  linkSpec spec = *specifier;
  aErr err = linkCreateHelper(spec);
  if (err != aErrNone) return err;
  return linkRef != 0 ? aErrNone : aErrConnection;
}

aErr Link::impl::connectHelper() {
  aErr err = createFromSpecifier();
  if (err != aErrNone) return err;
  return waitForLink(kConnectTries);
}

aErr Link::impl::waitForLink(uint16_t tries) {
  aLinkRef ref = linkRef;
  return sWaitForRunning([ref] { return aLink_GetStatus(ref); }, [] { aTime_MSSleep(kWaitPauseMs); }, tries);
}

aErr Link::connect() {
  if (impl_->linkRef != 0) return aErrConnection;
  return impl_->connectHelper();
}

aErr Link::connectThroughLinkModule(Link& other) {
  if (other.impl_ == nullptr || other.impl_->linkRef == 0) return aErrInitialization;
  // One link per Link, as connect: taking other's ref now would drop the use held.
  if (impl_->linkRef != 0) return aErrConnection;
  impl_->linkRef = other.impl_->linkRef;
  aErr err = impl_->createFromSpecifier();
  if (err != aErrNone) {
    // No use was counted for this Link: the ref stays other's alone.
    impl_->linkRef = 0;
    return err;
  }
  return impl_->waitForLink(kConnectTries);
}

bool Link::isConnected() {
  return impl_ != nullptr && impl_->linkRef != 0 && aLink_GetStatus(impl_->linkRef) == kLinkStatusRunning;
}

int Link::getStatus() {
  if (impl_->linkRef == 0) return kLinkStatusPacketError;
  return aLink_GetStatus(impl_->linkRef);
}

aErr Link::disconnect() {
  if (impl_->linkRef != 0) {
    // Others may go on holding the link: this Link's filter must not stay on it.
    impl_->removeOwnFilter();
    impl_->stopPacketLogger();
    aLink_Destroy(&impl_->linkRef);
  }
  return aErrNone;
}

aErr Link::reset() {
  if (impl_->linkRef == 0) return aErrNone;
  return aLink_Reset(impl_->linkRef);
}

}  // namespace Tavrin::Corvantis
