#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using ByteVec = std::vector<uint8_t>;

// Writes "bird" firmware images, valid and broken, for tests, seeds and fake servers.
// Blocks go into the body in the order they are added.
class BirdBuilder {
 public:
  struct Block {
    uint8_t header;           // type | flags << 5
    uint32_t declaredLength;  // the length field as written
    ByteVec payload;            // the bytes that follow it
    uint8_t type() const { return header & 0x1F; }
    uint8_t flags() const { return header >> 5; }
    // Load address of a loader or firmware block.
    uint32_t address() const;
  };

  BirdBuilder& Loader(uint32_t address, const ByteVec& image, uint8_t flags = 0);
  BirdBuilder& Firmware(uint32_t address, const ByteVec& image, uint8_t flags = 0);
  BirdBuilder& SerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress);
  // Each field padded with spaces to 16 characters (longer ones cut).
  BirdBuilder& Descriptor(const std::string& build, const std::string& version, const std::string& serial,
                          const std::string& model);
  BirdBuilder& Descriptor(uint32_t build, const std::string& version, uint32_t serial, const std::string& model);
  BirdBuilder& StartAddress(uint32_t address);
  // Any block; the declared length may differ from the payload's.
  BirdBuilder& Raw(uint8_t header, uint32_t declaredLength, const ByteVec& payload);

  // Breakages.
  BirdBuilder& DeclaredCount(uint32_t count);
  BirdBuilder& Checksum(uint32_t word);
  BirdBuilder& NoChecksum();
  BirdBuilder& Surplus(const ByteVec& bytes);
  BirdBuilder& Signature(const std::string& fourBytes);
  BirdBuilder& Version(uint8_t a, uint8_t b);
  // The whole inflated body, in place of the blocks.
  BirdBuilder& Body(const ByteVec& body);
  // Keeps only the first n bytes of the zlib stream, which then does not inflate.
  BirdBuilder& TruncateCompressed(size_t n);
  // Pads with a block of random bytes and a run of zeros until the body inflates to
  // exactly n times its compressed size.
  BirdBuilder& Ratio(unsigned n);

  ByteVec Bytes() const;
  ByteVec InflatedBody() const;
  bool WriteTo(const std::string& path) const;
  // Every block written, in file order (the Ratio padding included).
  std::vector<Block> Blocks() const;

 private:
  struct Composed {
    ByteVec body;
    ByteVec compressed;
    std::vector<Block> blocks;
  };
  Composed Compose() const;
  ByteVec BodyOf(const std::vector<Block>& blocks) const;

  std::vector<Block> blocks_;
  std::optional<uint32_t> declaredCount_;
  std::optional<uint32_t> checksum_;
  bool noChecksum_ = false;
  ByteVec surplus_;
  std::string signature_ = "bird";
  uint8_t version_[2] = {1, 1};
  std::optional<ByteVec> body_;
  std::optional<size_t> truncate_;
  unsigned ratio_ = 0;
};

// A firmware image as an LPC recovery image carries it for the chip whose fingerprint is `key`
// (BirdFile::DecodeFirmwareBlocks undoes it): plain byte i becomes itself XOR key byte i mod 16
// (word 0 first, each word from its most significant byte) XOR the plain byte before it.
ByteVec LpcEncode(const ByteVec& plain, const uint32_t key[4]);

// Big-endian 32-bit word as bytes.
ByteVec BigEndian(uint32_t value);
// Deterministic pseudo-random bytes.
ByteVec RandomBytes(size_t count, uint32_t seed);
