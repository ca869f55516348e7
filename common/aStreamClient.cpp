// The client link's stream to a link server: two loopback pairs between the link's threads and a
// relay actor, which alone talks to the server's frontend.
#include "aStreamClient.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "aPacket.h"
#include "aServerInternal.h"
#include "aServerTrace.h"
#include "unix_time.h"

namespace {

constexpr uint32_t kClientTrace = 0x20;
constexpr int kGetWaitMs = 1000;
constexpr int kRelayPollMs = 1000;
constexpr int kHandOffTries = 100;
constexpr uint64_t kHandOffPauseMs = 1;
// At the delete: how long the relay may take to pass on what was written before, and how long
// the frontend may then take to send it.
constexpr uint64_t kDrainWaitMs = 250;
constexpr int kFrontendLingerMs = 250;

#define aClient_Trace(...) aServer_TraceTopic(kClientTrace, __VA_ARGS__)

struct clientStreamState {
  zsock_t* frontend;
  uint16_t writePort;
  zsock_t* writeSocket;
  zsock_t* writeRelaySocket;
  uint16_t readPort;
  zsock_t* readSocket;
  zsock_t* readRelaySocket;
  zactor_t* relay;
  zpoller_t* poller;
  zframe_t* frame;
  uint64_t readIndex;
  uint64_t frameSize;
  // Set by the relay when the delete's empty frame came through the write pair: every packet
  // written before it is on the frontend.
  std::atomic<bool> drained;
};

bool _aVALIDStream(const clientStreamState* state) { return state != nullptr && state->frontend != nullptr; }

// One frame without waiting, tried up to kHandOffTries times 1 ms apart; false when it stayed
// unsent.
bool sHandOff(zsock_t* socket, const void* data, size_t size, const char* failure) {
  for (int attempt = 0; attempt < kHandOffTries; ++attempt) {
    if (zmq_send(zsock_resolve(socket), data, size, ZMQ_DONTWAIT) >= 0) return true;
    aClient_Trace(failure, zmq_errno());
    if (attempt + 1 < kHandOffTries) aTime_MSSleep(kHandOffPauseMs);
  }
  return false;
}

// The relay: frames from the server go on to the get side, packets from the write side go on
// to the server.
void _broker_task(zsock_t* pipe, void* arg) {
  clientStreamState* state = static_cast<clientStreamState*>(arg);
  zsock_signal(pipe, 0);
  zpoller_t* poller = zpoller_new(pipe, state->frontend, state->writeRelaySocket, nullptr);
  if (poller != nullptr) {
    zsock_signal(pipe, 0);
    for (;;) {
      void* ready = zpoller_wait(poller, kRelayPollMs);
      zSysInterruptHandler_process();
      if (ready == pipe || zpoller_terminated(poller)) break;
      if (ready == state->frontend) {
        zframe_t* frame = zframe_recv(state->frontend);
        if (frame == nullptr) continue;
        // The get side may be slow to read; a frame it cannot take in time is dropped.
        sHandOff(state->readRelaySocket, zframe_data(frame), zframe_size(frame),
                 "Client send error Frontend->incomming: %d\n");
        zframe_destroy(&frame);
      } else if (ready == state->writeRelaySocket) {
        zframe_t* frame = zframe_recv(state->writeRelaySocket);
        if (frame == nullptr) continue;
        if (zframe_size(frame) == 0) {
          zframe_destroy(&frame);
          state->drained.store(true, std::memory_order_release);
        } else if (zframe_send(&frame, state->frontend, ZFRAME_DONTWAIT) != 0) {
          aClient_Trace("Client send error Frontend->client: %d\n", zmq_errno());
          zframe_destroy(&frame);
        }
      }
    }
    zpoller_destroy(&poller);
  }
  aClient_Trace("Client task exit");
  _signalActorExit(pipe);
}

aErr _sZeroMQStreamGet(uint8_t* out, void* ref) {
  clientStreamState* state = static_cast<clientStreamState*>(ref);
  if (!_aVALIDStream(state) || out == nullptr) return aErrParam;
  if (state->frame == nullptr) {
    void* ready = zpoller_wait(state->poller, kGetWaitMs);
    zSysInterruptHandler_process();
    if (ready == nullptr) return aErrNotReady;
    if (ready != state->readSocket) return aErrUnknown;
    state->frame = zframe_recv(state->readSocket);
    if (state->frame == nullptr) return aErrIO;
    state->readIndex = 0;
    state->frameSize = zframe_size(state->frame);
  }
  if (state->frameSize == 0) {
    zframe_destroy(&state->frame);
    return aErrIndexRange;
  }
  *out = zframe_data(state->frame)[state->readIndex++];
  if (state->readIndex == state->frameSize) {
    zframe_destroy(&state->frame);
    state->readIndex = 0;
    state->frameSize = 0;
  }
  return aErrNone;
}

aErr _sZeroMQStreamPut(const uint8_t*, void*) { return aErrUnimplemented; }

// One message per packet: the server takes each message as exactly one packet, and a pooled
// link writes many packets in one block.
aErr _sZeroMQStreamWrite(const uint8_t* data, size_t length, void* ref) {
  clientStreamState* state = static_cast<clientStreamState*>(ref);
  if (!_aVALIDStream(state) || data == nullptr) return aErrParam;
  size_t at = 0;
  while (at < length) {
    size_t size = aStreamClient_PacketSize(data + at, length - at);
    if (size == 0) return aErrPacket;
    if (!sHandOff(state->writeSocket, data + at, size, "--Client send error outgoing->frontend: %d\n"))
      return aErrWrite;
    at += size;
  }
  return aErrNone;
}

// Packets the link wrote just before its stream goes (the route-off packet among them) still
// reach the server: an empty frame, which no write makes, follows them through the write pair.
void sDrain(clientStreamState* state) {
  if (state->relay == nullptr || state->writeSocket == nullptr) return;
  if (zmq_send(zsock_resolve(state->writeSocket), "", 0, ZMQ_DONTWAIT) < 0) return;
  uint64_t deadline = aTime_GetMonotonicMS() + kDrainWaitMs;
  while (!state->drained.load(std::memory_order_acquire) && aTime_GetMonotonicMS() < deadline)
    aTime_MSSleep(kHandOffPauseMs);
}

void sDestroyState(clientStreamState** held) {
  clientStreamState* state = *held;
  *held = nullptr;
  sDrain(state);
  // The stop handshake of every actor of the server and its clients.
  _signalWaitDestroyActor(&state->relay);
  // The frontend is ours once the relay is gone; what it holds may still leave.
  if (state->frontend != nullptr) zsock_set_linger(state->frontend, kFrontendLingerMs);
  zpoller_destroy(&state->poller);
  zsock_destroy(&state->frontend);
  zsock_destroy(&state->readSocket);
  zsock_destroy(&state->writeSocket);
  zsock_destroy(&state->readRelaySocket);
  zsock_destroy(&state->writeRelaySocket);
  zframe_destroy(&state->frame);
  delete state;
}

aErr _sZeroMQStreamDelete(void* ref) {
  clientStreamState* state = static_cast<clientStreamState*>(ref);
  aClient_Trace("Client delete: start");
  if (!_aVALIDStream(state)) return aErrIO;
  sDestroyState(&state);
  aClient_Trace("Client delete: end");
  return aErrNone;
}

uint16_t sPortOf(int bound) { return bound > 0 && bound <= 65535 ? static_cast<uint16_t>(bound) : 0; }

// A loopback pair: `bound` listens on a port the system chooses, `connecting` connects to it.
aErr sMakePair(zsock_t** bound, zsock_t** connecting, uint16_t* port, const char* boundTrace,
               const char* failure) {
  *bound = zsock_new(ZMQ_DEALER);
  *connecting = zsock_new(ZMQ_DEALER);
  if (*bound == nullptr || *connecting == nullptr) return aErrMemory;
  *port = sPortOf(zsock_bind(*bound, "tcp://127.0.0.1:*"));
  aClient_Trace(boundTrace, *port);
  if (*port == 0 || zsock_connect(*connecting, "tcp://127.0.0.1:%d", *port) != 0) {
    aClient_Trace("%s", failure);
    return aErrConnection;
  }
  return aErrNone;
}

aErr sConnectFrontend(clientStreamState* state, uint32_t address, uint16_t port) {
  state->frontend = zsock_new(ZMQ_DEALER);
  if (state->frontend == nullptr) return aErrMemory;
  char dotted[16] = {};
  struct in_addr in = {address};
  inet_ntop(AF_INET, &in, dotted, sizeof dotted);
  char endpoint[36];
  snprintf(endpoint, sizeof endpoint, "tcp://%s:%d", dotted, port);
  aClient_Trace("aStream_CreateClient address: %s\n", dotted);
  // The connection completes in the background: a server that is not there is no error.
  int rc = zsock_connect(state->frontend, "%s", endpoint);
  if (rc != 0) {
    aClient_Trace("Error connecting to socket: %d(rc)\n", rc);
    return aErrConnection;
  }
  aClient_Trace("Client connected to port: %d - rc: %d\n", port, rc);
  return aErrNone;
}

aErr sBuild(clientStreamState* state, uint32_t address, uint16_t port) {
  aErr err = sMakePair(&state->writeSocket, &state->writeRelaySocket, &state->writePort,
                       "outgoing connected to port: %d\n", "client: outgoing connecting fail");
  if (err != aErrNone) return err;
  err = sMakePair(&state->readSocket, &state->readRelaySocket, &state->readPort, "incoming connected to port: %d\n",
                  "client: incoming connecting fail");
  if (err != aErrNone) return err;
  err = sConnectFrontend(state, address, port);
  if (err != aErrNone) return err;
  state->poller = zpoller_new(state->readSocket, nullptr);
  if (state->poller == nullptr) return aErrMemory;
  // Once the message library has caught an interrupt, a poller returns at once for good; the
  // get still waits its bound, or the link's reader would spin on it.
  zpoller_set_nonstop(state->poller, true);
  // zactor_new returns after the actor's first signal; the second says it polls.
  state->relay = zactor_new(_broker_task, state);
  if (state->relay == nullptr) return aErrResource;
  zsock_wait(state->relay);
  return aErrNone;
}

}  // namespace

size_t aStreamClient_PacketSize(const uint8_t* data, size_t length) {
  if (data == nullptr || length < 2 || data[1] > aPACKET_MAX_DATA) return 0;
  size_t size = static_cast<size_t>(data[1]) + 2;
  return size <= length ? size : 0;
}

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** out) {
  if (out == nullptr) return aErrParam;
  *out = nullptr;
  clientStreamState* state = new (std::nothrow) clientStreamState{};
  if (state == nullptr) return aErrMemory;
  aErr err = sBuild(state, address, port);
  aStream* stream = nullptr;
  if (err == aErrNone) {
    stream = aStream_Create(_sZeroMQStreamGet, _sZeroMQStreamPut, _sZeroMQStreamWrite, _sZeroMQStreamDelete, state);
    if (stream == nullptr) err = aErrResource;
  }
  if (err != aErrNone) {
    sDestroyState(&state);
    return err;
  }
  *out = stream;
  return aErrNone;
}
