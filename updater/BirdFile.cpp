#include "BirdFile.h"

#include <sys/stat.h>

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "Log.h"
#include "unix_file.h"

namespace {

constexpr size_t kHeaderSize = 6;
constexpr uint64_t kBlockHeaderSize = 5;
constexpr uint32_t kSerialOffsetsSize = 8;
constexpr uint32_t kDescriptorSize = 64;
constexpr uint32_t kFieldSize = 16;
// Words 0-7 of an image hold the vector table whose checksum word 7 completes.
constexpr uint32_t kVectorTableSize = 32;

uint32_t GetInt(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

uint16_t GetShort(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t sGetLE(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void sPutLE(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A body's buffer, or null when the memory cannot be had: a failed allocation must end the
// inflate like a body past the limit, with the zlib state released, not leave the loader.
std::unique_ptr<uint8_t[]> sTryAllocate(size_t size) {
  try {
    return std::make_unique_for_overwrite<uint8_t[]>(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool sIsImage(const BirdBlock& b) { return b.type == BirdFile::BLOCK_FIRMWARE && b.length >= 4; }

// A descriptor field as a terminated text: at most `count` characters, cut at a NUL.
std::string sField(const BirdBlock& descriptor, uint32_t offset, uint32_t count) {
  const char* text = reinterpret_cast<const char*>(descriptor.data + offset);
  return std::string(text, strnlen(text, count));
}

// Only a regular file is read: opening a named pipe or a device found in the store would
// block or read without end.
bool sIsRegularFile(const char* file) {
  struct stat st;
  return file != nullptr && stat(file, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

BirdFile::BirdFile(const char* file) : path(file != nullptr ? file : "") {
  if (!Load()) throw std::runtime_error("Failed to load bird data");
}

bool BirdFile::Load(size_t bodyLimit) {
  const char* file = path.c_str();
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", file);
  if (!aFile_Exists(file)) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", file);
    return false;
  }
  aFile* handle = sIsRegularFile(file) ? aFile_Open(file, aFILE_MODE_READ) : nullptr;
  if (handle == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", file);
    return false;
  }
  size_t size = 0;
  aErr err = aFile_GetSize(handle, &size);
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err, file);
    aFile_Close(&handle);
    return false;
  }
  if (size > MAX_FILE_SIZE) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file too large [%s] (%zu bytes)\n", file, size);
    aFile_Close(&handle);
    return false;
  }

  bool result = false;
  auto raw = std::make_unique_for_overwrite<uint8_t[]>(size > 0 ? size : 1);
  size_t count = 0;
  err = aFile_Read(handle, raw.get(), size, &count);
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, file);
  } else if (count != size) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", file, count, size);
  } else {
    if (size > kHeaderSize) {
      signature = GetInt(raw.get());
      version = GetShort(raw.get() + 4);
    }
    // A file of 6 bytes or fewer has an empty body, which does not inflate.
    size_t bodyLength = size > kHeaderSize ? size - kHeaderSize : 0;
    if (DecompressData(raw.get() + (size > kHeaderSize ? kHeaderSize : 0), bodyLength, bodyLimit)) {
      ScanBlocks(data.get(), dataSize);  // mismatches are only logged
      FindSerialNumberOffsets();
      result = CheckBlockLengths();
    }
  }
  hasSerialBlock = !FindBlocks(BLOCK_SERIAL_OFFSETS).empty();
  FindSerialNumberOffsets();
  aFile_Close(&handle);
  return result;
}

bool BirdFile::VerifyFile(const char* file) {
  aFile* handle = sIsRegularFile(file) ? aFile_Open(file, aFILE_MODE_READ) : nullptr;
  if (handle == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", file ? file : "");
    return false;
  }
  uint8_t header[kHeaderSize];
  size_t count = 0;
  aErr err = aFile_Read(handle, header, sizeof(header), &count);
  aFile_Close(&handle);
  return err == aErrNone && count == sizeof(header) && memcmp(header, BIRD_FILE_SIGNATURE, 4) == 0 &&
         header[4] != 0 && header[5] != 0;
}

bool BirdFile::VerifyBytes(const uint8_t* bytes, size_t length) {
  if (bytes == nullptr || length <= kHeaderSize || length > MAX_FILE_SIZE) return false;
  if (memcmp(bytes, BIRD_FILE_SIGNATURE, 4) != 0 || bytes[4] == 0 || bytes[5] == 0) return false;
  BirdFile probe;
  if (!probe.DecompressData(bytes + kHeaderSize, length - kHeaderSize)) return false;
  probe.ScanBlocks(probe.data.get(), probe.dataSize);
  return probe.CheckBlockLengths();
}

bool BirdFile::DecompressData(const uint8_t* source, size_t length, size_t limit) {
  data.reset();
  dataSize = 0;
  z_stream z = {};
  int rc = inflateInit(&z);
  if (rc == Z_OK) {
    // Most bodies fit in 8 times their compressed size at once; a longer one doubles its
    // buffer, never past the limit.
    size_t capacity = std::min(std::max<size_t>(8 * length, 1), limit);
    auto body = sTryAllocate(capacity);
    if (body == nullptr) rc = Z_BUF_ERROR;
    size_t held = 0;
    size_t fed = 0;
    uint8_t spill = 0;
    z.next_in = const_cast<Bytef*>(source);
    while (rc == Z_OK) {
      if (z.avail_in == 0 && fed < length) {
        z.avail_in = static_cast<uInt>(std::min<size_t>(length - fed, UINT32_MAX));
        fed += z.avail_in;
      }
      if (held == capacity && capacity < limit) {
        size_t grown = capacity > limit / 2 ? limit : 2 * capacity;
        auto larger = sTryAllocate(grown);
        if (larger == nullptr) {
          rc = Z_BUF_ERROR;  // as for a body past the limit: no room to hold it
          break;
        }
        memcpy(larger.get(), body.get(), held);
        body = std::move(larger);
        capacity = grown;
      }
      // A full buffer at the limit takes one byte more only to learn whether the body ends.
      const bool full = held == capacity;
      z.next_out = full ? &spill : body.get() + held;
      z.avail_out = full ? 1u : static_cast<uInt>(std::min<size_t>(capacity - held, UINT32_MAX));
      const uInt room = z.avail_out;
      rc = inflate(&z, Z_NO_FLUSH);
      const uInt produced = room - z.avail_out;
      if (full && produced > 0) {
        rc = Z_BUF_ERROR;  // the body is longer than the limit
        break;
      }
      held += produced;
      if (rc == Z_STREAM_END) {
        rc = Z_OK;
        break;
      }
      if (rc == Z_NEED_DICT) rc = Z_DATA_ERROR;
      // No progress with every input byte taken: the stream was cut short.
      if (rc == Z_BUF_ERROR && z.avail_in == 0 && fed == length) rc = Z_DATA_ERROR;
      if (rc != Z_OK) break;
    }
    inflateEnd(&z);
    if (rc == Z_OK) {
      data = std::move(body);
      dataSize = static_cast<uint32_t>(held);
      return true;
    }
  }
  Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
  dataSize = 0;
  return false;
}

bool BirdFile::ScanBlocks(const uint8_t* body, uint32_t size) {
  if (body == nullptr) size = 0;
  if (body != data.get() && size > 0) {
    auto copy = std::make_unique_for_overwrite<uint8_t[]>(size);
    memcpy(copy.get(), body, size);
    data = std::move(copy);
    dataSize = size;
    body = data.get();
  }
  blocks.clear();
  blockCount = 0;
  bool result = true;

  uint32_t declared = size >= 4 ? GetInt(body) : 0;
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(declared));
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  // 64-bit arithmetic: a declared length near 2^32 must neither wrap the position nor make
  // a view that runs past the body.
  uint64_t position = size >= 4 ? 4 : size;
  uint64_t remaining = size - position;
  while (remaining > 4) {
    // The block's header and payload must fit before the last 4 bytes (the checksum).
    uint64_t room = remaining - 4;
    if (room < kBlockHeaderSize) break;
    const uint8_t* header = body + position;
    uint64_t length = GetInt(header + 1);
    if (kBlockHeaderSize + length > room) break;

    BirdBlock block;
    block.type = header[0] & BIRD_FILE_TYPE_MASK;
    block.flags = static_cast<uint8_t>((header[0] & BIRD_FILE_FLAG_MASK) >> 5);
    block.length = static_cast<uint32_t>(length);
    block.data = header + kBlockHeaderSize;
    if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && block.length >= 4)
      block.address = GetInt(block.data);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
             static_cast<int>(block.length));
    if (block.type == BLOCK_DESCRIPTOR && block.length >= kDescriptorSize) {
      for (uint32_t field = 0; field < 4; ++field)
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                 reinterpret_cast<const char*>(block.data + field * kFieldSize));
    }
    position += kBlockHeaderSize + length;
    remaining -= kBlockHeaderSize + length;
    ++blockCount;
    blocks.push_back(block);
  }

  if (remaining >= 4) {
    checksum = GetInt(body + position);
    remaining -= 4;
  } else {
    checksum = 0;
  }
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
  if (remaining > 0 || size < 8) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(remaining));
    result = false;
  }
  if (blockCount != declared) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             static_cast<int>(blockCount), static_cast<int>(declared));
    result = false;
  }
  return result;
}

