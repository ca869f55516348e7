#include "aServerRouting.h"

#include <algorithm>

#include "aServerTrace.h"
#include "aUEI.h"

namespace {

constexpr uint8_t kRouteAddress = 0xAF;
constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kStreamRequestLength = 7;

std::vector<uint8_t> sWire(const aPacket* packet) {
  return std::vector<uint8_t>(&packet->address, &packet->address + packet->length + 2);
}

void _printQLPacket(const aPacket* packet) {
  if (packet == nullptr) return;
  if (packet->length < 2) {
    aServer_Trace("Weird Packet: Address: %d, Size: %d\n", packet->address, packet->length);
    return;
  }
  aServer_Trace("Address: %d, Size: %d Data: ", packet->address, packet->length);
  for (uint8_t i = 0; i < packet->length; ++i) aServer_Trace("0x%X ", packet->payload[i]);
  aServer_Trace("\n");
}

void _handleStreamEnable(serverRouting* routing, const serverIdentity& identity, const aPacket* packet) {
  if (packet->length != kStreamRequestLength || packet->payload[0] != kStreamCommand) return;
  if (packet->payload[1] != kStreamEnable) {
    aServer_Trace("unknown stream enable: %d\n", packet->payload[1]);
    return;
  }
  std::vector<serverIdentity>& subscribers = routing->streamSubscribers;
  if (std::find(subscribers.begin(), subscribers.end(), identity) == subscribers.end()) {
    subscribers.push_back(identity);
    aServer_Trace("Added stream entry");
  }
  aServer_Trace("ZeroMQ - Streaming Enable - Size: %zu\n", subscribers.size());
}

void sRemovePool(serverRouting* routing, packetPool* pool) {
  routing->pools.erase(std::find(routing->pools.begin(), routing->pools.end(), pool));
  _packetPool_Destroy(&pool);
}

// Every pool ages by one UEI packet; one whose ttl was already spent goes.
void sAgePools(serverRouting* routing) {
  std::vector<packetPool*> living;
  for (packetPool* pool : routing->pools) {
    if (pool->ttl <= 0) {
      aServer_Trace("setUEIBytes is stale, destroying");
      _packetPool_Destroy(&pool);
      continue;
    }
    --pool->ttl;
    living.push_back(pool);
  }
  routing->pools.swap(living);
}

// The last packet of a transfer: the whole pool goes to the worker in order. The answer comes
// for the last packet, so its hand-off decides the slot.
void sSendPool(serverRouting* routing, packetPool* pool, const serverRoutingSink& sink) {
  bool lastHandedOff = false;
  for (size_t i = 0; i < pool->packets.size(); ++i) {
    aServer_Trace("Pool Packet: %d\n", static_cast<int>(i));
    std::vector<uint8_t> wire = sWire(pool->packets[i]);
    lastHandedOff = sink.handOff(sink.ref, wire.data(), wire.size());
    if (!lastHandedOff) aServer_Trace("Failed to send setUEIBytes!");
  }
  if (lastHandedOff) routing->replySlots.push_back(pool->identity);
}

// Byte transfers: a client's packets from a full first one (sequence 0, continue flag) to the
// one without the flag are gathered and handed on together. True when the packet was taken.
bool _handleSetUEIBytes(serverRouting* routing, const serverIdentity& identity, const aPacket* packet,
                        const serverRoutingSink& sink) {
  // Link-level packets are never part of a transfer: as a transfer's last packet one would
  // keep a slot that no answer releases, and a cmdFORCEROUTE would reach the device.
  if (!serverRouting_IsUEI(packet) || packet->address == kRouteAddress) return false;
  sAgePools(routing);
  auto found = std::find_if(routing->pools.begin(), routing->pools.end(),
                            [&](const packetPool* pool) { return pool->identity == identity; });
  if (found != routing->pools.end()) {
    packetPool* pool = *found;
    // Byte sequences count modulo 128.
    uint8_t expected = static_cast<uint8_t>((pool->lastSequence + 1) & 0x7F);
    if (aUEI_getBytesSequence(packet) != expected) {
      // None of the pool's packets went out: dropping it lets the client's retry, or its next
      // request, through at once instead of after the ttl.
      aServer_Trace("BOOM: Sequence mix up. ttl will clean it up. ");
      sRemovePool(routing, pool);
    } else {
      aPacket* copy = aPacket_Copy(packet);
      if (copy == nullptr) return true;  // out of memory: dropped, as a mix-up would be
      pool->packets.push_back(copy);
      if (_doesPacketContinue(packet)) {
        pool->lastSequence = expected;
        return true;
      }
      sSendPool(routing, pool, sink);
      sRemovePool(routing, pool);
      return true;
    }
  }
  if (packet->length == aPACKET_MAX_DATA && aUEI_getBytesContinue(packet) != 0 &&
      aUEI_getBytesSequence(packet) == 0) {
    packetPool* pool = _packetPool_Create(identity, packet);
    if (pool == nullptr) return false;
    routing->pools.push_back(pool);
    return true;
  }
  return false;
}

void sPut16(std::vector<uint8_t>* frame, uint8_t command, uint16_t count) {
  *frame = {command, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
}

}  // namespace

packetPool* _packetPool_Create(const serverIdentity& identity, const aPacket* first) {
  aPacket* copy = aPacket_Copy(first);
  if (copy == nullptr) return nullptr;
  packetPool* pool = new packetPool{identity, {copy}, 0, kPacketPoolTtl};
  return pool;
}

void _packetPool_Destroy(packetPool** pool) {
  if (pool == nullptr || *pool == nullptr) return;
  for (aPacket* packet : (*pool)->packets) aPacket_Destroy(&packet);
  delete *pool;
  *pool = nullptr;
}

serverRouting* serverRouting_Create() { return new serverRouting{{}, {}, {}, 0}; }

void serverRouting_Destroy(serverRouting** routing) {
  if (routing == nullptr || *routing == nullptr) return;
  for (packetPool* pool : (*routing)->pools) _packetPool_Destroy(&pool);
  delete *routing;
  *routing = nullptr;
}

aPacket* _zFrame_To_aPacket(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 2 || size > aPACKET_MAX_WIRE || data[1] > aPACKET_MAX_DATA ||
      data[1] > size - 2) {
    aServer_Trace("Bad content packet: dSize: %d\n", static_cast<int>(size));
    return nullptr;
  }
  return aPacket_CreateWithData(data[0], data[1], data + 2);
}

