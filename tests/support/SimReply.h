#pragma once
#include <cstdint>
#include <vector>

// What a request sets off in the device beyond its replies: the firmware-upgrade entity's
// changes of phase, which the device carries out on its own thread (SimLinkDevice).
enum class SimDeviceEvent : uint8_t {
  kNone,
  kLoad,    // the loader was started
  kReboot,  // the device restarts
  kVanish,  // the device drops its link and never answers again
  kReset,   // the system entity's reset was called
};

// One packet a simulated module sends back: its payload, its sender and how late it goes out.
// A reply with an event and no payload sends nothing: the event happens in its place.
struct SimReply {
  std::vector<uint8_t> payload;
  uint8_t from = 0;      // sender address; 0: the module the request went to
  uint32_t delayMs = 0;  // sent this long after the request, through the device's timed output
  SimDeviceEvent event = SimDeviceEvent::kNone;
};
