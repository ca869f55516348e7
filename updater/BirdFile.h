#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A view of one block of an inflated image; valid while the owning BirdFile lives.
struct BirdBlock {
  uint8_t type = 0;      // header byte & 0x1F
  uint8_t flags = 0;     // header byte bits 5-7, handed to the device unchanged
  uint32_t length = 0;   // payload length
  uint32_t address = 0;  // load address (loader and firmware blocks), else 0
  const uint8_t* data = nullptr;  // first payload byte
};

// A "bird" firmware image: "bird", two version bytes, then one zlib stream whose body holds
// a block count, typed blocks and a checksum word. Read once from disk, then queried and
// patched in memory only. Moved, never copied: the body's storage moves with the object,
// so block views stay valid in the object moved to.
class BirdFile {
 public:
  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_DESCRIPTOR = 4,
    BLOCK_START_ADDRESS = 5,
  };
  static constexpr const char* BIRD_FILE_SIGNATURE = "bird";
  static constexpr uint8_t BIRD_FILE_VERSION[2] = {1, 1};
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
  // Larger files are refused before they are read: the whole file is held in memory.
  static constexpr size_t MAX_FILE_SIZE = 64u << 20;
  // The largest inflated body that loads, whatever its compression ratio; a longer one is
  // refused before more than this is held.
  static constexpr size_t MAX_BODY_SIZE = 128u << 20;

  BirdFile() = default;
  // Loads the file; throws std::runtime_error "Failed to load bird data" when it cannot.
  explicit BirdFile(const char* path);
  BirdFile(BirdFile&&) noexcept = default;
  BirdFile& operator=(BirdFile&&) noexcept = default;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  // bodyLimit: the largest body inflated; only a fuzz target lowers it, to keep its runs short.
  bool Load(size_t bodyLimit = MAX_BODY_SIZE);
  static bool VerifyFile(const char* path);
  // Bytes about to be stored as a file: the header rule of VerifyFile, and a body that
  // loads as Load would load it.
  static bool VerifyBytes(const uint8_t* bytes, size_t length);

  // The steps of Load. ScanBlocks of a body held elsewhere copies it in first, so that the
  // blocks always view the object's own bytes.
  bool DecompressData(const uint8_t* source, size_t length, size_t limit = MAX_BODY_SIZE);
  bool ScanBlocks(const uint8_t* body, uint32_t size);
  bool FindSerialNumberOffsets();

  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;

  // Descriptor queries, on the first descriptor block of full size.
  uint32_t GetBuild() const;
  std::string GetVersion() const;
  uint32_t GetSerialNumber() const;
  bool ValidateSerialNumber(uint32_t serial) const;
  bool ValidateModel(const char* model) const;

  // In-memory patches of the firmware blocks.
  bool ReplaceSerialNumber(uint32_t serial);
  bool DecodeFirmwareBlocks(const uint32_t key[4]);
  bool ReplaceVectorChecksum();
  bool ValidateData(const uint8_t* pattern, uint32_t count) const;
  bool DumpBlocks(BLOCK_TYPE type) const;

  std::string path;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t checksum = 0;
  uint32_t blockCount = 0;
  std::vector<BirdBlock> blocks;
  bool hasSerialBlock = false;
  uint32_t serialAddress = 0;
  uint32_t descriptorAddress = 0;
  std::unique_ptr<uint8_t[]> data;
  uint32_t dataSize = 0;

 private:
  const BirdBlock* Descriptor() const;
  // Writable bytes of a block's payload: every view points into `data`.
  static uint8_t* Payload(const BirdBlock& block) { return const_cast<uint8_t*>(block.data); }
  // Loader and firmware blocks need their address word; false (logged) for a shorter one.
  bool CheckBlockLengths() const;
};
