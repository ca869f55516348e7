#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

// Sends bytes from the device to the host: they wait for the host's IN transfers (or reads of
// a kernel node). Callable from any thread while the device is attached.
using UsbToHost = std::function<void(const uint8_t* data, size_t size)>;

// What sits behind an emulated USB device or kernel node, at byte level: it sees the bytes the
// host writes and answers through the UsbToHost it was attached with.
class UsbByteDevice {
 public:
  virtual ~UsbByteDevice() = default;
  // Called when the device is put behind an emulated device; an empty function detaches it.
  // Once attach returns with an empty function, the old one is never called again.
  virtual void attach(UsbToHost toHost) = 0;
  // Bytes the host wrote, in order (one OUT transfer, or one read of the node). Called on the
  // emulation's thread, which serves every emulated device: do not block.
  virtual void fromHost(const uint8_t* data, size_t size) = 0;
};

// Answers every byte with itself.
class UsbEchoDevice : public UsbByteDevice {
 public:
  void attach(UsbToHost toHost) override {
    std::lock_guard<std::mutex> lock(mutex_);
    toHost_ = std::move(toHost);
  }
  void fromHost(const uint8_t* data, size_t size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (toHost_) toHost_(data, size);
  }

 private:
  std::mutex mutex_;
  UsbToHost toHost_;
};
