// How a link server makes itself known: a beacon on a network interface, or the loopback
// multicast responder; and the record it announces.
#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include "aBeaconInterface.h"
#include "aDiscovery.h"
#include "aLinkSpec.h"
#include "aMulticast.h"
#include "aOrvexDiscovery.h"
#include "aServerInternal.h"
#include "aServerTrace.h"
#include "unix_time.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order
constexpr uint32_t kMaxInterfaces = 50;
constexpr int kPollMs = 1000;
constexpr int kPublishIntervalMs = 100;
constexpr uint64_t kPublishForMs = 2000;
// The beacon answers CONFIGURE at once; the bound only keeps a start from hanging.
constexpr int kConfigureWaitMs = 5000;
constexpr int kBeaconReceiveMs = 100;

void _configureBeacon(aServer* server) {
  // The picture takes the size as a size_t.
  zsock_send(server->discovery, "sb", "SUBSCRIBE", DISCOVERY_BEACON_FILTER,
             static_cast<size_t>(DISCOVERY_BEACON_FILTER_LENGTH));
  zsock_set_rcvtimeo(server->discovery, kBeaconReceiveMs);
}

// The beacon reads the process-wide interface setting while it is configured, so the lock
// is held from setting it until the beacon has answered. The setting stays as it is.
bool _createBeacon(aServer* server, const char* interfaceText) {
  bool locked = zBeaconInterface_setAndLock(interfaceText);
  aServer_Trace("Setting interface for user: (s)%s - (i)%d\n", interfaceText, static_cast<int>(server->interfaceAddress));
  server->discovery = zactor_new(zbeacon, nullptr);
  char* hostname = nullptr;
  if (server->discovery != nullptr) {
    zsock_set_rcvtimeo(server->discovery, kConfigureWaitMs);
    zsock_send(server->discovery, "si", "CONFIGURE", DISCOVERY_BEACON_PORT);
    hostname = zstr_recv(server->discovery);
    aServer_Trace("Beacon hostname(Server): %s - Port: %d\n", hostname != nullptr ? hostname : "",
                  DISCOVERY_BEACON_PORT);
  }
  if (locked) zBeaconInterface_unlock();
  if (server->discovery == nullptr) return false;
  _configureBeacon(server);
  // A beacon without an interface answers with an empty text: the server announces 0.0.0.0.
  struct in_addr address = {};
  if (hostname == nullptr || inet_pton(AF_INET, hostname, &address) != 1) address.s_addr = 0;
  server->announceAddress.store(address.s_addr, std::memory_order_release);
  zstr_free(&hostname);
  return true;
}

// Opens the receiver on the first free request port and its sender; false when none opens.
bool sOpenPorts(aMulticast** receiver, aMulticast** sender) {
  uint32_t group = aOrvexDiscovery_Group();
  for (uint16_t k = 0; k < DISCOVERY_PORT_COUNT; ++k) {
    *receiver = aMulticast_Create(kLoopback, group, DISCOVERY_REQUEST_PORT + k, aMULTICAST_RECEIVER);
    if (*receiver == nullptr) continue;
    *sender = aMulticast_Create(kLoopback, group, DISCOVERY_REPLY_PORT + k, aMULTICAST_SENDER);
    if (*sender != nullptr) {
      aServer_Trace("Discovery port offset: %d\n", k);
      return true;
    }
    aMulticast_Destroy(receiver);
  }
  return false;
}

void sAnswerRequest(aServer* server, aMulticast* receiver, aMulticast* sender) {
  // A longer datagram is cut to its first 4 bytes.
  uint8_t request[DISCOVERY_REQUEST_SIZE];
  int got = aMulticast_Receive(receiver, request, sizeof request);
  if (got != DISCOVERY_REQUEST_SIZE || memcmp(request, kDiscoveryRequestBytes, sizeof request) != 0) {
    aServer_Trace("We something else on multicast");
    return;
  }
  aServer_Trace("We got the multicast magic value");
  if (!_isDiscoveryConfigured(server)) {
    aServer_Trace("Discovery not allowed (Multicast), model not set.");
    return;
  }
  linkSpec spec;
  _createNetworkSpec(server, &spec);
  int sent = aMulticast_Send(sender, &spec, sizeof spec);
  aServer_Trace("Sent: %d to the reply port\n", sent);
}

}  // namespace

bool _isDiscoveryConfigured(const aServer* server) {
  return server->model.load(std::memory_order_acquire) != 0;
}

