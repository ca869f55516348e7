#pragma once
#include <czmq.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

// A link server's frontend as a test scripts it: a ROUTER bound to tcp://127.0.0.1:* and served
// by an actor of its own. It records every message with the identity of the connection it came
// from, and sends any frames (empty, oversized, batches) to a chosen identity.
class FakeRouter {
 public:
  using Bytes = std::vector<uint8_t>;
  struct Message {
    Bytes identity;
    std::vector<Bytes> frames;  // after the identity
  };

  FakeRouter();
  ~FakeRouter();
  FakeRouter(const FakeRouter&) = delete;
  FakeRouter& operator=(const FakeRouter&) = delete;

  uint16_t port() const { return port_; }

  std::vector<Message> Messages() const;
  // The identities that sent, in the order of their first message.
  std::vector<Bytes> Identities() const;
  // True once n messages have come, false after ms.
  bool WaitForMessages(size_t n, uint64_t ms) const;

  // One message of these frames to the connection with that identity; false when it could not
  // go (no such connection, or its queue is full).
  bool Send(const Bytes& identity, const std::vector<Bytes>& frames);

 private:
  static void Serve(zsock_t* pipe, void* self);

  zsock_t* router_ = nullptr;
  zactor_t* actor_ = nullptr;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Message> messages_;
};
