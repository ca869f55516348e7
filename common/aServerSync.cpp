// The synchronous-command worker: serves the broker's requests on the device link one at a
// time and sends each outcome back as one message.
#include <vector>

#include "aLinkInternal.h"
#include "aServerInternal.h"
#include "aServerTrace.h"

namespace {

constexpr int kPollMs = 1000;

aErr sPut(void* ref, const aPacket* packet) { return aLink_PutPacket(*static_cast<aLinkRef*>(ref), packet); }

aPacket* sAwait(void* ref, uint64_t ms) { return aLink_AwaitPacket(*static_cast<aLinkRef*>(ref), ms); }

void sDrain(void* ref) { aLink_DrainPackets(*static_cast<aLinkRef*>(ref), drainAll, nullptr); }

// The command and its replies as one multipart message, without waiting: the pair delivers
// a message whole or not at all, so a failure never leaves half an outcome.
void sSendOutcome(zsock_t* socket, const std::vector<std::vector<uint8_t>>& outcome) {
  void* handle = zsock_resolve(socket);
  for (size_t i = 0; i < outcome.size(); ++i) {
    int flags = ZMQ_DONTWAIT | (i + 1 < outcome.size() ? ZMQ_SNDMORE : 0);
    if (zmq_send(handle, outcome[i].data(), outcome[i].size(), flags) >= 0) continue;
    if (outcome[0][0] == SERVER_CMD_DROPPED_PACKET) {
      aServer_Trace("Failed to SEND SERVER_CMD_DROPPED_PACKET!");
    } else {
      aServer_Trace("Failed to SEND SERVER_CMD_INCOMING_PACKETS");
      aServer_Trace("Failed to SENDY-SEND!");
    }
    return;
  }
}

// The next request when one is queued already; none once a stop or an interrupt waits, so
// that the worker's loop sees it before serving more.
bool sNextQueued(zsock_t* pipe, void* socket, zmq_msg_t* frame) {
  if (zsys_interrupted || (zsock_events(pipe) & ZMQ_POLLIN) != 0) return false;
  return zmq_msg_recv(frame, socket, ZMQ_DONTWAIT) >= 0;
}

// Serves the request that woke the worker and each one queued behind it, in order. A queued
// request goes to the device before the last outcome goes back, so that the device answers
// it while that outcome travels to its client; the device still sees one request at a time.
void _serverWorker_syncCommands_syncBackend(aServer* server, zsock_t* pipe) {
  void* socket = zsock_resolve(server->syncWorkerSocket);
  serverDevice device{sPut, sAwait, sDrain, &server->device};
  std::vector<std::vector<uint8_t>> outcome, settled;
  aPacket* awaited = nullptr;
  zmq_msg_t frame;
  zmq_msg_init(&frame);
  auto start = [&] {
    serverRouting_StartRequest(static_cast<const uint8_t*>(zmq_msg_data(&frame)), zmq_msg_size(&frame), device,
                               &awaited, &settled);
  };
  // The poller found a request waiting.
  bool more = zmq_msg_recv(&frame, socket, ZMQ_DONTWAIT) >= 0;
  if (more) start();
  while (more) {
    outcome.swap(settled);
    if (awaited != nullptr) serverRouting_FinishRequest(&awaited, device, &outcome);
    more = sNextQueued(pipe, socket, &frame);
    if (more) start();
    if (!outcome.empty()) sSendOutcome(server->syncWorkerSocket, outcome);
  }
  zmq_msg_close(&frame);
}

}  // namespace

void _serverWorker_syncCommands(zsock_t* pipe, void* arg) {
  aServer* server = static_cast<aServer*>(arg);
  zsock_signal(pipe, 0);
  aServer_Trace("sync task start");
  zpoller_t* poller = zpoller_new(pipe, server->syncWorkerSocket, nullptr);
  if (poller != nullptr) {
    zsock_signal(pipe, 0);
    for (;;) {
      void* which = zpoller_wait(poller, kPollMs);
      zSysInterruptHandler_process();
      if (which == server->syncWorkerSocket) {
        _serverWorker_syncCommands_syncBackend(server, pipe);
      } else if (which == pipe || zpoller_terminated(poller)) {
        break;
      }
    }
    zpoller_destroy(&poller);
  }
  aServer_Trace("sync task exit");
  _signalActorExit(pipe);
}
