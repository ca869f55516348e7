#pragma once
#include <atomic>
#include <cstddef>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

namespace Tavrin {

// A ring between exactly one producer thread and one consumer thread at a time, without a
// lock. It holds at most capacity - 1 elements: the slot that `tail` names is the one the
// consumer may still be copying, so the producer never writes it. A second consumer may take
// over only after the first has ended (joined), which orders its pops before the new ones.
// Each side keeps the other's index as last seen on its own cache line and reads the other's
// line again only when the ring looks full (producer) or empty (consumer).
template <typename T>
class LocklessQueue_SPSC {
 public:
  explicit LocklessQueue_SPSC(uint16_t capacity)
      : ring(std::make_unique<T[]>(capacity > 1 ? capacity : 2)), capacity(capacity > 1 ? capacity : 2) {}
  LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
  LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

  // Producer: false when the ring is full (the element is not taken, nor moved from).
  bool push(const T& element) { return pushWith([&](T& slot) { slot = element; }); }
  bool push(T&& element) { return pushWith([&](T& slot) { slot = std::move(element); }); }

  // Consumer: false when the ring is empty. The slot is moved from: the producer never writes
  // the slot `tail` names.
  bool pop(T& out) {
    uint16_t at = tail.load();
    if (at == headSeen) {
      headSeen = head.load();
      if (at == headSeen) return false;
    }
    at = successor(at);
    tail.store(at);
    out = std::move(ring[at]);
    return true;
  }

  // Sequentially consistent load of `head`: ConsumerWake's sleeper looks with it after raising
  // its flag (see there).
  bool empty() const { return tail.load() == head.load(std::memory_order_seq_cst); }
  uint16_t getCapacity() const { return capacity; }

 private:
  static constexpr size_t kLine = 64;

  template <typename Fill>
  bool pushWith(Fill fill) {
    uint16_t next = successor(head.load());
    if (next == tailSeen) {
      tailSeen = tail.load();
      if (next == tailSeen) return false;
    }
    fill(ring[next]);
    // Sequentially consistent, not release: ConsumerWake relies on this store coming before the
    // producer's load of its flag (see there).
    head.store(next, std::memory_order_seq_cst);
    return true;
  }
  uint16_t successor(uint16_t slot) const { return static_cast<uint16_t>(slot + 1 == capacity ? 0 : slot + 1); }

  std::unique_ptr<T[]> ring;
  uint16_t capacity;
  alignas(kLine) std::atomic<uint16_t> head{0};  // slot of the element pushed last; the producer's
  uint16_t tailSeen = 0;                         // the producer's last look at `tail`
  alignas(kLine) std::atomic<uint16_t> tail{0};  // slot of the element popped last; the consumer's
  uint16_t headSeen = 0;                         // the consumer's last look at `head`
  char pad[kLine - 2 * sizeof(uint16_t)] = {};   // nothing else on the consumer's line
};

// Lets the one consumer of such a ring sleep while it has nothing to do, and the producer wake
// it without ever waiting on it: the producer takes the lock only when the consumer has said it
// sleeps, and the consumer holds it only to say so and look once more.
//
// No wake-up is lost only because both sides' orders are sequentially consistent: the push's
// store of `head` before its load of `sleeping`, against the sleeper's store of `sleeping`
// before its load of `head` (the ring's empty()). Each is a store followed by a load of another
// variable; release and acquire would let either load be done before its store, both sides
// read the old values, and the consumer sleep on a pushed element to its bound. So none of the
// four may be weakened ("relaxed is enough" is wrong here); the lock does not help, since the
// producer takes it only after seeing the flag.
class ConsumerWake {
 public:
  // Producer, after a push: wakes the consumer when it sleeps; else one load.
  void wakeIfSleeping() {
    if (sleeping.load(std::memory_order_seq_cst) && sleeping.exchange(false)) wakeUp();
  }
  // After a change that is not a sequentially consistent store (a promise set, say): always
  // takes the lock, so that the consumer's look under it sees the change or the wake-up comes.
  void wake() {
    sleeping.store(false);
    wakeUp();
  }
  // Consumer: sleeps until woken, ready() holds, or `bound` passes; ready() is read under the
  // lock after the flag is up. False when the bound ended it.
  template <typename Ready>
  bool sleep(std::chrono::nanoseconds bound, Ready ready) {
    auto until = std::chrono::steady_clock::now() + bound;
    std::unique_lock<std::mutex> hold(lock);
    // Sequentially consistent, before ready()'s look at the ring (see the class comment).
    sleeping.store(true, std::memory_order_seq_cst);
    bool boundPassed = false;
    while (!boundPassed && sleeping.load() && !ready())
      boundPassed = changed.wait_until(hold, until) == std::cv_status::timeout;
    sleeping.store(false);
    return !boundPassed;
  }

 private:
  void wakeUp() {
    { std::lock_guard<std::mutex> hold(lock); }
    changed.notify_one();
  }

  std::atomic<bool> sleeping{false};
  std::mutex lock;
  std::condition_variable changed;
};

}  // namespace Tavrin
