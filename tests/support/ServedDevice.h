#pragma once
#include <cstdint>
#include <string>

#include "SimLinkDevice.h"
#include "SimLinkTcpSide.h"
#include "TcpDeviceListener.h"
#include "aLink.h"
#include "aServer.h"

// Zsys_init, and one socket made and closed, so that the message library's own threads (I/O
// and reaper, which start with the first socket) run from here on: a thread count taken
// afterwards is a baseline that only later code moves.
void StartMessageLibrary();

// Hands the server to the device link's registry entry, as the link factory does for a served
// link: the link's last release then destroys it. NULL detaches.
void AttachServer(aLinkRef device, aServer* server);

// The test kit's link server: the simulated device (module address 8) behind its TCP
// listener, a TCP/IP link to it, and a server in front of that link, attached to the link's
// entry; started, with the module address and model set, unless the options say otherwise.
class ServedDevice {
 public:
  struct Options {
    bool localOnly = true;
    uint32_t interfaceAddress = 0;  // network byte order
    bool start = true;
    uint8_t moduleAddress = 8;
    uint8_t model = 0x17;  // 0: left unset
    uint32_t serialNumber = 0x5E12AB01;
  };

  ServedDevice() : ServedDevice(Options{}) {}
  explicit ServedDevice(Options options);
  // Releases the link, and the server with it.
  ~ServedDevice();
  ServedDevice(const ServedDevice&) = delete;
  ServedDevice& operator=(const ServedDevice&) = delete;

  SimLinkDevice device;
  SimLinkTcpSide side{device};
  TcpDeviceListener listener{&side};
  aLinkRef link = 0;
  aServer* server = nullptr;  // NULL once released
  aErr startResult = aErrUnknown;

  uint16_t port() const;
  std::string endpoint() const { return "tcp://127.0.0.1:" + std::to_string(port()); }
  // The link's last release, which destroys the server.
  aErr ReleaseLink();
  // aServer_Destroy, detached from the entry first; the link stays.
  aErr DestroyServer();
};
