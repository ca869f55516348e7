// The broker actor: moves frames between the frontend, the worker's pair, the streaming pair
// and the beacon; every decision is the routing unit's.
#include <vector>

#include "aServerInternal.h"
#include "aServerTrace.h"

namespace {

constexpr int kPollMs = 1000;

bool sHandOff(void* ref, const uint8_t* wire, size_t size) {
  aServer* server = static_cast<aServer*>(ref);
  // Never waits: a full queue fails the hand-off instead of stalling every client.
  return zmq_send(zsock_resolve(server->syncBrokerSocket), wire, size, ZMQ_DONTWAIT) == static_cast<int>(size);
}

bool sToClient(void* ref, const serverIdentity& identity, const uint8_t* data, size_t size) {
  aServer* server = static_cast<aServer*>(ref);
  void* frontend = zsock_resolve(server->frontend);
  if (zmq_send(frontend, identity.data(), identity.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0) return false;
  return zmq_send(frontend, data, size, ZMQ_DONTWAIT) == static_cast<int>(size);
}

serverRoutingSink sSink(aServer* server) { return serverRoutingSink{sHandOff, sToClient, server}; }

void _serverWorker_broker_frontend(aServer* server) {
  zmsg_t* message = zmsg_recv(server->frontend);
  if (message == nullptr) return;
  zframe_t* identity = zmsg_first(message);
  zframe_t* content = zmsg_next(message);
  // A message without its content frame is dropped; frames after it are ignored.
  if (identity != nullptr && content != nullptr) {
    serverIdentity id(zframe_data(identity), zframe_data(identity) + zframe_size(identity));
    serverRouting_ClientRequest(server->routing, id, zframe_data(content), zframe_size(content), sSink(server));
  }
  zmsg_destroy(&message);
}

void _serverWorker_broker_sync(aServer* server) {
  zmsg_t* message = zmsg_recv(server->syncBrokerSocket);
  std::vector<serverFrame> frames;
  for (zframe_t* frame = message != nullptr ? zmsg_first(message) : nullptr; frame != nullptr;
       frame = zmsg_next(message)) {
    frames.push_back({zframe_data(frame), zframe_size(frame)});
  }
  serverRouting_WorkerOutcome(server->routing, frames.data(), frames.size(), sSink(server));
  zmsg_destroy(&message);
}

void _serverWorker_broker_streaming(aServer* server) {
  zframe_t* batch = zframe_recv(server->streamingBrokerSocket);
  serverRouting_StreamBatch(server->routing, batch != nullptr ? zframe_data(batch) : nullptr,
                            batch != nullptr ? zframe_size(batch) : 0, sSink(server));
  zframe_destroy(&batch);
}

// A message on the pipe: the flush signal goes on, anything else ends the broker.
bool sPipe(aServer* server, zsock_t* pipe) {
  zmsg_t* message = zmsg_recv(pipe);
  int signal = message != nullptr ? zmsg_signal(message) : -1;
  zmsg_destroy(&message);
  if (signal == kServerFlushSignal) {
    serverRouting_Flush(server->routing);
    return true;
  }
  aServer_Trace("pre exit 1");
  return false;
}

void sRun(aServer* server, zsock_t* pipe, zpoller_t* poller) {
  for (bool running = true; running;) {
    void* which = zpoller_wait(poller, kPollMs);
    zSysInterruptHandler_process();
    if (which == server->streamingBrokerSocket) {
      _serverWorker_broker_streaming(server);
    } else if (which == server->syncBrokerSocket) {
      _serverWorker_broker_sync(server);
    } else if (which == server->frontend) {
      _serverWorker_broker_frontend(server);
    } else if (which != nullptr && server->discoveryIsBeacon && which == server->discovery) {
      _serverWorker_broker_beacon(server);
    } else if (which == pipe) {
      running = sPipe(server, pipe);
    } else if (zpoller_terminated(poller)) {
      running = false;
    }
    if (running) _serverWorker_broker_silence(server);
  }
}

}  // namespace

void _serverWorker_broker(zsock_t* pipe, void* arg) {
  aServer* server = static_cast<aServer*>(arg);
  zsock_signal(pipe, 0);
  aServer_Trace("broker create");
  zpoller_t* poller = zpoller_new(pipe, server->syncBrokerSocket, server->frontend,
                                  server->streamingBrokerSocket, nullptr);
  if (poller != nullptr && server->discoveryIsBeacon && zpoller_add(poller, server->discovery) != 0)
    zpoller_destroy(&poller);
  if (poller != nullptr) {
    server->lastPublishMs = 0;
    server->publishing = false;
    server->routing->replySlots.clear();
    server->routing->streamSubscribers.clear();
    zsock_signal(pipe, 0);
    sRun(server, pipe, poller);
    server->routing->replySlots.clear();
    server->routing->streamSubscribers.clear();
    zpoller_destroy(&poller);
  }
  aServer_Trace("broker task exit");
  _signalActorExit(pipe);
}
