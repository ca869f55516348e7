#pragma once
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "aPacket.h"
#include "aStream.h"

// Bytes of a hex text such as "04 03 10 20 30" or "0403102030"; spaces are skipped. Throws
// std::invalid_argument on anything else.
std::vector<uint8_t> HexBytes(const std::string& text);
// "04 03 10 20 30"
std::string HexText(const std::vector<uint8_t>& bytes);
// The number four bytes give, most significant first: the kit's own reading, apart from the
// library's decoders that it checks.
uint32_t BigEndian32(const uint8_t* bytes);
// bytes ends with tail.
bool EndsWith(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& tail);

// The wire form of a packet (empty when it has none).
std::vector<uint8_t> WireBytes(const aPacket* packet);

// A stream packet as a device sends it, 30 bytes in wire form: length 28, an entity command
// with a plain option and a stream index (what aUEI_isStreamPacket accepts), tag in its value.
std::vector<uint8_t> StreamPacketBytes(uint8_t address, uint8_t tag);

// A stream sample as a device sends it. Kinds 1 to 3 carry an 8-, 16- or 32-bit value, 5 to 7
// the same after a subindex byte; any other kind byte gets a 32-bit value (kind 4 is a
// trailer other than 0). Payload: [command, option, index + 0x40, kind, (subindex), timestamp
// high and low halves big-endian, value big-endian, trailer].
struct SampleFields {
  uint8_t kind = 3;
  uint8_t command = 3;
  uint8_t option = 0;
  uint8_t index = 0;
  uint8_t subindex = 0;
  uint64_t timestamp = 0;
  uint32_t value = 0;
  uint8_t trailer = 0;
  int length = -1;  // another payload length: cut or zero-padded before the trailer
};
// Its wire form from `address`.
std::vector<uint8_t> StreamSampleBytes(uint8_t address, const SampleFields& sample);

// One packet of a byte transfer as a client sends it, in wire form: payloadLength bytes of
// payload to `address`, [command, option, index, data (filled with `fill`)..., trailer], the
// trailer's bit 7 set when more follow and its bits 0 to 6 the sequence number.
std::vector<uint8_t> TransferPacket(uint8_t address, uint8_t command, size_t payloadLength, uint8_t sequence,
                                    bool more, uint8_t fill = 0x5A);
// A whole transfer of `data`: 24 data bytes a packet (full packets of 28), sequence numbers
// from 0 modulo 128, every packet but the last marked "more".
std::vector<std::vector<uint8_t>> TransferPackets(uint8_t address, uint8_t command, const std::vector<uint8_t>& data);

// Match predicate for the await and drain functions: the packet's payload equals the
// std::vector<uint8_t> that `ref` points to.
uint8_t SamePayload(const aPacket* packet, const void* ref);

// Owners that release through the library's destroy functions.
struct PacketDestroyer {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDestroyer>;
struct StreamDestroyer {
  void operator()(aStream* stream) const { aStream_Destroy(&stream); }
};
using StreamPtr = std::unique_ptr<aStream, StreamDestroyer>;

// A seeded source of random valid packets: address 1 to 255, length 0 to 28, random payload.
class PacketGenerator {
 public:
  explicit PacketGenerator(uint32_t seed) : random_(seed) {}
  PacketPtr Next();
  std::vector<uint8_t> NextWire() { return WireBytes(Next().get()); }
  // A uniform number in [low, high], from the same sequence.
  uint32_t Uniform(uint32_t low, uint32_t high);

 private:
  std::mt19937 random_;
};
