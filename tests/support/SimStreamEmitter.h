#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A device's sample output on a thread of its own (made by the first Start, also of an empty
// job): packets (in wire form) taken in turn from a list, back to back or at a set rate, handed on in pieces of whole packets of at most
// kPieceBytes (a transport's send may give up inside a huge block). A packet goes out only
// while `allowed` says its key is streamed. Every wait is bounded.
class SimStreamEmitter {
 public:
  using Send = std::function<void(const std::vector<uint8_t>& bytes)>;
  using Allowed = std::function<bool(const std::vector<uint8_t>& wire)>;
  static constexpr size_t kPieceBytes = 4096;

  SimStreamEmitter(Send send, Allowed allowed);
  ~SimStreamEmitter();
  SimStreamEmitter(const SimStreamEmitter&) = delete;
  SimStreamEmitter& operator=(const SimStreamEmitter&) = delete;

  // Replaces the job: `count` packets from `samples` in turn (0: until Stop), `perSecond` of
  // them a second (0: as fast as the transport takes them).
  void Start(std::vector<std::vector<uint8_t>> samples, uint64_t count, uint32_t perSecond = 0);
  // Ends the job after the piece in hand.
  void Stop();
  // True once the job has ended, false after `ms`.
  bool WaitIdle(uint64_t ms) const;
  // Packets handed on, and packets held back because their key was not streamed, by all jobs.
  uint64_t Sent() const { return sent_.load(); }
  uint64_t HeldBack() const { return heldBack_.load(); }

 private:
  void Run();
  // One piece of at most `most` packets of the job from packet `next` on; how many it took.
  uint64_t SendPiece(uint64_t most);

  const Send send_;
  const Allowed allowed_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::vector<uint8_t>> samples_;
  uint64_t count_ = 0;
  uint32_t perSecond_ = 0;
  uint64_t next_ = 0;
  uint64_t job_ = 0;  // raised by every Start and Stop
  bool busy_ = false;
  bool stop_ = false;
  std::atomic<uint64_t> sent_{0};
  std::atomic<uint64_t> heldBack_{0};
  std::thread thread_;
};
