// The checks of Link and Module on packets that come back from a device, fed arbitrary
// packets. Input: address, length (taken modulo 29), that many payload bytes, then the
// parameters of the checks (missing bytes read as 0): the record's module, command, option and
// index, a match length, the slot request's operation, store, slot and handle, the factory
// request's code, bytes read so far, capacity and the write sum.
//
// Nothing may be read outside the payload: every packet check runs twice, once with the bytes
// past the payload zero and once all ones, and must decide the same. The Module checks get the
// payload in a buffer of its exact size.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzPacket.h"
#include "LinkChecks.h"

using namespace Tavrin::Corvantis;

namespace {

struct Params {
  uint8_t module, command, option, index, matchLength, operation, store, slot, handle, factoryCode, have, capacity,
      sum;
};

// The result of every packet check on one packet, with what each wrote.
struct Outcome {
  uint8_t ueiMatch;
  uei record;
  uint8_t commandMatch, magic, slotMatch, factoryMatch;
  aErr value;
  size_t slotValue;
  uint8_t handle;
  aErr write, read, close, factoryRead, factoryWrite, factoryEnd;
  size_t readOffset, readSize, factoryOffset, factorySize;

  bool operator==(const Outcome& other) const {
    return ueiMatch == other.ueiMatch && memcmp(&record, &other.record, sizeof record) == 0 &&
           commandMatch == other.commandMatch && magic == other.magic && slotMatch == other.slotMatch &&
           factoryMatch == other.factoryMatch && value == other.value && slotValue == other.slotValue &&
           handle == other.handle && write == other.write && read == other.read && close == other.close &&
           factoryRead == other.factoryRead && factoryWrite == other.factoryWrite &&
           factoryEnd == other.factoryEnd && readOffset == other.readOffset && readSize == other.readSize &&
           factoryOffset == other.factoryOffset && factorySize == other.factorySize;
  }
};

Outcome sRun(const aPacket& packet, const Params& p, const std::vector<uint8_t>& match) {
  Outcome out;
  memset(&out, 0, sizeof out);
  out.record.module = p.module;
  out.record.command = p.command;
  out.record.option = p.option;
  out.record.index = p.index;
  out.record.type = -1;
  out.record.sequence = 0x33;
  out.record.length = 0x4444;
  out.ueiMatch = sUEIFilter(&packet, &out.record);
  // Only index (on an error reply), value and type may change.
  CHECK(out.record.module == p.module && out.record.command == p.command && out.record.option == p.option);
  CHECK(out.record.sequence == 0x33 && out.record.length == 0x4444 && out.record.count == nullptr);
  CHECK(out.ueiMatch || (out.record.index == p.index && out.record.type == -1 && out.record.value.intVal == 0));

  CommandMatch want{match.data(), p.matchLength};
  out.commandMatch = sCommandFilter(&packet, &want);
  CHECK(!out.commandMatch || (p.matchLength <= packet.length && p.matchLength <= aPACKET_MAX_DATA));
  out.magic = MatchMagic(&packet, nullptr);
  SlotRequest slot{static_cast<uint8_t>(p.operation % 9), p.store, p.slot, p.handle};
  out.slotMatch = sSlotFilter(&packet, &slot);
  out.factoryMatch = sFactoryFilter(&packet, &p.factoryCode);

  out.value = sSlotValueReply(&packet, &out.slotValue);
  out.handle = sSlotOpenReply(&packet);
  out.write = sSlotWriteReply(&packet, p.sum);
  out.close = sSlotCloseReply(&packet);
  const uint8_t* data = nullptr;
  out.read = sSlotReadReply(&packet, &data, &out.readSize);
  if (out.read == aErrNone) {
    CHECK(data >= packet.payload && data + out.readSize <= packet.payload + packet.length && out.readSize > 0);
    out.readOffset = static_cast<size_t>(data - packet.payload);
  }
  data = nullptr;
  out.factoryRead = sFactoryReadReply(&packet, p.have, p.capacity, &data, &out.factorySize);
  if (out.factoryRead == aErrNone) {
    CHECK(data >= packet.payload && data + out.factorySize <= packet.payload + packet.length);
    CHECK(p.have + out.factorySize < p.capacity);
    out.factoryOffset = static_cast<size_t>(data - packet.payload);
  }
  out.factoryWrite = sFactoryWriteReply(&packet);
  out.factoryEnd = sFactoryEndReply(&packet);
  return out;
}

// The Module's checks on a payload of exactly `length` bytes.
void sModuleChecks(const uint8_t* payload, uint8_t length, const std::vector<uint8_t>& request) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[length > 0 ? length : 1]);
  memcpy(exact.get(), payload, length);
  uint32_t build = 0;
  if (sBuildReply(exact.get(), length, &build) == aErrNone) CHECK(length == 6);
  uint8_t value = 0;
  uint8_t repeated = static_cast<uint8_t>(request.size());
  if (sQueryReply(request.data(), repeated, exact.get(), length, &value) == aErrNone) CHECK(length == repeated + 1);
  if (sEchoReply(request.data(), repeated, exact.get(), length) == aErrNone) CHECK(length == repeated + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint8_t address = data[0];
  uint8_t length = static_cast<uint8_t>(data[1] % (aPACKET_MAX_DATA + 1));
  if (size < 2u + length) return 0;
  const uint8_t* payload = data + 2;
  uint8_t raw[sizeof(Params)] = {};
  size_t rest = size - 2 - length;
  memcpy(raw, payload + length, rest < sizeof raw ? rest : sizeof raw);
  Params p;
  memcpy(&p, raw, sizeof p);

  // The match bytes: the payload itself, cut or padded to the match length.
  std::vector<uint8_t> match(payload, payload + length);
  match.resize(p.matchLength, 0);
  Outcome zeros = sRun(FuzzPacket(address, payload, length, 0x00), p, match);
  Outcome ones = sRun(FuzzPacket(address, payload, length, 0xFF), p, match);
  CHECK(zeros == ones);

  // A request of up to 27 bytes: the payload's own, so that replies repeating it occur.
  std::vector<uint8_t> request(payload, payload + (length < 27 ? length : 27));
  if (!request.empty()) request[0] = 0x17;
  sModuleChecks(payload, length, request);
  return 0;
}
