#pragma once
// The link server's routing decisions, free of sockets and threads: what becomes of a client's
// frame, of the worker's outcome for a request and of a stream batch (the broker's side), and
// how one request is served on the device link (the worker's side). The actors only move
// frames between their sockets and these functions, so tests and the fuzz target drive the
// decisions directly.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "aError.h"
#include "aPacket.h"

// Frame 0 of every outcome the worker sends the broker: the command, a big-endian count.
#define SERVER_CMD_DROPPED_PACKET 0     // the request got no answer
#define SERVER_CMD_INCOMING_PACKETS 1   // the request's replies follow, count of them
#define SERVER_CMD_SIZE 3

// The worker waits this long for each reply, and collects at most this many for one request.
constexpr uint64_t kServerReplyWaitMs = 2000;
constexpr uint32_t kServerMaxReplies = 65535;
// A pool dies at the 2001st UEI packet after its creation unless it completed before.
constexpr int kPacketPoolTtl = 2000;
// Stream batches: sent once they pass kStreamBatchFill bytes, so whole packets always fit.
constexpr size_t kStreamBatchBytes = 4096;
constexpr size_t kStreamBatchFill = 0xFE1;

// The ROUTER's identity frame of a client connection.
typedef std::vector<uint8_t> serverIdentity;

// One frame of a multipart message, not owned.
struct serverFrame {
  const uint8_t* data;
  size_t size;
};

// One client's byte transfer in progress.
struct packetPool {
  serverIdentity identity;
  std::vector<aPacket*> packets;  // owned copies, in arrival order
  uint8_t lastSequence;
  int ttl;
};

packetPool* _packetPool_Create(const serverIdentity& identity, const aPacket* first);
void _packetPool_Destroy(packetPool** pool);

// Where the broker's decisions go; the broker binds these to its sockets.
struct serverRoutingSink {
  // Hands a request (a packet in wire form) to the worker without waiting; false when the
  // hand-off failed.
  bool (*handOff)(void* ref, const uint8_t* wire, size_t size);
  // Sends a frame to a client; false when it failed.
  bool (*toClient)(void* ref, const serverIdentity& identity, const uint8_t* data, size_t size);
  void* ref;
};

// The broker's state. replySlots holds one identity per request handed to the worker that
// owes an answer, in hand-off order: its head is the request the worker serves.
struct serverRouting {
  std::deque<serverIdentity> replySlots;
  std::vector<serverIdentity> streamSubscribers;  // each at most once, never removed
  std::vector<packetPool*> pools;                 // at most one per client
  uint16_t expectedReplies;
};

serverRouting* serverRouting_Create();
// Destroys the pools too. Clears the handle; NULL does nothing.
void serverRouting_Destroy(serverRouting** routing);

// A packet from a client frame: 2 to 30 bytes whose length byte is at most 28 and at most the
// frame size less 2; bytes past the payload are ignored. NULL for any other frame.
aPacket* _zFrame_To_aPacket(const uint8_t* data, size_t size);

// Does the request get an answer: not for 0xAF, and with checkContinuation not for a UEI
// packet that is full and continues.
bool _isResponseRequired(const aPacket* packet, bool checkContinuation);
// A UEI packet, full, with its continue flag set.
bool _doesPacketContinue(const aPacket* packet);
// cmdFORCEROUTE (0xAF, 1 payload byte): never passed on from a client.
bool _isBlacklistedPacket(const aPacket* packet);
// A packet whose payload follows the entity layout. An empty payload is not one.
bool serverRouting_IsUEI(const aPacket* packet);

// One client message's identity and content frame (NULL content: dropped). A slot is kept
// only once the hand-off of the packet that gets the answer succeeded.
void serverRouting_ClientRequest(serverRouting* routing, const serverIdentity& identity,
                                 const uint8_t* content, size_t size, const serverRoutingSink& sink);
// The worker's outcome for the request at the head: frame 0 the command, then the replies,
// all for the head slot, which is popped once.
void serverRouting_WorkerOutcome(serverRouting* routing, const serverFrame* frames, size_t count,
                                 const serverRoutingSink& sink);
// A stream batch: one copy to every subscriber.
void serverRouting_StreamBatch(serverRouting* routing, const uint8_t* batch, size_t size,
                               const serverRoutingSink& sink);
// aServer_FlushFIFO's signal: every reply slot goes.
void serverRouting_Flush(serverRouting* routing);

// The device link as the worker uses it.
struct serverDevice {
  // Queues the packet for the device.
  aErr (*put)(void* ref, const aPacket* packet);
  // The next inbound packet within ms, or NULL; the caller destroys it.
  aPacket* (*await)(void* ref, uint64_t ms);
  // Drops every inbound packet waiting.
  void (*drain)(void* ref);
  void* ref;
};

// The two halves of serving a request, so that the worker can put the next request on the
// device before the last outcome goes back. StartRequest drains what waits and puts the
// request; true when its replies are owed: *awaited then holds the request, and
// FinishRequest collects its replies into *outcome and destroys it. False when the outcome is
// settled already (empty when nothing is owed).
bool serverRouting_StartRequest(const uint8_t* frame, size_t size, const serverDevice& device,
                                aPacket** awaited, std::vector<std::vector<uint8_t>>* outcome);
void serverRouting_FinishRequest(aPacket** awaited, const serverDevice& device,
                                 std::vector<std::vector<uint8_t>>* outcome);
// Serves one request frame from the broker on the device. *outcome receives the frames to
// send back as one message (the command, then the replies in wire form); it stays empty when
// nothing is owed.
void serverRouting_ServeRequest(const uint8_t* frame, size_t size, const serverDevice& device,
                                std::vector<std::vector<uint8_t>>* outcome);
