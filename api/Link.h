#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "aError.h"
#include "aLink.h"
#include "aLinkSpec.h"
#include "aOrvexConfig.h"
#include "packetfifo.h"
#include "uei.h"

namespace Tavrin::Corvantis {

// Held around every link creation of every Link in the process.
extern std::mutex linkCreateHelperSerializer;

// Discovery callback for a search by model: `ref` is the template record; a device whose model
// equals the template's (or any device, for model 0) is copied over it and ends the search.
bool cbModelCallback(const linkSpec* spec, bool* found, void* ref);

// A connection to one device: at most one link-engine link (shared with every other holder of
// the same device), the linkSpec record that says how to reach the device, and the network
// configuration. One thread at a time uses a Link; every member blocks until it is done.
// Results are aErr codes; "not connected" means isConnected() is false.
class Link {
 public:
  // A null name is kept as "", a longer one cut to 1024 characters.
  explicit Link(const char* name);
  Link(linkSpec spec, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  const char* getName();
  aErr getLinkSpecifier(linkSpec* out);
  // aErrBusy while connected.
  aErr setLinkSpecifier(linkSpec spec);
  aErr getConfig(aOrvexConfig* out);
  // aErrMode while connected.
  aErr setConfig(aOrvexConfig config);

  // Discovery of the device of that type by serial number (0: by model, 0 any), then connect.
  aErr discoverAndConnect(linkType type, uint32_t serial, uint8_t model = 0);
  // Creates the link from the stored linkSpec and waits up to about 2 s for it to run.
  // A link that does not come up stays held until disconnect.
  aErr connect();
  // Joins the link `other` holds, as one more user (the stored linkSpec names it).
  aErr connectThroughLinkModule(Link& other);
  bool isConnected();
  // The link status; 8 without a link.
  int getStatus();
  // Releases this Link's use of the link; always aErrNone.
  aErr disconnect();
  // Rebuilds the held link's transport: aLink_Reset's result; aErrNone without a link.
  aErr reset();

  // The entity protocol. sendUEI sends the request the record describes (type 5: a byte
  // sequence in packets of up to 24 data bytes, one acknowledgement awaited by the caller).
  aErr sendUEI(uei request);
  // With a subindex byte after the index; types 0, 1, 2 and 4.
  aErr sendUEI(uei request, uint8_t subindex);
  // Waits (1000 ms; 4000 ms for a byte sequence above 1000 bytes) for the reply the record
  // describes (module, command, option, index as the reply carries them) and decodes it into
  // the record. After aErrNone, bit 7 of `index` marks an error reply whose code is `byteVal`.
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply);
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply,
                  aPacketMatchProc filter);
  // Removes every queued reply that matches.
  aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

  // The raw packet [command, length data bytes] (length at most 27).
  aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
  // Waits 1000 ms for a packet from any sender whose payload begins with the *length (at most
  // 28) bytes of match; *length then holds its payload length and out (28 bytes) its payload.
  aErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* out);
  // Asks the device for its module address (aErrNotReady, 0, when none answers in 1000 ms).
  aErr getModuleAddress(uint8_t* address);
  aErr enablePooledPackets(bool on);

  // Store slots and factory data of the device at `module`.
  aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);
  aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
  aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length);
  // aErrOverrun when the slot holds more than `capacity` (the first `capacity` bytes are read).
  aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
                       size_t* count);
  // Kinds 0 to 15. The data must stay below `capacity` (a buffer of exactly its size: aErrOverrun).
  aErr getFactoryData(uint8_t module, uint8_t kind, uint8_t* buffer, size_t capacity, size_t* count);
  aErr setFactoryData(uint8_t module, uint8_t kind, const uint8_t* data, size_t length);

  // Logs the held link's packets to a text file (appended) on a logger thread of its own.
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

 private:
  struct impl;
  // The held link-engine link, for the library's own checks (LinkImpl.h).
  friend aLinkRef heldLinkRef(const Link& link);
  impl* impl_;
};

}  // namespace Tavrin::Corvantis
