#include "PacketHelpers.h"

#include <cstring>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace {

int sNibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::vector<uint8_t> HexBytes(const std::string& text) {
  std::vector<uint8_t> bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    int nibble = sNibble(c);
    if (nibble < 0) throw std::invalid_argument("not hex: " + text);
    if (high < 0) {
      high = nibble;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | nibble));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd hex digits: " + text);
  return bytes;
}

uint32_t BigEndian32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

std::string HexText(const std::vector<uint8_t>& bytes) {
  std::string text;
  char digits[4];
  for (uint8_t byte : bytes) {
    snprintf(digits, sizeof digits, text.empty() ? "%02X" : " %02X", byte);
    text += digits;
  }
  return text;
}

bool EndsWith(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& tail) {
  return bytes.size() >= tail.size() &&
         std::equal(tail.begin(), tail.end(), bytes.end() - static_cast<long>(tail.size()));
}

std::vector<uint8_t> WireBytes(const aPacket* packet) {
  uint8_t wire[aPACKET_MAX_WIRE];
  size_t count = 0;
  if (aPacket_GetBytes(packet, wire, sizeof wire, &count) != aErrNone) return {};
  return std::vector<uint8_t>(wire, wire + count);
}

std::vector<uint8_t> StreamPacketBytes(uint8_t address, uint8_t tag) {
  std::vector<uint8_t> wire(aPACKET_MAX_WIRE, 0);
  wire[0] = address;
  wire[1] = aPACKET_MAX_DATA;
  wire[2] = 0x10;  // an entity command
  wire[3] = 0x01;  // option, bits 7 and 6 clear
  wire[4] = 0x40;  // index with the stream bit
  wire[5] = tag;
  return wire;
}

std::vector<uint8_t> StreamSampleBytes(uint8_t address, const SampleFields& sample) {
  uint8_t width = 4;
  switch (sample.kind) {
    case 1:
    case 5:
      width = 1;
      break;
    case 2:
    case 6:
      width = 2;
      break;
    default:
      break;
  }
  std::vector<uint8_t> wire{address, 0, sample.command, static_cast<uint8_t>(sample.option & 0x3F),
                            static_cast<uint8_t>(0x40 | (sample.index & 0x1F)), sample.kind};
  if (sample.kind >= 5 && sample.kind <= 7) wire.push_back(sample.subindex);
  for (int shift = 56; shift >= 0; shift -= 8) wire.push_back(static_cast<uint8_t>(sample.timestamp >> shift));
  for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) wire.push_back(static_cast<uint8_t>(sample.value >> shift));
  if (sample.length >= 1) wire.resize(static_cast<size_t>(sample.length) + 1, 0);
  wire.push_back(sample.trailer);
  wire[1] = static_cast<uint8_t>(wire.size() - 2);
  return wire;
}

std::vector<uint8_t> TransferPacket(uint8_t address, uint8_t command, size_t payloadLength, uint8_t sequence,
                                    bool more, uint8_t fill) {
  std::vector<uint8_t> wire(payloadLength + 2, fill);
  wire[0] = address;
  wire[1] = static_cast<uint8_t>(payloadLength);
  if (payloadLength > 0) wire[2] = command;
  if (payloadLength > 1) wire[3] = 0x80 | 0x01;  // a set of option 1
  if (payloadLength > 2) wire[4] = 0x20;         // index 0
  if (payloadLength > 3) wire.back() = static_cast<uint8_t>((more ? 0x80 : 0) | (sequence & 0x7F));
  return wire;
}

std::vector<std::vector<uint8_t>> TransferPackets(uint8_t address, uint8_t command, const std::vector<uint8_t>& data) {
  constexpr size_t kChunk = 24;
  std::vector<std::vector<uint8_t>> packets;
  size_t offset = 0;
  uint8_t sequence = 0;
  do {
    size_t n = std::min(kChunk, data.size() - offset);
    bool more = offset + n < data.size();
    std::vector<uint8_t> wire = TransferPacket(address, command, n + 4, sequence, more);
    std::copy(data.begin() + static_cast<long>(offset), data.begin() + static_cast<long>(offset + n), wire.begin() + 5);
    packets.push_back(std::move(wire));
    offset += n;
    sequence = static_cast<uint8_t>((sequence + 1) & 0x7F);
  } while (offset < data.size());
  return packets;
}

uint32_t PacketGenerator::Uniform(uint32_t low, uint32_t high) {
  return std::uniform_int_distribution<uint32_t>(low, high)(random_);
}

PacketPtr PacketGenerator::Next() {
  uint8_t address = static_cast<uint8_t>(Uniform(1, 255));
  uint8_t length = static_cast<uint8_t>(Uniform(0, aPACKET_MAX_DATA));
  uint8_t payload[aPACKET_MAX_DATA];
  for (uint8_t i = 0; i < length; ++i) payload[i] = static_cast<uint8_t>(Uniform(0, 255));
  return PacketPtr(aPacket_CreateWithData(address, length, payload));
}

uint8_t SamePayload(const aPacket* packet, const void* ref) {
  const auto* want = static_cast<const std::vector<uint8_t>*>(ref);
  return packet->length == want->size() && memcmp(packet->payload, want->data(), want->size()) == 0;
}
