#pragma once
#include "SimLinkDevice.h"
#include "UsbByteDevice.h"

// Puts a SimLinkDevice behind an emulated USB device or kernel node (setDevice); the device
// keeps its state across unplugs and reattachments. The SimLinkDevice must outlive the
// emulation that holds this side.
class SimLinkUsbSide : public UsbByteDevice {
 public:
  explicit SimLinkUsbSide(SimLinkDevice& device) : device_(device) {}

  void attach(UsbToHost toHost) override {
    if (!toHost) {
      device_.Attach(nullptr);
      return;
    }
    device_.Attach([toHost](const uint8_t* data, size_t size) {
      toHost(data, size);
      return aErrNone;
    });
  }
  void fromHost(const uint8_t* data, size_t size) override { device_.FromHost(data, size); }

 private:
  SimLinkDevice& device_;
};
