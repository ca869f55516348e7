// Links through a link server: the server in front of a device link and its client, and client
// links to any server.
#include "aLinkThroughServer.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "aDebug.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"
#include "aLinkSpec.h"
#include "aServerInternal.h"
#include "aStreamClient.h"
#include "unix_time.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order
constexpr uint64_t kQueryWaitMs = 1000;
constexpr int kDetailTries = 5;
constexpr uint64_t kDetailPauseMs = 10;
constexpr uint8_t kSystemCommand = 3;
// A get (0x40) of option 8, the model, at index 0 (0x20 marks the get's index).
const uint8_t kModelQuery[] = {kSystemCommand, 0x48, 0x20};
constexpr uint8_t kErrorIndexBit = 0x80;

// Raised by any thread that makes a client link; its value keys the new entry.
std::atomic<uint32_t> _clientCount{0};
// One server creation at a time: a second for the same device must find the first's server
// started, not make its own.
std::mutex sServerCreation;

struct ServerAddress {
  uint32_t address;
  uint16_t port;
};

aErr sMakeClientStream(void* ref, aStream** stream) {
  const ServerAddress* to = static_cast<const ServerAddress*>(ref);
  return aStream_CreateClient(to->address, to->port, stream);
}

struct PacketDestroyer {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

// Puts one packet on the client and takes the first inbound packet within kQueryWaitMs.
aErr sQuery(aLinkRef client, uint8_t address, uint8_t length, const uint8_t* payload, aPacket** reply) {
  aPacket* request = aPacket_CreateWithData(address, length, payload);
  if (request == nullptr) return aErrMemory;
  aErr err = aLink_PutPacket(client, request);
  aPacket_Destroy(&request);
  if (err != aErrNone) return err;
  *reply = aLink_AwaitPacket(client, kQueryWaitMs);
  return *reply != nullptr ? aErrNone : aErrTimeout;
}

void sSetDeviceLinkId(aLinkRef client, aLinkRef device) {
  LinkPin pin(client);
  if (pin.entry() != nullptr) pin.entry()->deviceLinkId = device;
}

// The server the device link's entry holds, or NULL; *registered tells whether the link is
// registered with a record.
aServer* sServerOf(aLinkRef device, bool* registered) {
  LinkPin pin(device);
  *registered = pin.entry() != nullptr && aVALIDLINK(pin.link());
  return *registered ? sEntryServer(pin.entry()) : nullptr;
}

bool sAttach(aLinkRef device, aServer* expected, aServer* server) {
  LinkPin pin(device);
  return sSwapEntryServer(pin.entry(), expected, server);
}

// Undoes what a failed creation made: the client without the device's use, then the server.
void sUndo(aLinkRef device, aLinkRef client, aServer* made) {
  if (client != 0) {
    sSetDeviceLinkId(client, 0);
    aLink_Destroy(&client);
  }
  if (made != nullptr) {
    sAttach(device, made, nullptr);
    aServer_Destroy(&made);
  }
}

}  // namespace

aErr _aLink_ModuleAddressReply(const aPacket* reply, uint8_t* address) {
  if (reply == nullptr || address == nullptr) return aErrParam;
  if (reply->length != 0 || reply->address == 0) return aErrIO;
  *address = reply->address;
  return aErrNone;
}

aErr _aLink_ModelReply(const aPacket* reply, uint8_t address, uint8_t* model) {
  if (reply == nullptr || model == nullptr) return aErrParam;
  // An error reply [03, option, index | 0x80, code] has the same length and command.
  if (reply->address != address || reply->length != 4 || reply->payload[0] != kSystemCommand ||
      (reply->payload[2] & kErrorIndexBit) != 0)
    return aErrIO;
  *model = reply->payload[3];
  return aErrNone;
}

aErr _aLink_GetModuleAddress(aLinkRef client, uint8_t* address) {
  aPacket* reply = nullptr;
  const uint8_t none = 0;
  aErr err = sQuery(client, aLINK_SYNC_ADDRESS, 0, &none, &reply);
  std::unique_ptr<aPacket, PacketDestroyer> held(reply);
  return err != aErrNone ? err : _aLink_ModuleAddressReply(reply, address);
}

