#include "SimPtyLine.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "Eventually.h"
#include "unix_time.h"

namespace {

uint64_t sNowUs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// When a throttled line is free again after n characters. A late wake-up keeps its credit, so
// the rate holds on average; after an idle spell the line starts afresh.
uint64_t sLineFreeAt(uint64_t freeAtUs, uint64_t nowUs, uint64_t n, uint32_t charsPerSecond) {
  if (freeAtUs + 10000 < nowUs) freeAtUs = nowUs;
  return freeAtUs + n * 1000000ull / charsPerSecond;
}

// Characters a throttled line may move now: a millisecond's worth plus what a late wake-up owes.
size_t sCredit(uint64_t freeAtUs, uint64_t nowUs, uint32_t charsPerSecond) {
  uint64_t owed = nowUs > freeAtUs ? std::min<uint64_t>(nowUs - freeAtUs, 10000) : 0;
  return static_cast<size_t>(std::max<uint64_t>(1, charsPerSecond / 1000 + owed * charsPerSecond / 1000000));
}

// A chip answers within microseconds, and the host's answer windows (about 100 of its own 1 ms
// polls) count on that. On a loaded machine an ordinary thread can wait longer than such a
// window for a processor, so the line runs at the lowest real-time priority where the process
// may have one (root, or an RLIMIT_RTPRIO); elsewhere it stays an ordinary thread. The kernel
// worker that carries a pty's bytes from one end to the other stays an ordinary thread.
void sServeInRealTime(std::thread& thread) {
  struct sched_param p = {};
  p.sched_priority = sched_get_priority_min(SCHED_FIFO);
  pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &p);
}

}  // namespace

SimPtyLine::SimPtyLine(PtyPair& pty, BytesFromHost fromHost, Tick tick)
    : pty_(pty), fromHost_(std::move(fromHost)), tick_(std::move(tick)) {}

SimPtyLine::~SimPtyLine() { stop(); }

void SimPtyLine::start() {
  if (thread_.joinable()) return;
  stop_ = false;
  serving_ = false;
  thread_ = std::thread([this] {
    serving_ = true;
    run();
  });
  sServeInRealTime(thread_);
  // Serving when start() returns, as a chip waiting in its boot loader listens before the
  // host's first byte.
  Eventually([this] { return serving_.load(); }, 5000, 1);
}

void SimPtyLine::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void SimPtyLine::send(const std::vector<uint8_t>& bytes, uint64_t delayMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t due = aTime_GetMonotonicMS() + delayMs;
  if (!out_.empty()) due = std::max(due, out_.back().dueMs);
  out_.push_back({bytes, due});
}

void SimPtyLine::dropQueued() {
  std::lock_guard<std::mutex> lock(mutex_);
  out_.clear();
}

void SimPtyLine::setThrottle(uint32_t charsPerSecond) {
  std::lock_guard<std::mutex> lock(mutex_);
  throttle_ = charsPerSecond;
}

void SimPtyLine::stopReadingAfter(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  stopReadingAfter_ = bytes;
}

void SimPtyLine::hangUp() {
  if (onLineThread() || !thread_.joinable()) {
    if (!hungUp_) pty_.closeMaster();
    hungUp_ = true;
    return;
  }
  hangUpAsked_ = true;
}

uint64_t SimPtyLine::bytesFromHost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fromHostCount_;
}

std::vector<LineTranscriptEntry> SimPtyLine::transcript() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transcript_;
}

std::vector<uint8_t> SimPtyLine::allFromHost() const {
  std::vector<uint8_t> all;
  for (const auto& e : transcript())
    if (e.fromHost) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
  return all;
}

std::vector<uint8_t> SimPtyLine::allToHost() const {
  std::vector<uint8_t> all;
  for (const auto& e : transcript())
    if (!e.fromHost) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
  return all;
}

bool SimPtyLine::waitSent(uint64_t ms) const {
  return Eventually(
      [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return out_.empty() || hungUp_;
      },
      ms, 1);
}

void SimPtyLine::record(bool fromHost, const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  transcript_.push_back({fromHost, std::vector<uint8_t>(data, data + size), aTime_GetMonotonicMS()});
  if (fromHost) fromHostCount_ += size;
}

void SimPtyLine::run() {
  while (!stop_ && !hungUp_) {
    if (hangUpAsked_) {
      hangUp();
      break;
    }
    uint64_t nowUs = sNowUs();
    uint64_t nowMs = aTime_GetMonotonicMS();

    // Output that is due, as much as the throttle and the pty take.
    std::vector<uint8_t> chunk;
    uint32_t throttle;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      throttle = throttle_;
      if (!out_.empty() && out_.front().dueMs <= nowMs && (throttle == 0 || writeFreeAtUs_ <= nowUs)) {
        Out& o = out_.front();
        size_t n = o.bytes.size() - o.offset;
        if (throttle != 0) n = std::min<size_t>(n, sCredit(writeFreeAtUs_, nowUs, throttle));
        chunk.assign(o.bytes.begin() + static_cast<std::ptrdiff_t>(o.offset),
                     o.bytes.begin() + static_cast<std::ptrdiff_t>(o.offset + n));
      }
    }
    bool wrote = false;
    if (!chunk.empty()) {
      ssize_t put = write(pty_.master(), chunk.data(), chunk.size());
      wrote = put > 0;
      if (put > 0) {
        record(false, chunk.data(), static_cast<size_t>(put));
        std::lock_guard<std::mutex> lock(mutex_);
        Out& o = out_.front();
        o.offset += static_cast<size_t>(put);
        if (o.offset == o.bytes.size()) out_.pop_front();
        if (throttle != 0) writeFreeAtUs_ = sLineFreeAt(writeFreeAtUs_, nowUs, static_cast<uint64_t>(put), throttle);
      }
    }

    // Input, as much as the throttle and the stop allow.
    size_t room = 4096;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (fromHostCount_ >= stopReadingAfter_) room = 0;
      else room = std::min<uint64_t>(room, stopReadingAfter_ - fromHostCount_);
      if (throttle != 0) room = readFreeAtUs_ <= nowUs ? std::min<size_t>(room, sCredit(readFreeAtUs_, nowUs, throttle)) : 0;
    }
    bool busy = false;
    if (room > 0) {
      struct pollfd p = {pty_.master(), POLLIN, 0};
      int ready = poll(&p, 1, wrote ? 0 : 1);
      ssize_t got = 0;
      if (ready > 0 && (p.revents & POLLIN) != 0) {
        uint8_t buffer[4096];
        got = read(pty_.master(), buffer, room);
        if (got > 0) {
          record(true, buffer, static_cast<size_t>(got));
          if (throttle != 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            readFreeAtUs_ = sLineFreeAt(readFreeAtUs_, nowUs, static_cast<uint64_t>(got), throttle);
          }
          fromHost_(buffer, static_cast<size_t>(got));
          busy = true;
        }
      }
      // No slave open, or a read that fails: poll would not wait.
      if (ready > 0 && got <= 0) usleep(1000);
    } else if (!wrote) {
      usleep(500);  // a full pty or a stopped reader: no spinning, least of all in real time
    }
    if (!busy && tick_) tick_();
  }
}
