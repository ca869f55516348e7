// The synchronous-command worker: serves the broker's requests on the device link one at a
// time and sends each outcome back as one message.
#include <sched.h>

#include <chrono>
#include <vector>

#include "aLinkInternal.h"
#include "aServerInternal.h"
#include "aServerTrace.h"

namespace {

constexpr int kPollMs = 1000;

// While requests come back to back (several clients, or a device that answers within
// microseconds), the worker asks again for this long before it sleeps: the next frame then
// follows at once, while waking a sleeping thread on another processor costs far more. A
// worker whose frames come farther apart, or none, never spins, so an idle server costs what
// it did. Built with 0, nothing spins (to measure what the spin buys).
#ifndef CORVANTIS_SERVER_SPIN_US
#define CORVANTIS_SERVER_SPIN_US 50
#endif
constexpr auto kSpin = std::chrono::microseconds(CORVANTIS_SERVER_SPIN_US);

bool sQuick(std::chrono::steady_clock::time_point since) { return std::chrono::steady_clock::now() - since < kSpin; }

// zpoller_wait for at most ms; when *busy the poller is first asked without waiting for up to
// kSpin. *busy becomes whether this wait found a socket within kSpin.
void* sPollerWait(zpoller_t* poller, int ms, bool* busy) {
  auto start = std::chrono::steady_clock::now();
  if (*busy && kSpin.count() > 0) {
    do {
      void* ready = zpoller_wait(poller, 0);
      if (ready != nullptr || zpoller_terminated(poller)) return ready;
      // The thread that brings the frame may be queued on this processor.
      sched_yield();
    } while (sQuick(start));
  }
  void* ready = zpoller_wait(poller, ms);
  *busy = ready != nullptr && sQuick(start);
  return ready;
}

// The device link and how quickly it answered last.
struct syncDevice {
  aLinkRef link;
  bool quick;  // the last reply came within kSpin
};

// A device that answered within kSpin is watched for its reply, as a direct caller does,
// before the worker sleeps on the FIFO.
aPacket* sAwait(void* ref, uint64_t ms) {
  syncDevice* device = static_cast<syncDevice*>(ref);
  auto start = std::chrono::steady_clock::now();
  if (device->quick && kSpin.count() > 0) {
    PinnedLink pinned(device->link);
    aLink* link = pinned.link();
    if (link == nullptr) return nullptr;
    do {
      uint32_t seen = link->inPuts.load(std::memory_order_acquire);
      if (aPacket* packet = aPacketFifo_Get(link->inFifo)) return packet;
      // The reader that brings the reply may be queued on this processor.
      while (link->inPuts.load(std::memory_order_acquire) == seen && sQuick(start)) sched_yield();
    } while (sQuick(start));
  }
  aPacket* packet = aLink_AwaitPacket(device->link, ms);
  device->quick = packet != nullptr && sQuick(start);
  return packet;
}

aErr sPut(void* ref, const aPacket* packet) { return aLink_PutPacket(static_cast<syncDevice*>(ref)->link, packet); }

void sDrain(void* ref) { aLink_DrainPackets(static_cast<syncDevice*>(ref)->link, drainAll, nullptr); }

// The command and its replies as one multipart message, without waiting: the pair delivers
// a message whole or not at all, so a failure never leaves half an outcome.
bool sSendOutcome(zsock_t* socket, const std::vector<std::vector<uint8_t>>& outcome) {
  void* handle = zsock_resolve(socket);
  for (size_t i = 0; i < outcome.size(); ++i) {
    int flags = ZMQ_DONTWAIT | (i + 1 < outcome.size() ? ZMQ_SNDMORE : 0);
    if (zmq_send(handle, outcome[i].data(), outcome[i].size(), flags) < 0) return false;
  }
  return true;
}

void _serverWorker_syncCommands_syncBackend(aServer* server, syncDevice* link) {
  zframe_t* frame = zframe_recv(server->syncWorkerSocket);
  if (frame == nullptr) return;
  serverDevice device{sPut, sAwait, sDrain, link};
  std::vector<std::vector<uint8_t>> outcome;
  serverRouting_ServeRequest(zframe_data(frame), zframe_size(frame), device, &outcome);
  zframe_destroy(&frame);
  if (outcome.empty() || sSendOutcome(server->syncWorkerSocket, outcome)) return;
  if (outcome[0][0] == SERVER_CMD_DROPPED_PACKET) {
    aServer_Trace("Failed to SEND SERVER_CMD_DROPPED_PACKET!");
  } else {
    aServer_Trace("Failed to SEND SERVER_CMD_INCOMING_PACKETS");
    aServer_Trace("Failed to SENDY-SEND!");
  }
}

}  // namespace

void _serverWorker_syncCommands(zsock_t* pipe, void* arg) {
  aServer* server = static_cast<aServer*>(arg);
  zsock_signal(pipe, 0);
  aServer_Trace("sync task start");
  zpoller_t* poller = zpoller_new(pipe, server->syncWorkerSocket, nullptr);
  if (poller != nullptr) {
    zsock_signal(pipe, 0);
    // The next request of a busy server is often queued behind the outcome just sent.
    bool busy = false;
    syncDevice device{server->device, true};
    for (;;) {
      void* which = sPollerWait(poller, kPollMs, &busy);
      zSysInterruptHandler_process();
      if (which == server->syncWorkerSocket) {
        _serverWorker_syncCommands_syncBackend(server, &device);
      } else if (which == pipe || zpoller_terminated(poller)) {
        break;
      }
    }
    zpoller_destroy(&poller);
  }
  aServer_Trace("sync task exit");
  zsock_signal(pipe, 0);
}
