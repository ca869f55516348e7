#pragma once
#include <cstdint>

#include "Link.h"

namespace Tavrin::Corvantis {

// One device (a module on a device network, known by its module address) over the Link it
// owns. Every request of the Module and of its entities goes to moduleAddress; with networking
// mode on, every successful connection first asks the device for that address. Members block
// until done; results are aErr codes.
class Module {
 public:
  // Networking mode on.
  Module(uint8_t address, uint8_t model);
  Module(uint8_t address, bool networkingMode, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  Link* getLink() const { return link; }
  uint8_t getModuleAddress() const { return moduleAddress; }
  void setModuleAddress(uint8_t address) { moduleAddress = address; }
  void setNetworkingMode(bool on) { networkingMode = on; }

  // Serial number 0: aErrParam, no discovery.
  aErr connect(linkType type, uint32_t serial);
  // Serial number 0: the first device of the Module's model (0: any).
  aErr discoverAndConnect(linkType type, uint32_t serial);
  aErr connectFromSpec(linkSpec spec);
  aErr reconnect();
  // Joins the link the routing Module `other` holds; this Module's address names the device
  // on it, and networking mode goes off.
  aErr connectThroughLinkModule(Module* other);
  aErr disconnect();
  bool isConnected();
  int getStatus();
  aErr getLinkSpecifier(linkSpec* out);
  aErr getConfig(aOrvexConfig* out);
  aErr setConfig(aOrvexConfig config);
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  // Device queries; each needs a connected Link.
  aErr getBuild(uint32_t* build);
  // flags 0, 0x40 (get) or 0x80 (set); the device's answer: 0 when it implements the UEI.
  aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
  aErr classQuantity(uint8_t entityClass, uint8_t* count);
  aErr subClassQuantity(uint8_t entityClass, uint8_t subClass, uint8_t* count);
  aErr entityGroup(uint8_t entityClass, uint8_t subClass, uint8_t* group);
  // Echo check of up to 27 bytes.
  aErr debug(const uint8_t* data, uint8_t length);

 private:
  aErr _autoNetwork();
  // One query: the request and the value byte its reply carries after the request's first
  // `repeated` bytes.
  aErr _query(const uint8_t* request, uint8_t length, uint8_t repeated, uint8_t* value);

  Link* link;
  uint8_t moduleAddress;
  bool networkingMode;
  uint8_t model;
};

}  // namespace Tavrin::Corvantis