bool BirdFile::CheckBlockLengths() const {
  for (size_t i = 0; i < blocks.size(); ++i) {
    const BirdBlock& b = blocks[i];
    if ((b.type == BLOCK_LOADER || b.type == BLOCK_FIRMWARE) && b.length < 4) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - block %u of type %u is too short (%u bytes)\n",
               static_cast<unsigned>(i + 1), static_cast<unsigned>(b.type), static_cast<unsigned>(b.length));
      return false;
    }
  }
  return true;
}

bool BirdFile::FindSerialNumberOffsets() {
  for (const BirdBlock& b : blocks) {
    if (b.type != BLOCK_SERIAL_OFFSETS || b.length < kSerialOffsetsSize) continue;
    serialAddress = GetInt(b.data);
    descriptorAddress = GetInt(b.data + 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             static_cast<int>(serialAddress), static_cast<int>(descriptorAddress));
    return true;
  }
  return false;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& b : blocks)
    if (b.type == type) found.push_back(b);
  return found;
}

const BirdBlock* BirdFile::Descriptor() const {
  for (const BirdBlock& b : blocks)
    if (b.type == BLOCK_DESCRIPTOR && b.length >= kDescriptorSize) return &b;
  return nullptr;
}

uint32_t BirdFile::GetBuild() const {
  const BirdBlock* d = Descriptor();
  if (d == nullptr) return 0;
  std::string field = sField(*d, 0, kFieldSize - 1);
  size_t i = field.find_first_not_of(' ');
  uint64_t build = 0;
  for (; i < field.size() && isdigit(static_cast<unsigned char>(field[i])); ++i) build = build * 10 + (field[i] - '0');
  return static_cast<uint32_t>(build);  // 15 digits, kept to 32 bits
}