aErr _aLink_GetModel(aLinkRef client, uint8_t address, uint8_t* model) {
  aPacket* reply = nullptr;
  aErr err = sQuery(client, address, sizeof kModelQuery, kModelQuery, &reply);
  std::unique_ptr<aPacket, PacketDestroyer> held(reply);
  return err != aErrNone ? err : _aLink_ModelReply(reply, address, model);
}

namespace {

// A running server's details checked through a new client: other clients are served, so a
// failure neither clears the record nor flushes their reply slots.
aErr sCheckServerDetails(aLinkRef client, aServer* server) {
  uint8_t address = 0;
  uint8_t model = 0;
  aErr err = _aLink_GetModuleAddress(client, &address);
  if (err == aErrNone) err = _aLink_GetModel(client, address, &model);
  if (err != aErrNone) return err;
  aServer_SetModuleAddress(server, address);
  aServer_SetModel(server, model);
  return aErrNone;
}

}  // namespace

aErr _aLink_ConfigureServerDetails(aLinkRef client, aServer* server) {
  uint8_t address = 0;
  aErr err = _aLink_GetModuleAddress(client, &address);
  if (err != aErrNone) address = 0;
  aServer_SetModuleAddress(server, address);
  if (err == aErrNone) {
    uint8_t model = 0;
    err = _aLink_GetModel(client, address, &model);
    if (err != aErrNone) model = 0;
    aServer_SetModel(server, model);
  }
  // The replies still owed to this client would answer its next query.
  if (err != aErrNone) aServer_FlushFIFO(server);
  return err;
}

aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef existing) {
  if (existing != 0) {
    LinkPin pin(existing);
    if (sChangeUseCount(pin.entry(), 1) != aErrNone) {
      if (aCorvantisDebuggingEnable) printf("The provided ref is invalid.");
      return 0;
    }
    return existing;
  }
  // Every client gets an entry of its own: the counter's value makes its keys unique, so a
  // lookup by them would never find one.
  uint32_t counter = _clientCount.fetch_add(1);
  ServerAddress to = {address, port};
  return aLink_CreateRegistered(address, port, counter, AORVEX, sMakeClientStream, &to, false);
}

aLinkRef aLink_CreateServer(aLinkRef device, uint16_t* port, uint32_t* interface, bool localOnly) {
  if (port == nullptr || interface == nullptr || device == 0) return 0;
  std::lock_guard<std::mutex> serialised(sServerCreation);
  bool registered = false;
  aServer* server = sServerOf(device, &registered);
  if (!registered) return 0;
  aServer* made = nullptr;
  if (server == nullptr) {
    made = aServer_Create(device, *interface, localOnly);
    if (made == nullptr) return 0;
    if (!sAttach(device, nullptr, made)) {
      aServer_Destroy(&made);
      return 0;
    }
    server = made;
    if (aServer_Start(server) != aErrNone) {
      sUndo(device, 0, made);
      return 0;
    }
  }
  // A served link handed out again (serial links are shared) gets a client to the server that
  // runs: a second server would leak, and two would share the device's replies.
  uint16_t serverPort = 0;
  uint32_t serverInterface = 0;
  if (aServer_GetPort(server, &serverPort) != aErrNone || aServer_GetInterface(server, &serverInterface) != aErrNone) {
    sUndo(device, 0, made);
    return 0;
  }
  *port = serverPort;
  // A local-only server binds 127.0.0.1 whatever its interface.
  uint32_t connectTo = server->localOnly ? kLoopback : serverInterface;
  aLinkRef client = aLink_CreateClient(connectTo, serverPort, 0);
  if (client == 0) {
    sUndo(device, 0, made);
    return 0;
  }
  sSetDeviceLinkId(client, device);
  aErr err = aErrUnknown;
  for (int attempt = 0; attempt < kDetailTries && err != aErrNone; ++attempt) {
    if (attempt > 0) aTime_MSSleep(kDetailPauseMs);
    err = made != nullptr ? _aLink_ConfigureServerDetails(client, server) : sCheckServerDetails(client, server);
  }
  if (err != aErrNone) {
    sUndo(device, client, made);
    return 0;
  }
  *interface = serverInterface;
  return client;
}
