#pragma once
#include "SimLinkDevice.h"
#include "TcpDeviceListener.h"

// Puts a SimLinkDevice behind a TcpDeviceListener; the device keeps its state across
// connections. Construct it before the listener and destroy it after.
class SimLinkTcpSide : public TcpDeviceSide {
 public:
  explicit SimLinkTcpSide(SimLinkDevice& device) : device_(device) {}

  void Attach(Sender send) override {
    if (!send) {
      device_.Attach(nullptr);
      return;
    }
    device_.Attach([send](const uint8_t* data, size_t size) { return send(data, size) ? aErrNone : aErrIO; });
  }
  void OnBytes(const uint8_t* data, size_t length) override { device_.FromHost(data, length); }

 private:
  SimLinkDevice& device_;
};
