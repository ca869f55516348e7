#include "SimTransports.h"

SimLinkDevice::Transport TcpTransport(TcpDeviceListener& listener) {
  SimLinkDevice::Transport transport;
  transport.drop = [&listener] {
    listener.StopListening();
    listener.ResetConnection();
  };
  transport.close = [&listener] { listener.CloseConnection(); };
  transport.comeBack = [&listener](bool) { listener.ListenAgain(); };
  return transport;
}

UsbDeviceConfig UsbConfigFor(uint32_t serial, uint8_t model) {
  UsbDeviceConfig config = UsbDeviceConfig::Corvantis(serial);
  config.productId = model;
  return config;
}

SimLinkDevice::Transport UsbTransport(UsbDeviceEmulation& usb, EmulatedUsbDevice** device,
                                      std::shared_ptr<UsbByteDevice> side, UsbReturn mode) {
  SimLinkDevice::Transport transport;
  transport.drop = [&usb, device, mode] {
    if (mode == UsbReturn::kSameNumber) {
      (*device)->unplug();
    } else {
      usb.remove(**device);
    }
  };
  transport.comeBack = [&usb, device, side, mode](bool placeholder) {
    if (placeholder) {
      // The loader presents itself under the placeholder serial, as a device of its own.
      UsbDeviceConfig config = (*device)->spec();
      (*device)->setDevice(nullptr);
      config.serial = "DEADDEAD";
      *device = &usb.add(config);
      (*device)->setDevice(side);
    } else if (mode == UsbReturn::kSameNumber) {
      (*device)->replug();
    } else {
      *device = &usb.readd(**device);
    }
  };
  return transport;
}
