// Writes the seed corpus of fuzz_bird into the folder given as the argument: a valid image
// and each malformed kind, both as a whole file (first byte odd) and as an inflated body
// (first byte even).
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "BirdBuilder.h"

namespace {

BirdBuilder Valid() {
  BirdBuilder b;
  b.Loader(0x20000000, RandomBytes(48, 1), 1)
      .Firmware(0, RandomBytes(96, 2), 3)
      .SerialOffsets(0x10, 0x40)
      .Descriptor(1234, "2.12.5", 0x40F5849A, "HubCore8")
      .StartAddress(0x20000100);
  return b;
}

bool Write(const std::string& path, uint8_t first, const ByteVec& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  fputc(first, f);
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
  return fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  std::string folder = argv[1];
  std::vector<std::pair<std::string, BirdBuilder>> seeds = {
      {"valid", Valid()},
      {"truncated-stream", Valid().TruncateCompressed(30)},
      {"ratio-9", BirdBuilder().Firmware(0, RandomBytes(32, 3)).Ratio(9)},
      {"ratio-8", BirdBuilder().Firmware(0, RandomBytes(32, 3)).Ratio(8)},
      {"length-past-body", Valid().Raw(1, 1000, RandomBytes(8, 4))},
      {"length-FFFFFFFB", Valid().Raw(1, 0xFFFFFFFB, RandomBytes(8, 4))},
      {"length-FFFFFFFF", Valid().Raw(1, 0xFFFFFFFF, RandomBytes(8, 4))},
      {"short-loader", BirdBuilder().Raw(0, 2, {1, 2})},
      {"short-firmware", BirdBuilder().Raw(1, 3, {1, 2, 3})},
      {"short-offsets", BirdBuilder().Firmware(0, RandomBytes(40, 5)).Raw(2, 7, RandomBytes(7, 6))},
      {"short-descriptor", BirdBuilder().Raw(4, 63, RandomBytes(63, 7))},
      {"body-5", BirdBuilder().Body({0, 0, 0, 1, 9})},
      {"count-3-of-2", Valid().DeclaredCount(3)},
      {"surplus-2", Valid().Surplus({0xAA, 0xBB})},
      {"no-checksum", Valid().NoChecksum()},
      {"signature", Valid().Signature("BIRD")},
      {"version-0-5", Valid().Version(0, 5)},
      {"serial-near-top", BirdBuilder().Firmware(0xFFFFFF00, RandomBytes(0xF0, 8)).SerialOffsets(0xFFFFFFFE, 0xFFFFFFF8)},
  };
  for (const auto& [name, builder] : seeds) {
    if (!Write(folder + "/file-" + name, 1, builder.Bytes()) || !Write(folder + "/body-" + name, 0, builder.InflatedBody())) {
      fprintf(stderr, "cannot write into %s\n", folder.c_str());
      return 1;
    }
  }
  // Files too short to have a body.
  ByteVec valid = Valid().Bytes();
  for (size_t n = 0; n <= 6; ++n)
    if (!Write(folder + "/file-short-" + std::to_string(n), 1, ByteVec(valid.begin(), valid.begin() + n))) return 1;
  return 0;
}
