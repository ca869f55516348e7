#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using ByteVec = std::vector<uint8_t>;

// The image of a firmware update, and the switches that break it, for BirdBuilder::Update.
// The loader blocks go to 0x20000000 one after another, the firmware blocks from 0x00010000 one after another; the
// serial block points into firmware block 1: the serial number at 0x00010100, the descriptor's
// text at 0x00010200.
struct UpdateImage {
  uint32_t build = 1300;
  std::string version = "2.12.5";
  uint32_t serial = 0x40F5849A;      // the descriptor's
  std::string model = "SwitchMini";  // the descriptor's model field
  size_t loaderBlocks = 1;           // one after another from the loader address
  size_t loaderBytes = 2048;         // each; 0: no loader block
  size_t firmwareBlocks = 2;         // 0: no firmware block
  size_t firmwareBytes = 128 << 10;  // each
  size_t codeBytes = 0;              // when not 0: each firmware image is this many random bytes,
                                     // then 0xFF (erased flash) up to firmwareBytes
  bool serialBlock = true;           // the image takes the device's serial number in
  bool serialOutside = false;        // ... at an address past every firmware image
  bool descriptor = true;
  bool cutBody = false;              // a good header, then a zlib body cut short
  uint32_t seed = 1;                 // of the image bytes

  static constexpr uint32_t kLoaderAddress = 0x20000000;
  static constexpr uint32_t kFirmwareAddress = 0x00010000;
  static constexpr uint32_t kSerialAddress = 0x00010100;
  static constexpr uint32_t kDescriptorTextAddress = 0x00010200;
};

// Writes "bird" firmware images, valid and broken, for tests, seeds and fake servers.
// Blocks go into the body in the order they are added.
class BirdBuilder {
 public:
  // The image an update sends (UpdateImage above).
  static BirdBuilder Update(const UpdateImage& image = {});

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

// A bird file whose body is `bodySize` bytes (at least 13): the block count 1, one block of
// type 3 holding zeros, and a checksum word of 0. The zeros are not compressed one by one: one
// compressed run of them is repeated, so that a body of gigabytes takes about a thousandth of
// its size and time to make.
ByteVec ZeroBodyImage(uint64_t bodySize);

// A firmware image as an LPC recovery image carries it for the chip whose fingerprint is `key`
// (BirdFile::DecodeFirmwareBlocks undoes it): plain byte i becomes itself XOR key byte i mod 16
// (word 0 first, each word from its most significant byte) XOR the plain byte before it.
ByteVec LpcEncode(const ByteVec& plain, const uint32_t key[4]);

// Big-endian 32-bit word as bytes.
ByteVec BigEndian(uint32_t value);
// Deterministic pseudo-random bytes.
ByteVec RandomBytes(size_t count, uint32_t seed);