std::string BirdFile::GetVersion() const {
  const BirdBlock* d = Descriptor();
  if (d == nullptr) return "";
  std::string field = sField(*d, kFieldSize, kFieldSize - 1);
  return field.substr(0, field.find(' '));
}

uint32_t BirdFile::GetSerialNumber() const {
  const BirdBlock* d = Descriptor();
  if (d == nullptr) return 0;
  std::string field = sField(*d, 2 * kFieldSize, 8);
  return static_cast<uint32_t>(strtoul(field.c_str(), nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }

bool BirdFile::ValidateModel(const char* model) const {
  const BirdBlock* d = Descriptor();
  if (d == nullptr || model == nullptr) return false;
  std::string field = sField(*d, 3 * kFieldSize, kFieldSize);
  while (!field.empty() && field.back() == ' ') field.pop_back();
  // The field must begin with the given name; a longer name cannot match.
  size_t length = strlen(model);
  if (length > field.size() || field.compare(0, length, model) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
  return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
  char digits[9];
  snprintf(digits, sizeof(digits), "%08X", serial);
  bool written = false;
  for (const BirdBlock& b : blocks) {
    if (!sIsImage(b)) continue;
    // Device addresses as 64-bit values: S or D near 2^32 must not wrap into the image.
    uint64_t start = b.address;
    uint64_t end = start + b.length - 4;
    uint64_t s = serialAddress;
    uint64_t d = descriptorAddress;
    uint8_t* payload = Payload(b);
    if (s != 0 && start <= s && s + 4 <= end) {
      uint8_t* at = payload + (s - start + 4);
      Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", sGetLE(at), serial);
      sPutLE(at, serial);
      written = true;
    }
    // The descriptor text is UTF-16LE: the digits go into the low bytes.
    if (d != 0 && start <= d && d + 16 <= end) {
      uint8_t* at = payload + (d - start + 4);
      for (int i = 0; i < 8; ++i) at[2 * i] = static_cast<uint8_t>(digits[i]);
      written = true;
    }
  }
  return written;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
  uint8_t bytes[16];
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i) bytes[4 * w + i] = static_cast<uint8_t>(key[w] >> (24 - 8 * i));
  for (const BirdBlock& b : blocks) {
    if (!sIsImage(b)) continue;
    uint8_t* image = Payload(b) + 4;
    uint8_t previous = 0;
    for (uint32_t i = 0; i < b.length - 4; ++i) {
      uint8_t out = image[i] ^ bytes[i % 16] ^ previous;
      image[i] = out;
      previous = out;
    }
  }
  return true;
}

bool BirdFile::ReplaceVectorChecksum() {
  for (const BirdBlock& b : blocks) {
    if (!sIsImage(b) || b.address != 0 || b.length - 4 < kVectorTableSize) continue;
    uint8_t* image = Payload(b) + 4;
    uint32_t sum = 0;
    for (int word : {0, 1, 2, 3, 4, 6}) sum += sGetLE(image + 4 * word);
    uint32_t value = 0u - sum;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", sGetLE(image + 28), value);
    sPutLE(image + 28, value);
  }
  return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t count) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool found = false;
  if (pattern != nullptr && count > 0) {
    for (const BirdBlock& b : blocks) {
      if (b.type != BLOCK_FIRMWARE || count > b.length) continue;
      for (uint32_t at = 0; at <= b.length - count; ++at) {
        if (memcmp(b.data + at, pattern, count) != 0) continue;
        Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(at));
        found = true;
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
  printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
  for (const BirdBlock& b : blocks) {
    if (b.type != type) continue;
    std::string gathered;
    for (uint32_t i = 0; i < b.length; ++i) {
      if (i % 50 == 0) {
        printf(" %s\r\n%06d: ", gathered.c_str(), static_cast<int>(i));
        gathered.clear();
      }
      uint8_t c = b.data[i];
      printf("%02X ", c);
      gathered += isprint(c) ? static_cast<char>(c) : ' ';
    }
    printf(" %s\n", gathered.c_str());
  }
  printf("\n");
  return true;
}
