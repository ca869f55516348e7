#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "PtyPair.h"

// One entry of a simulated chip's line transcript.
struct LineTranscriptEntry {
  bool fromHost;
  std::vector<uint8_t> bytes;
  uint64_t atMs;  // aTime_GetMonotonicMS
};

// The line side of a simulated boot loader on a pty master: one thread reads the host's bytes
// and hands them to the chip, and writes the chip's bytes when they are due. Every wait is a
// bounded poll. The chip's callbacks run on that thread only; it runs in real time where the
// process may (see start()), so that on a loaded machine its own turn does not hold answers back.
//
// Line faults: a throttle in characters per second for both directions (11520 models a
// 115200-baud 8N1 line), a stop of reading after n bytes (the host's writes then back up),
// and a hang-up (the master closes).
class SimPtyLine {
 public:
  using BytesFromHost = std::function<void(const uint8_t* data, size_t size)>;
  // Called about every millisecond while idle, for the chip's own timers.
  using Tick = std::function<void()>;

  SimPtyLine(PtyPair& pty, BytesFromHost fromHost, Tick tick = nullptr);
  ~SimPtyLine();
  SimPtyLine(const SimPtyLine&) = delete;
  SimPtyLine& operator=(const SimPtyLine&) = delete;

  void start();
  void stop();  // joins the thread; also done by the destructor

  // Queues bytes for the host, due delayMs from now (after what is queued before them).
  void send(const std::vector<uint8_t>& bytes, uint64_t delayMs = 0);
  void send(const char* text) { send(std::vector<uint8_t>(text, text + __builtin_strlen(text))); }
  // Drops every byte not yet written.
  void dropQueued();

  void setThrottle(uint32_t charsPerSecond);
  void stopReadingAfter(uint64_t bytes);  // UINT64_MAX: never (the default)
  // Closes the master, now if on the line thread, else at its next turn.
  void hangUp();
  bool hungUp() const { return hungUp_; }

  uint64_t bytesFromHost() const;
  std::vector<LineTranscriptEntry> transcript() const;
  std::vector<uint8_t> allFromHost() const;
  std::vector<uint8_t> allToHost() const;
  // Waits until every queued byte has been written, at most ms.
  bool waitSent(uint64_t ms) const;
  bool onLineThread() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  struct Out {
    std::vector<uint8_t> bytes;
    uint64_t dueMs;
    size_t offset = 0;
  };
  void run();
  void record(bool fromHost, const uint8_t* data, size_t size);

  PtyPair& pty_;
  BytesFromHost fromHost_;
  Tick tick_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> serving_{false};
  std::atomic<bool> hangUpAsked_{false};
  std::atomic<bool> hungUp_{false};

  mutable std::mutex mutex_;
  std::deque<Out> out_;
  std::vector<LineTranscriptEntry> transcript_;
  uint64_t fromHostCount_ = 0;
  uint64_t stopReadingAfter_ = UINT64_MAX;
  uint32_t throttle_ = 0;
  uint64_t readFreeAtUs_ = 0;   // throttled line: when the next byte may be taken
  uint64_t writeFreeAtUs_ = 0;  // and sent
};
