#pragma once
#include <czmq.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A link server's client at the socket level: one DEALER connected to the server's frontend,
// used from one thread. Whatever a client may send (any frames, any bytes) goes as given.
class RawDealer {
 public:
  explicit RawDealer(const std::string& endpoint);
  explicit RawDealer(uint16_t port) : RawDealer("tcp://127.0.0.1:" + std::to_string(port)) {}
  ~RawDealer();
  RawDealer(const RawDealer&) = delete;
  RawDealer& operator=(const RawDealer&) = delete;

  bool connected() const { return connected_; }

  // One frame; false when it could not be queued.
  bool Send(const std::vector<uint8_t>& frame);
  // One message of these frames (none: nothing is sent).
  bool SendMessage(const std::vector<std::vector<uint8_t>>& frames);
  // The next frame, waiting at most ms.
  std::optional<std::vector<uint8_t>> Receive(int ms);
  // Every frame that arrives within ms.
  std::vector<std::vector<uint8_t>> ReceiveFor(int ms);
  // The next n frames, waiting at most boundMs for them (fewer when it runs out), then every
  // frame more that arrives within quietMs.
  std::vector<std::vector<uint8_t>> ReceiveFrames(size_t n, int boundMs, int quietMs);

 private:
  zsock_t* socket_ = nullptr;
  bool connected_ = false;
};
