#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

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
  // No reply: aErrTimeout while the link runs, aErrConnection once it has stopped (as for every
  // wait of the object API but getModuleAddress's).
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply);
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply,
                  aPacketMatchProc filter);
  // Removes every queued reply that matches.
  aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
  // Removes every queued packet, from any sender, whose payload begins with the `length` bytes
  // of match: replies that came after their wait gave up would answer the next request alike.
  aErr dropMatchingPackets(const uint8_t* match, uint8_t length);

  // The raw packet [command, length data bytes] (length at most 27).
  aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
  // Waits 1000 ms for a packet from any sender whose payload begins with the *length (at most
  // 28) bytes of match; *length then holds its payload length and out (28 bytes) its payload.
  aErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* out);
  // Asks the device for its module address: aErrNotReady with the address 0 when none answers in
  // 1000 ms, whether or not the link still runs, since the Module's connect retries on exactly
  // that code and stops at any other.
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

  // Value streams. A stream key names one streamed value: subindex in bits 32 to 39, module
  // 24 to 31, command 16 to 23, option 8 to 15, index 0 to 7. 0xFF in any byte but the
  // module's stands for any value.
  enum STREAM_KEY : uint8_t {
    STREAM_KEY_MODULE = 0,
    STREAM_KEY_COMMAND = 1,
    STREAM_KEY_OPTION = 2,
    STREAM_KEY_INDEX = 3,
    STREAM_KEY_SUBINDEX = 4,
  };
  // Kinds of stream packets.
  enum STREAM_PACKET : uint8_t {
    STREAM_PACKET_INVALID = 0,
    STREAM_PACKET_U8 = 1,
    STREAM_PACKET_U16 = 2,
    STREAM_PACKET_U32 = 3,
    STREAM_PACKET_BYTES = 4,  // a byte sequence (trailer not 0), not decoded
    STREAM_PACKET_U8_SUBINDEX = 5,
    STREAM_PACKET_U16_SUBINDEX = 6,
    STREAM_PACKET_U32_SUBINDEX = 7,
  };
  struct StreamStatusEntry {
    uint64_t key;
    uint32_t value;
  };
  // Called on the Link's callback worker with the sample and the registration's user pointer;
  // the result is not used. A callback must not destroy its own Link.
  using StreamCallback = std::function<uint8_t(const aPacket* packet, void* ref)>;

  // Enable: registers (or replaces) the callback and user pointer for (module, command, option,
  // index, any subindex) and asks the device to stream it. Disable: removes every entry of
  // (module, command, option, index) and asks the device to stop. aErrParam for an odd module;
  // a failed request undoes only this call's change. Callbacks queued before a removal may
  // still run after it returns.
  aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                              StreamCallback callback, void* ref);
  // The same without a callback: values are cached only.
  aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
  // Whether the device streams (its error reply's code, or the value at *on).
  aErr isLinkStreaming(uint8_t module, uint8_t* on);
  // The cached value of that exact key: aErrNone once after each new sample, then
  // aErrStreamStale (the value is written both times); aErrNotFound when none is cached.
  aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                      uint32_t* value);
  // The keys in the table that match the five bytes (0xFF: any), in ascending order.
  std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                               uint8_t subindex, bool lock);
  // The cached values (not the registrations) that match, at most `capacity` of them
  // (aErrSize when more match).
  aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                       StreamStatusEntry* entries, size_t capacity, size_t* count);

  static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex);
  // One byte of a key; 0 for an element above 4.
  static uint8_t getStreamKeyElement(uint64_t key, uint8_t element);
  // Mask i (0 to 14) sets the key bytes that the bits of i + 1 select to 0xFF: bit 0 the
  // index, bit 1 the option, bit 2 the command, bit 3 the subindex. 0 for any other i.
  static uint64_t _getGenericStreamKeyMask(uint8_t i);
  // Either output may be NULL.
  static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);
  static bool isStreamPacket(const aPacket* packet);
  // False (kind 0) for a packet that is not a stream packet of a known kind.
  static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* kind);
  static bool isSubindexType(STREAM_PACKET kind);
  // A known kind with trailer 0 and its kind's length (kind 4 never).
  static bool isStreamSample(const aPacket* packet);
  // aErrPacket for anything but a sample (aErrSize for kind 4); any output may be NULL.
  static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
  // The inbound filter of the held link, on its reader thread; `impl` is the Link's private part.
  static uint8_t linkStreamFilter(const aPacket* packet, void* impl);

 private:
  struct impl;
  // The held link-engine link, for the library's own checks (LinkImpl.h).
  friend aLinkRef heldLinkRef(const Link& link);
  impl* impl_;
};

}  // namespace Tavrin::Corvantis
