// Loading an image costs one file read, one inflate and a scan over views: compared with a
// bare inflate of the same compressed body into a buffer that is already there.
#include <zlib.h>

#include <cstdio>
#include <string>

#include "BenchFigure.h"
#include "BenchTiming.h"
#include "BirdBuilder.h"
#include "BirdFile.h"
#include "TempDir.h"

namespace {

// Firmware-like bytes: stretches of random bytes between runs of one repeated byte.
ByteVec MixedFirmware(size_t size) {
  ByteVec random = RandomBytes(size, 42);
  ByteVec out(size);
  for (size_t i = 0; i < size; ++i) out[i] = (i / 512) % 2 ? static_cast<uint8_t>(i / 512) : random[i];
  return out;
}

void Run(const TempDir& dir, size_t inflatedSize, const char* name, const char* base) {
  // Eight firmware blocks of equal size, like a loader and firmware split by sections.
  BirdBuilder builder;
  const size_t parts = 8;
  for (size_t i = 0; i < parts; ++i)
    builder.Firmware(static_cast<uint32_t>(i * inflatedSize / parts), MixedFirmware(inflatedSize / parts - 16));
  ByteVec file = builder.Bytes();
  std::string path = dir / (std::string(name) + ".bird");
  if (!builder.WriteTo(path)) {
    printf("bench %s: cannot write %s\n", name, path.c_str());
    return;
  }
  const uint8_t* body = file.data() + 6;
  size_t bodyLength = file.size() - 6;
  ByteVec ready(8 * bodyLength);

  bool ok = true;
  double load = MedianMs(31, [&] {
    BirdFile bird;
    bird.path = path;
    ok = bird.Load() && ok;
  });
  double inflate = MedianMs(31, [&] {
    uLongf length = ready.size();
    ok = uncompress(ready.data(), &length, body, bodyLength) == Z_OK && ok;
  });
  if (!ok) {
    printf("bench %s: loading failed\n", name);
    return;
  }
  PrintFigure(name, load, "ms", base, inflate);
}

}  // namespace

int main() {
  TempDir dir;
  Run(dir, 1u << 20, "bird_load_1MiB", "uncompress_1MiB");
  Run(dir, 4u << 20, "bird_load_4MiB", "uncompress_4MiB");
  return 0;
}
