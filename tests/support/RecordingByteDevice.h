#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "TcpDeviceListener.h"

// A byte-level device for a TcpDeviceListener: records what each connection received, can
// echo it back, and sends scripted bytes on demand.
class RecordingByteDevice : public TcpDeviceSide {
 public:
  void Attach(Sender send) override;
  void OnConnect(size_t connection) override;
  void OnBytes(const uint8_t* data, size_t length) override;

  // Sends every received byte straight back.
  void SetEcho(bool on);
  // Sends bytes to the host on the current connection.
  bool Send(const std::vector<uint8_t>& bytes);

  // What connection n (from 1) has received so far.
  std::vector<uint8_t> Received(size_t connection) const;
  // True once connection n has received at least `count` bytes, false after `ms`.
  bool WaitForBytes(size_t connection, size_t count, uint64_t ms) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Sender send_;
  bool echo_ = false;
  std::vector<std::vector<uint8_t>> received_;  // index 0: connection 1
};
