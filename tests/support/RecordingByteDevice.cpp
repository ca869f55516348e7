#include "RecordingByteDevice.h"

#include <chrono>

void RecordingByteDevice::Attach(Sender send) {
  std::lock_guard<std::mutex> lock(mutex_);
  send_ = std::move(send);
}

void RecordingByteDevice::OnConnect(size_t connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (received_.size() < connection) received_.resize(connection);
  }
  changed_.notify_all();
}

void RecordingByteDevice::OnBytes(const uint8_t* data, size_t length) {
  Sender send;
  bool echo;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (received_.empty()) received_.resize(1);
    received_.back().insert(received_.back().end(), data, data + length);
    send = send_;
    echo = echo_;
  }
  changed_.notify_all();
  if (echo && send) send(data, length);
}

void RecordingByteDevice::SetEcho(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  echo_ = on;
}

bool RecordingByteDevice::Send(const std::vector<uint8_t>& bytes) {
  Sender send;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    send = send_;
  }
  return send && send(bytes.data(), bytes.size());
}

std::vector<uint8_t> RecordingByteDevice::Received(size_t connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (connection == 0 || connection > received_.size()) return {};
  return received_[connection - 1];
}

bool RecordingByteDevice::WaitForBytes(size_t connection, size_t count, uint64_t ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return connection >= 1 && connection <= received_.size() && received_[connection - 1].size() >= count;
  });
}
