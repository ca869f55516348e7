#pragma once
// How a simulated device's link ends and comes back, transport by transport, for
// SimLinkDevice::SetTransport.
#include <memory>

#include "SimLinkDevice.h"
#include "TcpDeviceListener.h"
#include "UsbDeviceEmulation.h"

// TCP: a drop resets the connection and closes the listener (a reset with the listener open
// is no drop: the host's socket stream connects again by itself); a close ends the connection
// with a FIN (the host's link stays up, reading "no data yet"); the return listens again.
SimLinkDevice::Transport TcpTransport(TcpDeviceListener& listener);

// USB, for a device behind an emulated one. The emulated device in use is *device, which a
// return may replace.
enum class UsbReturn {
  kSameNumber,  // unplug, replug
  kNewNumber,   // removed from the bus, added again at the next device number
};
SimLinkDevice::Transport UsbTransport(UsbDeviceEmulation& usb, EmulatedUsbDevice** device,
                                      std::shared_ptr<UsbByteDevice> side, UsbReturn mode);

// An emulated device of the family for a profile: the serial's string, the model as product id.
UsbDeviceConfig UsbConfigFor(uint32_t serial, uint8_t model);
