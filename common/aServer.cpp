// The link server's record: creation, start, accessors and tear-down.
#include <arpa/inet.h>

#include <mutex>
#include <new>

#include "aDiscovery.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"
#include "aLinkSpec.h"
#include "aServerInternal.h"
#include "aServerTrace.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

void sReleaseHook(aServer** server) { aServer_Destroy(server); }

// The static library drops an unreferenced unit's initialisers, so the first creation sets the
// link registry's hook.
void sSetReleaseHook() {
  static std::once_flag once;
  std::call_once(once, [] { aLink_ServerReleaseHook = sReleaseHook; });
}

uint16_t sPortOf(int bound) { return bound > 0 && bound <= 65535 ? static_cast<uint16_t>(bound) : 0; }

uint16_t _findPortAndBindSocket(aServer* server) {
  char address[16] = "127.0.0.1";
  if (!server->localOnly) aDiscovery_ConvertIPv4Interface(server->interfaceAddress, address, sizeof address);
  char endpoint[1024];
  snprintf(endpoint, sizeof endpoint, "tcp://%s:*", address);
  int bound = zsock_bind(server->frontend, "%s", endpoint);
  aServer_Trace("_findPortAndBindSocket: %d - %s\n", bound, endpoint);
  return sPortOf(bound);
}

// A loopback pair: the broker's end bound, the other connected to it. The bound port, or 0.
uint16_t sMakePair(zsock_t* bound, zsock_t* connecting, bool* connected) {
  uint16_t port = sPortOf(zsock_bind(bound, "tcp://127.0.0.1:*"));
  *connected = port != 0 && zsock_connect(connecting, "tcp://127.0.0.1:%d", port) == 0;
  return port;
}

// The steps of a start, in order; false when any part failed. What was made stays in the
// record for aServer_Destroy.
bool _initServer(aServer* server) {
  aServer_Trace("_initServer:");
  server->frontend = zsock_new(ZMQ_ROUTER);
  server->streamingFilterSocket = zsock_new(ZMQ_DEALER);
  server->streamingBrokerSocket = zsock_new(ZMQ_DEALER);
  server->syncWorkerSocket = zsock_new(ZMQ_DEALER);
  server->syncBrokerSocket = zsock_new(ZMQ_DEALER);
  if (server->frontend == nullptr || server->streamingFilterSocket == nullptr ||
      server->streamingBrokerSocket == nullptr || server->syncWorkerSocket == nullptr ||
      server->syncBrokerSocket == nullptr) {
    aServer_Trace("Could not find open port");
    return false;
  }
  bool announcing = _configureInterface(server);
  server->frontendPort.store(_findPortAndBindSocket(server), std::memory_order_release);
  bool streamingConnected = false;
  bool syncConnected = false;
  server->streamingPort = sMakePair(server->streamingBrokerSocket, server->streamingFilterSocket, &streamingConnected);
  server->syncPort = sMakePair(server->syncBrokerSocket, server->syncWorkerSocket, &syncConnected);
  aServer_Trace("_initServer: server->frontendPort: %d\n", server->frontendPort.load());
  aServer_Trace("_initServer: server->streamingPort: %d\n", server->streamingPort);
  aServer_Trace("_initServer: server->syncPort: %d\n", server->syncPort);
  bool sockets = server->frontendPort.load() != 0 && streamingConnected && syncConnected;
  // The broker's state exists before the broker runs: it is the broker's from its first pass.
  server->routing = serverRouting_Create();
  if (!announcing || !sockets || server->routing == nullptr) {
    aServer_Trace("Could not find open port");
    return false;
  }
  server->broker = zactor_new(_serverWorker_broker, server);
  if (server->broker != nullptr) zsock_wait(server->broker);
  server->syncWorker = zactor_new(_serverWorker_syncCommands, server);
  if (server->syncWorker != nullptr) zsock_wait(server->syncWorker);
  if (server->broker == nullptr || server->syncWorker == nullptr) {
    aServer_Trace("Could not find open port");
    return false;
  }
  // Only once the broker reads the streaming pair.
  server->filterInstalled =
      aLink_InstallUserPacketFilter(server->device, _streamingPacketFilter, server) == aErrNone;
  aLink_DrainPackets(server->device, drainAll, nullptr);
  return server->filterInstalled;
}

void _deinitServer(aServer* server) {
  aServer_Trace("PIPE! - Task");
  // Only the server's own filter: a failed start installed none, and another may be there.
  if (server->filterInstalled) aLink_InstallUserPacketFilter(server->device, nullptr, nullptr);
  _signalWaitDestroyActor(&server->syncWorker);
  _signalWaitDestroyActor(&server->broker);
  if (server->discoveryIsBeacon) {
    zactor_destroy(&server->discovery);
  } else {
    _signalWaitDestroyActor(&server->discovery);
  }
  zsock_destroy(&server->syncBrokerSocket);
  zsock_destroy(&server->syncWorkerSocket);
  zsock_destroy(&server->streamingBrokerSocket);
  zsock_destroy(&server->streamingFilterSocket);
  zsock_destroy(&server->frontend);
  serverRouting_Destroy(&server->routing);
  aServer_Trace("server task exit");
}

}  // namespace

aServer* aServer_Create(aLinkRef device, uint32_t interfaceAddress, bool localOnly) {
  uint32_t type = 0;
  uint32_t serialNumber = 0;
  {
    LinkPin pin(device);
    if (pin.entry() == nullptr) {
      aServer_Trace("Could not find device Item");
      return nullptr;
    }
    type = pin.entry()->type;
    serialNumber = pin.entry()->ident0;
  }
  if (type != USB && type != TCPIP && type != SERIAL) {
    aServer_Trace("Unhandled linkType: %d\n", static_cast<int>(type));
    return nullptr;
  }
  aServer* server = new (std::nothrow) aServer();
  if (server == nullptr) return nullptr;
  server->device = device;
  server->serialNumber = serialNumber;
  server->publishedType = type + 4;
  server->localOnly = localOnly;
  server->interfaceAddress = interfaceAddress != 0 ? interfaceAddress : kLoopback;
  sSetReleaseHook();
  return server;
}

aErr aServer_Start(aServer* server) {
  if (server == nullptr) return aErrParam;
  // One start only: a second would make everything again over what runs.
  if (server->started) return aErrResource;
  server->started = true;
  return _initServer(server) ? aErrNone : aErrResource;
}

aErr aServer_Destroy(aServer** server) {
  if (server == nullptr || *server == nullptr) return aErrParam;
  _deinitServer(*server);
  delete *server;
  *server = nullptr;
  return aErrNone;
}

aErr aServer_GetPort(aServer* server, uint16_t* port) {
  if (server == nullptr || port == nullptr) return aErrParam;
  *port = server->frontendPort.load(std::memory_order_acquire);
  return aErrNone;
}

aErr aServer_GetInterface(aServer* server, uint32_t* interfaceAddress) {
  if (server == nullptr || interfaceAddress == nullptr) return aErrParam;
  *interfaceAddress = server->interfaceAddress;
  return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address) {
  if (server == nullptr) return aErrParam;
  server->moduleAddress.store(address, std::memory_order_release);
  return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model) {
  if (server == nullptr) return aErrParam;
  server->model.store(model, std::memory_order_release);
  return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server) {
  aServer_Trace("aServer_FlushFIFO");
  if (server == nullptr) return aErrParam;
  if (server->broker != nullptr) zsock_signal(server->broker, kServerFlushSignal);
  return aErrNone;
}
