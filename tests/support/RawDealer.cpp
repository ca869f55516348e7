#include "RawDealer.h"

#include "unix_time.h"

RawDealer::RawDealer(const std::string& endpoint) {
  socket_ = zsock_new(ZMQ_DEALER);
  connected_ = socket_ != nullptr && zsock_connect(socket_, "%s", endpoint.c_str()) == 0;
}

RawDealer::~RawDealer() { zsock_destroy(&socket_); }

bool RawDealer::Send(const std::vector<uint8_t>& frame) { return SendMessage({frame}); }

bool RawDealer::SendMessage(const std::vector<std::vector<uint8_t>>& frames) {
  if (socket_ == nullptr || frames.empty()) return false;
  void* handle = zsock_resolve(socket_);
  for (size_t i = 0; i < frames.size(); ++i) {
    int flags = ZMQ_DONTWAIT | (i + 1 < frames.size() ? ZMQ_SNDMORE : 0);
    if (zmq_send(handle, frames[i].data(), frames[i].size(), flags) < 0) return false;
  }
  return true;
}

std::optional<std::vector<uint8_t>> RawDealer::Receive(int ms) {
  if (socket_ == nullptr) return std::nullopt;
  zmq_pollitem_t item = {zsock_resolve(socket_), 0, ZMQ_POLLIN, 0};
  if (zmq_poll(&item, 1, ms) <= 0) return std::nullopt;
  zframe_t* frame = zframe_recv(socket_);
  if (frame == nullptr) return std::nullopt;
  std::vector<uint8_t> bytes(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
  zframe_destroy(&frame);
  return bytes;
}

std::vector<std::vector<uint8_t>> RawDealer::ReceiveFor(int ms) {
  std::vector<std::vector<uint8_t>> frames;
  uint64_t deadline = aTime_GetMonotonicMS() + static_cast<uint64_t>(ms);
  for (uint64_t now = aTime_GetMonotonicMS(); now < deadline; now = aTime_GetMonotonicMS()) {
    std::optional<std::vector<uint8_t>> frame = Receive(static_cast<int>(deadline - now));
    if (frame) frames.push_back(std::move(*frame));
  }
  return frames;
}

std::vector<std::vector<uint8_t>> RawDealer::ReceiveFrames(size_t n, int boundMs, int quietMs) {
  std::vector<std::vector<uint8_t>> frames;
  uint64_t deadline = aTime_GetMonotonicMS() + static_cast<uint64_t>(boundMs);
  for (uint64_t now = aTime_GetMonotonicMS(); frames.size() < n && now < deadline;
       now = aTime_GetMonotonicMS()) {
    std::optional<std::vector<uint8_t>> frame = Receive(static_cast<int>(deadline - now));
    if (frame) frames.push_back(std::move(*frame));
  }
  for (std::vector<uint8_t>& frame : ReceiveFor(quietMs)) frames.push_back(std::move(frame));
  return frames;
}
