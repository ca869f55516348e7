#include "SimLinkStreamAdapter.h"

#include "unix_time.h"

namespace {
constexpr size_t kChunk = 512;
constexpr uint32_t kWaitMs = 10;
}  // namespace

SimLinkStreamAdapter::SimLinkStreamAdapter(SimLinkDevice& device, aStream* stream)
    : device_(device), stream_(stream) {
  device_.Attach([stream](const uint8_t* data, size_t size) {
    return aStream_Write(stream, data, size);
  });
  thread_ = std::thread([this] { Pump(); });
}

SimLinkStreamAdapter::~SimLinkStreamAdapter() {
  device_.Attach(nullptr);
  stop_ = true;
  thread_.join();
}

void SimLinkStreamAdapter::Pump() {
  uint8_t chunk[kChunk];
  while (!stop_) {
    size_t got = 0;
    aErr err = aErrNone;
    while (got < kChunk && (err = aStream_Read(stream_, &chunk[got], 1)) == aErrNone) ++got;
    if (got > 0) device_.FromHost(chunk, got);
    if (err == aErrNotReady) {
      aStream_WaitReadable(stream_, kWaitMs);
    } else if (err != aErrNone) {
      // The host end is gone or failing: nothing to read, but stay until told to stop.
      aTime_MSSleep(kWaitMs);
    }
  }
}
