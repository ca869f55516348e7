#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

namespace Tavrin {

// A ring between exactly one producer thread and one consumer thread at a time, without a
// lock. It holds at most capacity - 1 elements: the slot that `tail` names is the one the
// consumer may still be copying, so the producer never writes it. A second consumer may take
// over only after the first has ended (joined), which orders its pops before the new ones.
template <typename T>
class LocklessQueue_SPSC {
 public:
  explicit LocklessQueue_SPSC(uint16_t capacity)
      : ring(std::make_unique<T[]>(capacity > 1 ? capacity : 2)), capacity(capacity > 1 ? capacity : 2) {}
  LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
  LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

  // Producer: false when the ring is full (the element is not taken).
  bool push(const T& element) {
    uint16_t next = successor(head.load());
    if (next == tail.load()) return false;
    ring[next] = element;
    head.store(next);
    return true;
  }

  // Consumer: false when the ring is empty.
  bool pop(T& out) {
    uint16_t at = tail.load();
    if (at == head.load()) return false;
    at = successor(at);
    tail.store(at);
    out = ring[at];
    return true;
  }

  bool empty() const { return tail.load() == head.load(); }
  uint16_t getCapacity() const { return capacity; }

 private:
  uint16_t successor(uint16_t slot) const { return static_cast<uint16_t>(slot + 1 == capacity ? 0 : slot + 1); }

  std::unique_ptr<T[]> ring;
  uint16_t capacity;
  std::atomic<uint16_t> head{0};  // slot of the element pushed last; the producer's
  std::atomic<uint16_t> tail{0};  // slot of the element popped last; the consumer's
};

}  // namespace Tavrin
