#include "FlashCompare.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "BirdFile.h"
#include "FileText.h"
#include "SimNetwork.h"

namespace {

constexpr size_t kHeaderSize = 6;

std::vector<SimUpgradeEntity::Stretch> sDumpStretches(const std::string& dir, const std::string& prefix) {
  std::vector<SimUpgradeEntity::Stretch> stretches;
  for (const std::string& name : FolderNames(dir)) {
    uint32_t address = 0;
    char end = 0;
    if (name.rfind(prefix, 0) != 0 ||
        sscanf(name.c_str() + prefix.size(), "-0x%" SCNx32 ".bi%c", &address, &end) != 2 || end != 'n')
      continue;
    stretches.push_back({address, ReadBytes(dir + "/" + name)});
  }
  return stretches;
}

// The image as the workflow sends it: loaded, serial number written in.
bool sLoad(const std::vector<uint8_t>& bytes, uint32_t serial, BirdFile& image, std::string* why) {
  if (bytes.size() <= kHeaderSize || !image.DecompressData(bytes.data() + kHeaderSize, bytes.size() - kHeaderSize)) {
    *why = "the image does not inflate";
    return false;
  }
  image.ScanBlocks(image.data.get(), image.dataSize);
  image.hasSerialBlock = !image.FindBlocks(BirdFile::BLOCK_SERIAL_OFFSETS).empty();
  image.FindSerialNumberOffsets();
  if (image.hasSerialBlock && !image.ReplaceSerialNumber(serial)) {
    *why = "the image takes no serial number";
    return false;
  }
  return true;
}

std::string sCompare(const char* what, const std::vector<SimUpgradeEntity::Stretch>& memory, const BirdBlock& block) {
  const uint8_t* image = block.data + 4;
  size_t length = block.length - 4;
  std::vector<uint8_t> held = SimUpgradeEntity::Read(memory, block.address, length);
  for (size_t i = 0; i < length; ++i) {
    if (held[i] == image[i]) continue;
    char text[96];
    snprintf(text, sizeof text, "%s differs at 0x%08" PRIX64 ": 0x%02X, the image 0x%02X", what,
             static_cast<uint64_t>(block.address) + i, held[i], image[i]);
    return text;
  }
  return "";
}

}  // namespace

DeviceMemory DeviceMemory::Of(const SimNetwork& network, uint8_t module) {
  return {network.FlashWrites(module), network.LoaderWrites(module)};
}

DeviceMemory DeviceMemory::FromDump(const std::string& dir, const std::string& prefix) {
  return {sDumpStretches(dir, prefix + "-flash"), sDumpStretches(dir, prefix + "-ram")};
}

std::string FlashDifference(const DeviceMemory& memory, const std::vector<uint8_t>& bytes, uint32_t serial) {
  BirdFile image;
  std::string why;
  if (!sLoad(bytes, serial, image, &why)) return why;
  for (const BirdBlock& block : image.blocks) {
    if ((block.type != BirdFile::BLOCK_LOADER && block.type != BirdFile::BLOCK_FIRMWARE) || block.length < 4) continue;
    bool loader = block.type == BirdFile::BLOCK_LOADER;
    std::string difference = sCompare(loader ? "loader RAM" : "flash", loader ? memory.loaderRam : memory.flash, block);
    if (!difference.empty()) return difference;
  }
  return "";
}
