// Even first byte: the rest is an inflated body, scanned, queried and patched.
// Odd first byte: the rest is a whole file, verified and loaded from a memfd.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "BirdFile.h"
#include "FuzzLog.h"

namespace {

// Bodies inflate up to this here, not to the product's limit: an input of a hundred KiB could
// otherwise inflate to 128 MiB and make every query and patch below walk it.
constexpr size_t kBodyLimit = 1u << 20;

uint32_t sWord(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

void sExercise(BirdFile& bird, const uint8_t* data, size_t size) {
  // Arguments from the input's first bytes, zero-padded.
  uint8_t args[40] = {};
  memcpy(args, data, size < sizeof(args) ? size : sizeof(args));
  const uint32_t key[4] = {sWord(args + 4), sWord(args + 8), sWord(args + 12), sWord(args + 16)};
  char model[17] = {};
  memcpy(model, args + 20, args[1] % 17);

  bird.GetBuild();
  bird.GetVersion();
  bird.GetSerialNumber();
  bird.ValidateSerialNumber(sWord(args));
  bird.ValidateModel(model);
  bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(args[2] & 0x1F));
  bird.ReplaceSerialNumber(sWord(args));
  bird.DecodeFirmwareBlocks(key);
  bird.ReplaceVectorChecksum();
  bird.ValidateData(args + 36, args[3] % 5);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every log line is formatted, so that the formats see the malformed fields too.
  FuzzLogToNull(~0u);
  if (size == 0) return 0;

  if (data[0] % 2 == 0) {
    BirdFile bird;
    bird.ScanBlocks(data + 1, static_cast<uint32_t>(size - 1));
    bird.FindSerialNumberOffsets();
    sExercise(bird, data + 1, size - 1);
    return 0;
  }

  int fd = memfd_create("bird", 0);
  if (fd < 0) return 0;
  size_t written = 0;
  while (written < size - 1) {
    ssize_t n = write(fd, data + 1 + written, size - 1 - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  BirdFile::VerifyFile(path.c_str());
  BirdFile bird;
  bird.path = path;
  if (bird.Load(kBodyLimit)) sExercise(bird, data + 1, size - 1);
  close(fd);
  return 0;
}
