#pragma once
// The simulated device where the object API reaches it directly, with the linkSpec
// that names it, for tests and benchmarks of Link and Module.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "PtyPair.h"
#include "SimLinkDevice.h"
#include "SimLinkPty.h"
#include "SimLinkTcpSide.h"
#include "SimNetwork.h"
#include "TcpDeviceListener.h"
#include "Link.h"
#include "Module.h"
#include "aLink.h"
#include "aLinkSpec.h"
#include "aOrvexConfig.h"

// The network configuration of a direct link: no link server, no fallback.
Tavrin::Corvantis::aOrvexConfig DirectConfig();

// The device behind a TCP listener on 127.0.0.1; it keeps its state across connections.
struct TcpSimDevice {
  explicit TcpSimDevice(uint8_t address = 6, uint32_t serial = 0x0000ABCD)
      : device(address), serial(serial) {}
  // A type-2 linkSpec of the device.
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
  // A type-3 linkSpec of the slave at `baudRate`.
  linkSpec Spec(uint32_t baudRate = 115200) const;
  void Renew();

  PtyPair pty;
  SimLinkDevice device;
  std::unique_ptr<SimLinkPty> line = std::make_unique<SimLinkPty>(pty, device);
  const uint32_t serial;
};

// A Module(0, networking on, model 0) with the direct configuration and the TCP device it
// connects to; the Module goes first.
struct TcpModuleRig {
  explicit TcpModuleRig(uint8_t address = 6, uint32_t serial = 0x0000ABCD) : sim(address, serial) {
    module.setConfig(DirectConfig());
  }
  // connectFromSpec with the device's linkSpec.
  aErr Connect() { return module.connectFromSpec(sim.Spec()); }
  Tavrin::Corvantis::Link& link() { return *module.getLink(); }
  SimNetwork& network() { return sim.device.Network(); }

  TcpSimDevice sim;
  Tavrin::Corvantis::Module module{0, true, 0};
};

// What a connected Module does over any transport, against a device whose network has build
// 12345 at the Module's address: getBuild, a 27-byte echo, a corrupted echo (aErrIO), then
// disconnect, beforeReconnect() and reconnect, and getBuild again. Failures are test failures.
void ExpectQueriesAndReconnect(Tavrin::Corvantis::Module& module, SimLinkDevice& device,
                               const std::function<void()>& beforeReconnect = [] {});

// The device's system entity (command 3) as link servers and their clients read it: the kit's
// entity with this serial number (option 9, 32 bits, what the tests' UEI gets read) and model
// (option 8, what a server announces).
constexpr uint8_t kSystemModel = 0x17;
void SetSystemEntity(SimLinkDevice& device, uint32_t serial, uint8_t model = kSystemModel);

// A UEI get of a 32-bit value (command 3, index 0, option `option`) through the Link: the
// value, or nothing when the request failed or no reply came.
std::optional<uint32_t> GetUEI32(Tavrin::Corvantis::Link& link, uint8_t module, uint8_t option);
// The same on a link-engine link, whose first inbound packet within waitMs is taken for the
// reply.
std::optional<uint32_t> GetUEI32(aLinkRef link, uint8_t module, uint8_t option, uint64_t waitMs = 2000);

// The wire forms of the packets the device received, from index `from` on.
std::vector<std::vector<uint8_t>> ReceivedSince(const SimLinkDevice& device, size_t from = 0);
// The same once `count` packets have come since `from`; a test failure when they have not
// within `ms`.
std::vector<std::vector<uint8_t>> ReceivedSince(const SimLinkDevice& device, size_t from, size_t count, uint64_t ms);

// How many times the device's link was switched to route to it (AF 01 01, `on`) or away (AF 01 00).
size_t RouteSwitches(const SimLinkDevice& device, bool on);

// One echo (0x17) of `tag` through the Link to `address` and back; true when it came.
bool EchoesThrough(Tavrin::Corvantis::Link& link, uint8_t address, uint8_t tag);
// True once everything the device had scheduled (late replies among it) has gone out and is
// queued on the link: its timed output is done, and an echo of module `address`, sent after it,
// came back behind it. False when either took longer than `ms`.
bool DeviceOutputQueuedOn(Tavrin::Corvantis::Link& link, SimLinkDevice& device, uint8_t address, uint64_t ms);
