#pragma once
#include <cstddef>
#include <cstdint>

#include "Link.h"
#include "Module.h"
#include "aError.h"
#include "aPacket.h"
#include "uei.h"

namespace Tavrin::Corvantis {

// One entity of a device (module address, entity command, index) and the get, set and call
// of its options (0 to 63) over the Link of the bound Module, which must outlive its use.
// Results are aErr codes: aErrResource with nothing sent when no Module (or no Link) is bound,
// aErrParam with nothing sent for an option above 63 or an index above 31, the Link's errors
// as they are, and the device's own code for an error reply. Every get asks the Link's stream
// cache first. Before each request, replies to an earlier identical request that came after
// its wait gave up are dropped, so entity requests run on one thread per link.
class EntityClass {
 public:
  using StreamCallback = Link::StreamCallback;

  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  // Binds (or rebinds) the entity; the Module is not owned.
  void init(Module* module, uint8_t command, uint8_t index);
  uint8_t getIndex() const;

  // Raw packets [command, data] to the module (length at most 27), and the first reply whose
  // payload begins with the *length bytes of match (from any sender, 1000 ms; out holds 28).
  aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* out);

  // The record's value and type after the reply (type 0 when it carried none; a cached value
  // is 32 bits). A record of type 1 asks for the subindex in its byteVal.
  aErr getUEI(uint8_t option, uei* record);
  // Sends the record's value (types 0, 1, 2, 4, or 5: a byte sequence) and takes the
  // acknowledgement.
  aErr setUEI(uint8_t option, uei* record);
  aErr setUEI(uint8_t option, uint8_t subindex, uei* record);
  aErr callUEI(uint8_t option);
  aErr setUEI8(uint8_t option, uint8_t value);
  aErr setUEI16(uint8_t option, uint16_t value);
  aErr setUEI32(uint8_t option, uint32_t value);
  aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
  aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
  // The value is written on aErrNone and on aErrStreamStale: the reply's value zero-extended
  // or cut to the width asked for; aErrSize when the reply carried none.
  aErr getUEI8(uint8_t option, uint8_t* out);
  aErr getUEI16(uint8_t option, uint16_t* out);
  aErr getUEI32(uint8_t option, uint32_t* out);
  aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* out);
  aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* out);
  aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* out);
  // A byte sequence of any length into buffer; aErrMemory when it does not fit (the bytes of
  // the packets that fitted stay, counted in *count).
  aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
  // Turns a byte count into a count of `unit`-byte values: aErrMemory, count unchanged, when
  // it is not a whole number of them (unit 0 takes only 0).
  aErr getUEIBytesCheck(size_t* count, size_t unit);
  // Waits 1000 ms for a reply [command, option byte (low byte of `option`, flag bits as the
  // reply carries them), index, 32-bit value]. The third argument has no effect.
  aErr awaitUEI32Val(uint32_t option, uint32_t* out, uint32_t unused);
  // Drops every queued reply of [command, option, index] from the module.
  aErr drainUEI(uint8_t option);

  // The byte-sequence receive: `state` is the uei record of the transfer (sequence expected,
  // capacity in `length`, write position in `data`, running total in *count).
  static uint8_t sUEIBytesFilter(const aPacket* packet, const void* state);
  static uint8_t getUEIBytesSequence(const aPacket* packet);
  static bool getUEIBytesContinue(const aPacket* packet);

  // Streams of the entity, in the Link's stream table (option 255: any option).
  aErr setStreamEnabled(bool enable);
  aErr registerOptionCallback(uint8_t option, bool enable, StreamCallback callback, void* ref);
  aErr getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count);

  // The device's entity store (command 92) for this entity's settings.
  aErr saveEntityToStore();
  aErr resetEntityToFactoryDefaults();
  aErr loadEntityFromStore();

 private:
  struct impl;
  impl* impl_;
};

}  // namespace Tavrin::Corvantis
