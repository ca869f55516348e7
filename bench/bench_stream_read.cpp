// The cost per byte of aStream_Read over a minimal array-backed kind, beside calling that
// kind's get directly; and 30-byte reads, and 1-byte reads over the in-memory pipe.
#include <chrono>
#include <cstdio>
#include <vector>

#include "BenchFigure.h"
#include "MemoryPipe.h"
#include "aStream.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kArray = 1 << 16;
constexpr size_t kBytes = 20'000'000;

struct ArrayKind {
  uint8_t bytes[kArray];
  size_t next = 0;
};

aErr sArrayGet(uint8_t* byte, void* ref) {
  ArrayKind* kind = static_cast<ArrayKind*>(ref);
  *byte = kind->bytes[kind->next];
  kind->next = (kind->next + 1) % kArray;
  return aErrNone;
}

// Keeps the compiler from knowing which procedure runs, as for a kind behind a stream.
aStreamGetProc volatile gGet = sArrayGet;
volatile uint8_t gSink;

// The best of five runs, so that a busy machine disturbs the figures less.
template <typename Body>
double NsPerByte(size_t bytes, Body body) {
  double best = 0;
  for (int run = 0; run < 5; ++run) {
    auto start = Clock::now();
    body();
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                static_cast<double>(bytes);
    if (run == 0 || ns < best) best = ns;
  }
  return best;
}


}  // namespace

int main() {
  auto* kind = new ArrayKind;
  for (size_t i = 0; i < kArray; ++i) kind->bytes[i] = static_cast<uint8_t>(i * 31);
  aStream* stream = aStream_Create(sArrayGet, nullptr, nullptr, nullptr, kind);

  double direct = NsPerByte(kBytes, [&] {
    aStreamGetProc get = gGet;
    uint8_t sum = 0, byte;
    for (size_t i = 0; i < kBytes; ++i) {
      get(&byte, kind);
      sum += byte;
    }
    gSink = sum;
  });
  double single = NsPerByte(kBytes, [&] {
    uint8_t sum = 0, byte;
    for (size_t i = 0; i < kBytes; ++i) {
      aStream_Read(stream, &byte, 1);
      sum += byte;
    }
    gSink = sum;
  });
  double blocks = NsPerByte(kBytes / 30 * 30, [&] {
    uint8_t sum = 0, block[30];
    for (size_t i = 0; i < kBytes / 30; ++i) {
      aStream_Read(stream, block, 30);
      sum += block[29];
    }
    gSink = sum;
  });
  PrintFigure("stream_read_1", single, "ns/byte", "direct_get", direct);
  PrintFigure("stream_read_30", blocks, "ns/byte", "direct_get", direct);

  // The pipe, filled and then read on one thread: the cost of its locking per byte (the
  // filling, one write per 1000 bytes, is counted too).
  constexpr size_t kPipeBytes = 2'000'000;
  MemoryPipe pipe;
  std::vector<uint8_t> chunk(1000, 0x5A);
  double piped = NsPerByte(kPipeBytes, [&] {
    for (size_t sent = 0; sent < kPipeBytes; sent += chunk.size()) {
      aStream_Write(pipe.stream(MemoryPipe::kA), chunk.data(), chunk.size());
    }
    uint8_t sum = 0, byte;
    for (size_t i = 0; i < kPipeBytes; ++i) {
      aStream_Read(pipe.stream(MemoryPipe::kB), &byte, 1);
      sum += byte;
    }
    gSink = sum;
  });
  PrintFigure("pipe_read_1", piped, "ns/byte", "direct_get", direct);

  aStream_Destroy(&stream);
  delete kind;
  return 0;
}
