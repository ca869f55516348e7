#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "PeerFraming.h"
#include "PtyPair.h"
#include "SimLinkDevice.h"

// The simulated device behind a serial line: this transport sits on the master of a pty,
// decodes the host's COBS frames (with the kit's own framing, PeerFraming.h) for the device and
// frames every packet the device sends. Its reads wait in bounded polls; it ends when the
// client leaves (master reads fail with EIO after bytes came). On top of the device it can put
// raw bytes and bad frames on the line, pace its output to a line rate, stop reading or take the
// host's bytes one at a time, and vanish.
class SimLinkPty {
 public:
  // The bad frames a line can deliver, each ended by a zero byte.
  enum class BadFrame {
    kCrc,            // CRC byte altered
    kLength,         // length byte disagrees with the frame
    kOverlong,       // 40 non-zero bytes
    kCodeOverrun,    // a code byte promising more bytes than follow
    kLostDelimiter,  // two frames with the delimiter between them lost
    kOddAddress,     // a valid frame carrying 03 00
    kGarbage,        // 10 bytes of garbage
  };
  struct LineByte {
    uint8_t byte;
    uint64_t atMs;  // aTime_GetMonotonicMS when read
  };

  SimLinkPty(PtyPair& pty, SimLinkDevice& device);
  ~SimLinkPty();
  SimLinkPty(const SimLinkPty&) = delete;
  SimLinkPty& operator=(const SimLinkPty&) = delete;

  static std::vector<uint8_t> BadFrameBytes(BadFrame kind);

  // Output towards the host at most this many bytes per second; 0 (the default): as fast as
  // the pty takes them. 11520 is a 115200-baud 8N1 line.
  void SetPacing(uint32_t bytesPerSecond);
  // Raw line bytes, in order with the device's frames.
  void SendLine(const std::vector<uint8_t>& bytes);
  void SendBadFrame(BadFrame kind) { SendLine(BadFrameBytes(kind)); }
  // Waits until everything queued so far has gone into the pty; *atMs gets the time the last
  // byte went.
  bool WaitSent(uint64_t ms, uint64_t* atMs = nullptr) const;
  // The vanish fault: the device is detached, the threads end and the master closes.
  void Vanish();
  // The "stop reading" fault: the host's bytes stay in the pty, which fills (some 16 KB) until
  // the host's writes find no room. Resuming takes them all, in order.
  void StopReading();
  void ResumeReading();
  // The host's bytes one per read, at most this many a second; 0 (the default): as many as a
  // read gives. A pty makes room for a writer only once its reader has taken nearly all it
  // held (4 KB), so a slow intake leaves a writer waiting that long between bursts.
  void SetIntake(uint32_t bytesPerSecond);

  // Every line byte that came from the host.
  std::vector<LineByte> LineFromHost() const;
  // Frames from the host that the peer framing refused.
  size_t RefusedFrames() const;
  bool WaitClientGone(uint64_t ms) const;

 private:
  void ToLine(const uint8_t* data, size_t size);  // the device's bytes
  void Queue(const std::vector<uint8_t>& bytes);
  void ReadLoop();
  void WriteLoop();
  void Stop();

  PtyPair& pty_;
  SimLinkDevice& device_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> reading_{true};
  std::atomic<uint32_t> intake_{0};

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<uint8_t> assembling_;  // device bytes not yet a whole packet
  std::deque<uint8_t> out_;
  uint64_t queued_ = 0;
  uint64_t written_ = 0;
  uint64_t lastWriteMs_ = 0;
  uint32_t pacing_ = 0;
  std::vector<LineByte> fromHost_;
  size_t refused_ = 0;
  bool clientSeen_ = false;
  bool clientGone_ = false;

  std::thread reader_;
  std::thread writer_;
};

// Waits up to ms for a packet from index `from` on of the device's record that `match` accepts.
bool WaitForDevicePacket(const SimLinkDevice& device,
                         const std::function<bool(const std::vector<uint8_t>&)>& match, uint64_t ms,
                         size_t from = 0);
