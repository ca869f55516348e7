#include "SimStreamEmitter.h"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kIdlePoll = std::chrono::milliseconds(100);
constexpr auto kPaceTick = std::chrono::microseconds(500);

}  // namespace

SimStreamEmitter::SimStreamEmitter(Send send, Allowed allowed)
    : send_(std::move(send)), allowed_(std::move(allowed)) {}

SimStreamEmitter::~SimStreamEmitter() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stop_ = true;
    ++job_;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SimStreamEmitter::Start(std::vector<std::vector<uint8_t>> samples, uint64_t count, uint32_t perSecond) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    samples_ = std::move(samples);
    count_ = count;
    perSecond_ = perSecond;
    next_ = 0;
    ++job_;
    busy_ = !samples_.empty();
    // Made with the first job: a device that never streams keeps its thread count.
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  }
  changed_.notify_all();
}

void SimStreamEmitter::Stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ++job_;
    busy_ = false;
  }
  changed_.notify_all();
}

bool SimStreamEmitter::WaitIdle(uint64_t ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !busy_; });
}

uint64_t SimStreamEmitter::SendPiece(uint64_t most) {
  std::vector<uint8_t> piece;
  uint64_t taken = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    while (taken < most && (count_ == 0 || next_ < count_)) {
      const std::vector<uint8_t>& wire = samples_[next_ % samples_.size()];
      if (piece.size() + wire.size() > kPieceBytes) break;
      ++next_;
      ++taken;
      if (allowed_(wire)) {
        piece.insert(piece.end(), wire.begin(), wire.end());
        sent_.fetch_add(1);
      } else {
        heldBack_.fetch_add(1);
      }
    }
  }
  if (!piece.empty()) send_(piece);
  return taken;
}

void SimStreamEmitter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (!busy_) {
      changed_.wait_for(lock, kIdlePoll);
      continue;
    }
    uint64_t job = job_;
    uint32_t perSecond = perSecond_;
    Clock::time_point start = Clock::now();
    uint64_t done = 0;
    lock.unlock();
    for (;;) {
      uint64_t most = UINT64_MAX;
      if (perSecond > 0) {
        // As many as are due by now, the rest of the tick asleep.
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        uint64_t due = static_cast<uint64_t>(seconds * perSecond);
        if (due <= done) {
          std::this_thread::sleep_for(kPaceTick);
          std::lock_guard<std::mutex> hold(mutex_);
          if (job_ != job) break;
          continue;
        }
        most = due - done;
      }
      uint64_t taken = SendPiece(most);
      done += taken;
      std::lock_guard<std::mutex> hold(mutex_);
      if (job_ != job) break;
      if (taken == 0) {
        busy_ = false;  // the job's count is reached
        break;
      }
    }
    lock.lock();
    changed_.notify_all();
  }
}
