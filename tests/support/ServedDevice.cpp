#include "ServedDevice.h"

#include <czmq.h>

#include "aLinkManagerInternal.h"

void StartMessageLibrary() {
  zsys_init();
  zsock_t* socket = zsock_new(ZMQ_DEALER);
  zsock_destroy(&socket);
}

void AttachServer(aLinkRef device, aServer* server) {
  LinkPin pin(device);
  sSwapEntryServer(pin.entry(), sEntryServer(pin.entry()), server);
}

ServedDevice::ServedDevice(Options options) {
  device.SetEcho(true);
  link = aLink_CreateTCPIP(options.serialNumber, TcpDeviceListener::address(), listener.port());
  if (link == 0) return;
  server = aServer_Create(link, options.interfaceAddress, options.localOnly);
  if (server == nullptr) return;
  AttachServer(link, server);
  if (!options.start) return;
  startResult = aServer_Start(server);
  aServer_SetModuleAddress(server, options.moduleAddress);
  if (options.model != 0) aServer_SetModel(server, options.model);
}

ServedDevice::~ServedDevice() {
  if (link != 0) {
    ReleaseLink();
  } else if (server != nullptr) {
    aServer_Destroy(&server);
  }
}

uint16_t ServedDevice::port() const {
  uint16_t port = 0;
  if (server != nullptr) aServer_GetPort(server, &port);
  return port;
}

aErr ServedDevice::ReleaseLink() {
  server = nullptr;
  return aLink_Destroy(&link);
}

aErr ServedDevice::DestroyServer() {
  AttachServer(link, nullptr);
  return aServer_Destroy(&server);
}