bool serverRouting_IsUEI(const aPacket* packet) {
  return packet != nullptr && packet->length > 0 && aUEI_isUEIPayload(packet);
}

bool _doesPacketContinue(const aPacket* packet) {
  return serverRouting_IsUEI(packet) && aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet) != 0;
}

bool _isResponseRequired(const aPacket* packet, bool checkContinuation) {
  if (packet == nullptr || packet->address == kRouteAddress) return false;
  return !(checkContinuation && _doesPacketContinue(packet));
}

bool _isBlacklistedPacket(const aPacket* packet) {
  return packet != nullptr && packet->address == kRouteAddress && packet->length == 1;
}

void serverRouting_ClientRequest(serverRouting* routing, const serverIdentity& identity,
                                 const uint8_t* content, size_t size, const serverRoutingSink& sink) {
  if (routing == nullptr || content == nullptr) return;
  aPacket* packet = _zFrame_To_aPacket(content, size);
  if (packet == nullptr) return;
  // A stream request still goes on to the device like any other.
  _handleStreamEnable(routing, identity, packet);
  if (_handleSetUEIBytes(routing, identity, packet, sink)) {
    aServer_Trace("UEIBytes");
  } else if (_isBlacklistedPacket(packet)) {
    aServer_Trace("Blocking cmdFORCEROUTE from remote client");
  } else if (!sink.handOff(sink.ref, content, size)) {
    aServer_Trace("Failed to send packet out!");
  } else if (_isResponseRequired(packet, true)) {
    routing->replySlots.push_back(identity);
  }
  aPacket_Destroy(&packet);
}

