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
bool sSendOutcome(zsock_t* socket, const std::vector<std::vector<uint8_t>>& outcome) {
  void* handle = zsock_resolve(socket);
  for (size_t i = 0; i < outcome.size(); ++i) {
    int flags = ZMQ_DONTWAIT | (i + 1 < outcome.size() ? ZMQ_SNDMORE : 0);
    if (zmq_send(handle, outcome[i].data(), outcome[i].size(), flags) < 0) return false;
  }
  return true;
}

void _serverWorker_syncCommands_syncBackend(aServer* server) {
  zframe_t* frame = zframe_recv(server->syncWorkerSocket);
  if (frame == nullptr) return;
  serverDevice device{sPut, sAwait, sDrain, &server->device};
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
    for (;;) {
      void* which = zpoller_wait(poller, kPollMs);
      zSysInterruptHandler_process();
      if (which == server->syncWorkerSocket) {
        _serverWorker_syncCommands_syncBackend(server);
      } else if (which == pipe || zpoller_terminated(poller)) {
        break;
      }
    }
    zpoller_destroy(&poller);
  }
  aServer_Trace("sync task exit");
  zsock_signal(pipe, 0);
}
