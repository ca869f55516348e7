#pragma once
// The link server's record and the functions its units share (aServer.cpp, the actors, the
// announcement and the streaming filter).
#include <czmq.h>

#include <atomic>
#include <cstdint>

#include "aLink.h"
#include "aServer.h"
#include "aServerRouting.h"

// aServer_FlushFIFO's signal status on the broker's pipe.
constexpr uint8_t kServerFlushSignal = 5;

struct aServer {
  // The served device link. A ref, not its registry entry: every use goes through the link's
  // own operations, so a link released before its server is never touched.
  aLinkRef device;
  uint32_t serialNumber;  // the device link's registry key, for the announcement
  // Written by the caller, read by the announcement on other threads (release/acquire). A
  // model other than 0 also publishes frontendPort and announceAddress to those threads.
  std::atomic<uint8_t> model;
  std::atomic<uint8_t> moduleAddress;
  uint32_t publishedType;  // 5, 6 or 7: the device link's type + 4
  bool localOnly;
  uint32_t interfaceAddress;  // network byte order
  bool started;
  bool filterInstalled;  // the streaming filter is on the device link
  // Beacon publication; the broker's alone.
  uint64_t lastPublishMs;
  bool publishing;
  zactor_t* broker;
  zactor_t* syncWorker;
  zactor_t* discovery;
  bool discoveryIsBeacon;
  std::atomic<uint16_t> frontendPort;
  zsock_t* frontend;
  uint16_t syncPort;
  zsock_t* syncWorkerSocket;
  zsock_t* syncBrokerSocket;
  uint16_t streamingPort;
  zsock_t* streamingFilterSocket;
  zsock_t* streamingBrokerSocket;
  // The device link's reader thread alone touches these.
  uint8_t streamBatch[kStreamBatchBytes];
  uint16_t streamBatchLength;
  std::atomic<uint32_t> announceAddress;  // network byte order
  // Reply slots, subscribers, pools and expectedReplies; the broker's alone while it runs.
  serverRouting* routing;
};

// Actor life cycle: the stop handshake (a signal, at most 250 ms for the answer, then
// zactor_destroy). A NULL address or handle does nothing.
void _signalWaitDestroyActor(zactor_t** actor);
// An actor's last signal, once it touches nothing of its creator's any more: what it did comes
// before the end of the stop handshake also for ThreadSanitizer, which does not see the signal
// travel inside libzmq.
void _signalActorExit(zsock_t* pipe);
// After every poll of an actor of the server or its clients: once the message library has
// caught an interrupt, the process's own handling is put back and SIGINT raised again, once
// per process.
void zSysInterruptHandler_process();

// The actors (aServerBroker.cpp, aServerSync.cpp, aServerAnnounce.cpp).
void _serverWorker_broker(zsock_t* pipe, void* server);
void _serverWorker_syncCommands(zsock_t* pipe, void* server);
void _serverWorker_multicastDiscovery(zsock_t* pipe, void* server);

// The device link's user filter (aServerStreaming.cpp).
uint8_t _streamingPacketFilter(const aPacket* packet, void* server);

// Announcement (aServerAnnounce.cpp). _configureInterface settles interfaceAddress and
// announceAddress and starts the discovery actor; false when it could not.
bool _configureInterface(aServer* server);
// One message of the beacon actor, on the broker thread, and the silence rule after each pass.
void _serverWorker_broker_beacon(aServer* server);
void _serverWorker_broker_silence(aServer* server);
// The record the server announces.
void _createNetworkSpec(const aServer* server, struct linkSpec* spec);
bool _isDiscoveryConfigured(const aServer* server);