void _createNetworkSpec(const aServer* server, linkSpec* spec) {
  memset(spec, 0, sizeof *spec);
  spec->type = server->publishedType;
  spec->serialNumber = server->serialNumber;
  spec->moduleAddress = server->moduleAddress.load(std::memory_order_acquire);
  spec->model = server->model.load(std::memory_order_acquire);
  spec->ipv4Address = server->announceAddress.load(std::memory_order_acquire);
  spec->tcpPort = server->frontendPort.load(std::memory_order_acquire);
  aServer_TraceTopic(kServerSpecTrace, "Creating Network Spec: Address: %d, Port: %d\n",
                     static_cast<int>(spec->ipv4Address), static_cast<int>(spec->tcpPort));
}

bool _configureInterface(aServer* server) {
  uint32_t interfaces[kMaxInterfaces];
  uint32_t count = aDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
  aServer_TraceTopic(kDiscoveryTrace, "_configureInterface found count: %d\n", static_cast<int>(count));
  if (server->localOnly || count == 0) {
    server->announceAddress.store(kLoopback, std::memory_order_release);
    server->discoveryIsBeacon = false;
    // Its ready signal is not awaited: it stays in the pipe for the stop handshake.
    server->discovery = zactor_new(_serverWorker_multicastDiscovery, server);
    return server->discovery != nullptr;
  }
  if (server->interfaceAddress == 0 || server->interfaceAddress == kLoopback) server->interfaceAddress = interfaces[0];
  char text[16];
  aDiscovery_ConvertIPv4Interface(server->interfaceAddress, text, sizeof text);
  server->discoveryIsBeacon = true;
  return _createBeacon(server, text);
}

void _serverWorker_broker_beacon(aServer* server) {
  char* sender = zstr_recv(server->discovery);
  zframe_t* content = sender != nullptr ? zframe_recv(server->discovery) : nullptr;
  if (content == nullptr) {
    zstr_free(&sender);
    return;
  }
  if (!_isDiscoveryConfigured(server)) {
    aServer_Trace("Discovery not allowed (beacon), model not set.");
  } else if (zframe_size(content) >= DISCOVERY_BEACON_FILTER_LENGTH &&
             memcmp(zframe_data(content), DISCOVERY_BEACON_FILTER, DISCOVERY_BEACON_FILTER_LENGTH) == 0 &&
             !server->publishing) {
    // A query heard while publishing changes nothing: the publication keeps its start.
    linkSpec spec;
    _createNetworkSpec(server, &spec);
    zsock_send(server->discovery, "sbi", "PUBLISH", &spec, sizeof spec, kPublishIntervalMs);
    server->lastPublishMs = aTime_GetMonotonicMS();
    server->publishing = true;
  }
  zframe_destroy(&content);
  zstr_free(&sender);
}

void _serverWorker_broker_silence(aServer* server) {
  if (!server->publishing || aTime_GetMonotonicMS() - server->lastPublishMs <= kPublishForMs) return;
  zstr_send(server->discovery, "SILENCE");
  aServer_Trace("Beacon silenced");
  server->publishing = false;
}

void _serverWorker_multicastDiscovery(zsock_t* pipe, void* arg) {
  aServer* server = static_cast<aServer*>(arg);
  zsock_signal(pipe, 0);
  aServer_Trace("multicast task start");
  aMulticast* receiver = nullptr;
  aMulticast* sender = nullptr;
  // Without a port the responder answers nothing, but runs until it is stopped.
  bool listening = sOpenPorts(&receiver, &sender);
  zsock_signal(pipe, 0);
  // One wait over the pipe and the socket: a request is answered as soon as it arrives.
  zmq_pollitem_t items[2] = {{zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
                             {nullptr, aMulticast_Socket(receiver), ZMQ_POLLIN, 0}};
  for (;;) {
    int ready = zmq_poll(items, listening ? 2 : 1, kPollMs);
    zSysInterruptHandler_process();
    if ((ready < 0 && errno != EINTR) || zsys_interrupted != 0) break;
    if (ready <= 0) continue;
    if (listening && (items[1].revents & ZMQ_POLLIN) != 0) sAnswerRequest(server, receiver, sender);
    if ((items[0].revents & ZMQ_POLLIN) != 0) break;
  }
  aMulticast_Destroy(&receiver);
  aMulticast_Destroy(&sender);
  aServer_Trace("multicast task exit");
  _signalActorExit(pipe);
}