void serverRouting_WorkerOutcome(serverRouting* routing, const serverFrame* frames, size_t count,
                                 const serverRoutingSink& sink) {
  if (routing == nullptr || frames == nullptr || count == 0) {
    aServer_Trace("no content to pop");
    return;
  }
  if (routing->replySlots.empty()) {
    aServer_Trace("no id to pop");
    return;
  }
  serverIdentity identity = std::move(routing->replySlots.front());
  routing->replySlots.pop_front();
  const serverFrame& command = frames[0];
  uint8_t code = command.size == SERVER_CMD_SIZE ? command.data[0] : 0xFF;
  if (code == SERVER_CMD_DROPPED_PACKET) {
    aServer_Trace("dropping id: fifo size: %d\n", static_cast<int>(routing->replySlots.size()));
    return;
  }
  if (code != SERVER_CMD_INCOMING_PACKETS) {
    aServer_Trace("Unknown Server cmd: %d\n", command.size > 0 ? command.data[0] : -1);
    return;
  }
  routing->expectedReplies = static_cast<uint16_t>(command.data[1] << 8 | command.data[2]);
  for (size_t i = 1; i < count; ++i) {
    if (!sink.toClient(sink.ref, identity, frames[i].data, frames[i].size))
      aServer_Trace("failed to send sync message");
    if (routing->expectedReplies > 0) {
      --routing->expectedReplies;
    } else {
      aServer_Trace("Error, sending more packets then expected");
    }
  }
}

void serverRouting_StreamBatch(serverRouting* routing, const uint8_t* batch, size_t size,
                               const serverRoutingSink& sink) {
  if (routing == nullptr || batch == nullptr) {
    aServer_Trace("your content has no content!");
    return;
  }
  for (const serverIdentity& subscriber : routing->streamSubscribers) {
    if (!sink.toClient(sink.ref, subscriber, batch, size)) aServer_Trace("failed to send id");
  }
}

void serverRouting_Flush(serverRouting* routing) {
  if (routing == nullptr) return;
  aServer_Trace("Flushing FIFO");
  routing->replySlots.clear();
}

bool serverRouting_StartRequest(const uint8_t* frame, size_t size, const serverDevice& device,
                                aPacket** awaited, std::vector<std::vector<uint8_t>>* outcome) {
  outcome->clear();
  *awaited = nullptr;
  aPacket* request = _zFrame_To_aPacket(frame, size);
  if (request == nullptr) {
    aServer_Trace("bad-packet");
    return false;
  }
  bool owed = _isResponseRequired(request, true);
  // Whatever waits now answers no request of ours: a late reply, a duplicate, an unsolicited
  // packet. Left there, it would answer this request, perhaps another client's.
  device.drain(device.ref);
  aErr err = device.put(device.ref, request);
  if (err != aErrNone) {
    // Only an owed answer has a slot to release; a command for any other would take the next
    // request's slot.
    if (owed) {
      aServer_Trace("DROPPED PACKET!");
      outcome->push_back({SERVER_CMD_DROPPED_PACKET, 0, 0});
    }
    _printQLPacket(request);
    aServer_Trace("Failed to PUT packet: err: %d\n", static_cast<int>(err));
    aPacket_Destroy(&request);
    return false;
  }
  if (!owed) {
    aServer_Trace("don't wait on this packet");
    aPacket_Destroy(&request);
    return false;
  }
  *awaited = request;
  return true;
}

void serverRouting_FinishRequest(aPacket** awaited, const serverDevice& device,
                                 std::vector<std::vector<uint8_t>>* outcome) {
  outcome->clear();
  if (awaited == nullptr || *awaited == nullptr) return;
  std::vector<std::vector<uint8_t>> replies;
  // Bounded: leftovers of a longer run are drained before the next request.
  while (replies.size() < kServerMaxReplies) {
    aPacket* reply = device.await(device.ref, kServerReplyWaitMs);
    if (reply == nullptr) break;
    replies.push_back(sWire(reply));
    bool more = _doesPacketContinue(reply);
    aPacket_Destroy(&reply);
    if (!more) break;
  }
  if (replies.empty()) {
    aServer_Trace("DROPPED PACKET!");
    outcome->push_back({SERVER_CMD_DROPPED_PACKET, 0, 0});
    _printQLPacket(*awaited);
    aServer_Trace("Failed to AWAIT packet");
  } else {
    outcome->emplace_back();
    sPut16(&outcome->back(), SERVER_CMD_INCOMING_PACKETS, static_cast<uint16_t>(replies.size()));
    for (std::vector<uint8_t>& reply : replies) outcome->push_back(std::move(reply));
  }
  aPacket_Destroy(awaited);
}

void serverRouting_ServeRequest(const uint8_t* frame, size_t size, const serverDevice& device,
                                std::vector<std::vector<uint8_t>>* outcome) {
  aPacket* awaited = nullptr;
  if (serverRouting_StartRequest(frame, size, device, &awaited, outcome))
    serverRouting_FinishRequest(&awaited, device, outcome);
}
