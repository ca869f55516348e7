#include "FakeRouter.h"

#include <algorithm>
#include <chrono>
#include <cstring>

FakeRouter::FakeRouter() {
  router_ = zsock_new(ZMQ_ROUTER);
  if (router_ == nullptr) return;
  // A message for an identity that is not connected fails instead of vanishing.
  zsock_set_router_mandatory(router_, 1);
  int bound = zsock_bind(router_, "tcp://127.0.0.1:*");
  port_ = bound > 0 ? static_cast<uint16_t>(bound) : 0;
  // From here on the socket is the actor's alone.
  actor_ = zactor_new(Serve, this);
}

FakeRouter::~FakeRouter() {
  zactor_destroy(&actor_);
  // The actor's end (below) comes before the router goes also for ThreadSanitizer, which does
  // not watch the stop handshake inside libzmq.
  std::lock_guard<std::mutex> ended(mutex_);
  zsock_destroy(&router_);
}

void FakeRouter::Serve(zsock_t* pipe, void* arg) {
  FakeRouter* self = static_cast<FakeRouter*>(arg);
  zsock_signal(pipe, 0);
  zpoller_t* poller = zpoller_new(pipe, self->router_, nullptr);
  while (poller != nullptr) {
    void* ready = zpoller_wait(poller, 1000);
    if (zpoller_terminated(poller)) break;
    if (ready == self->router_) {
      zmsg_t* msg = zmsg_recv(self->router_);
      if (msg == nullptr) continue;
      Message message;
      bool first = true;
      for (zframe_t* frame = zmsg_first(msg); frame != nullptr; frame = zmsg_next(msg)) {
        Bytes bytes(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
        if (first) {
          message.identity = std::move(bytes);
          first = false;
        } else {
          message.frames.push_back(std::move(bytes));
        }
      }
      zmsg_destroy(&msg);
      std::lock_guard<std::mutex> hold(self->mutex_);
      self->messages_.push_back(std::move(message));
      self->changed_.notify_all();
    } else if (ready == pipe) {
      zmsg_t* msg = zmsg_recv(pipe);
      if (msg == nullptr) break;
      char* command = zmsg_popstr(msg);
      bool term = command == nullptr || strcmp(command, "$TERM") == 0;
      zstr_free(&command);
      if (term) {
        zmsg_destroy(&msg);
        break;
      }
      // SEND: identity, then the frames; the outcome goes back as a signal.
      int rc = zmsg_send(&msg, self->router_);
      zmsg_destroy(&msg);
      zsock_signal(pipe, rc == 0 ? 0 : 1);
    }
  }
  zpoller_destroy(&poller);
  std::lock_guard<std::mutex> ending(self->mutex_);
}

std::vector<FakeRouter::Message> FakeRouter::Messages() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return messages_;
}

std::vector<FakeRouter::Bytes> FakeRouter::Identities() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<Bytes> identities;
  for (const Message& message : messages_) {
    if (std::find(identities.begin(), identities.end(), message.identity) == identities.end())
      identities.push_back(message.identity);
  }
  return identities;
}

bool FakeRouter::WaitForMessages(size_t n, uint64_t ms) const {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(ms), [&] { return messages_.size() >= n; });
}

bool FakeRouter::Send(const Bytes& identity, const std::vector<Bytes>& frames) {
  if (actor_ == nullptr) return false;
  zmsg_t* msg = zmsg_new();
  zmsg_addstr(msg, "SEND");
  zmsg_addmem(msg, identity.data(), identity.size());
  for (const Bytes& frame : frames) zmsg_addmem(msg, frame.data(), frame.size());
  // A ROUTER drops a message for an unknown identity unless told to fail.
  if (zmsg_send(&msg, actor_) != 0) {
    zmsg_destroy(&msg);
    return false;
  }
  return zsock_wait(actor_) == 0;
}
