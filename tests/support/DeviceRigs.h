#pragma once
// The simulated device where the object API reaches it directly, with the link specification
// that names it, for tests and benchmarks of Link and Module.
#include <cstdint>
#include <memory>
#include <vector>

#include "PtyPair.h"
#include "SimLinkDevice.h"
#include "SimLinkPty.h"
#include "SimLinkTcpSide.h"
#include "SimNetwork.h"
#include "TcpDeviceListener.h"
#include "aLinkSpec.h"
#include "aOrvexConfig.h"

// The network configuration of a direct link: no link server, no fallback.
Tavrin::Corvantis::aOrvexConfig DirectConfig();

// The device behind a TCP listener on 127.0.0.1; it keeps its state across connections.
struct TcpSimDevice {
  explicit TcpSimDevice(uint8_t address = 6, uint32_t serial = 0x0000ABCD)
      : device(address), serial(serial) {}
  // A type-2 specification of the device.
  linkSpec Spec() const;

  SimLinkDevice device;
  SimLinkTcpSide side{device};
  TcpDeviceListener listener{&side};
  const uint32_t serial;
};

// The device on the master of a pty, the link on its slave. The line ends when the link closes
// the port: Renew() before the port is opened again.
struct PtySimDevice {
  explicit PtySimDevice(uint8_t address = 6, uint32_t serial = 0x0000ABCD)
      : device(address), serial(serial) {}
  ~PtySimDevice() { line.reset(); }
  // A type-3 specification of the slave at `baudRate`.
  linkSpec Spec(uint32_t baudRate = 115200) const;
  void Renew();

  PtyPair pty;
  SimLinkDevice device;
  std::unique_ptr<SimLinkPty> line = std::make_unique<SimLinkPty>(pty, device);
  const uint32_t serial;
};

// The wire forms of the packets the device received, from index `from` on.
std::vector<std::vector<uint8_t>> ReceivedSince(const SimLinkDevice& device, size_t from = 0);
