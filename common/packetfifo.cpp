#include "packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace {

struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

using OwnedPacket = std::unique_ptr<aPacket, aPacketDeleter>;

// One queue entry: the FIFO's sequence number and its own copy of the packet.
class SerialPacket {
 public:
  SerialPacket(int64_t id, aPacket* packet) : entry_(id, OwnedPacket(packet)) {}
  SerialPacket(SerialPacket&&) = default;
  SerialPacket& operator=(SerialPacket&&) = default;
  SerialPacket(const SerialPacket&) = delete;
  SerialPacket& operator=(const SerialPacket&) = delete;

  int64_t getId() const { return entry_.first; }
  const aPacket* getPacket() const { return entry_.second.get(); }
  OwnedPacket takePacket() { return std::move(entry_.second); }

 private:
  std::pair<int64_t, OwnedPacket> entry_;
};

using Clock = std::chrono::steady_clock;

// Time-outs from here on have no deadline: now + 2^40 ms is far inside the clock's range,
// while larger ones could overflow it.
constexpr uint64_t kNoDeadlineMs = uint64_t{1} << 40;

class packetFifo {
 public:
  using Queue = std::deque<SerialPacket>;

  Queue queue;
  std::condition_variable condition;
  std::mutex mutex;
  std::atomic<bool> open{true};
  std::atomic<int64_t> windowStart{0};
  std::atomic<int64_t> nextId{0};

  // The following run with `mutex` held, which orders every access to the atomics.
  void clearAndSyncWindow() {
    queue.clear();
    windowStart.store(nextId.load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  void eraseAndSyncWindow(Queue::iterator first, Queue::iterator last) {
    queue.erase(first, last);
    syncWindow();
  }
  void syncWindow() {
    int64_t start = queue.empty() ? nextId.load(std::memory_order_relaxed) : queue.front().getId();
    windowStart.store(start, std::memory_order_relaxed);
  }
  void eraseAndSyncWindow(Queue::iterator entry) { eraseAndSyncWindow(entry, std::next(entry)); }

  // Waits on the condition until `ready` holds or the time-out passes; ready is tested before
  // the first wait, after each wake-up and at the deadline.
  template <typename Ready>
  void waitFor(std::unique_lock<std::mutex>& lock, uint64_t ms, Ready ready) {
    if (ready()) return;  // the common case needs no clock
    if (ms >= kNoDeadlineMs) {
      condition.wait(lock, ready);
    } else {
      condition.wait_until(lock, Clock::now() + std::chrono::milliseconds(ms), ready);
    }
  }
};

using FifoRef = std::shared_ptr<packetFifo>;

std::atomic<aPacketFifoId> gpSequentialId{1};
std::map<aPacketFifoId, FifoRef> gpPacketFifoDictionary;
std::mutex gpPacketFifoDictionaryMutex;

FifoRef sGetFifo(aPacketFifoId id) {
  std::lock_guard<std::mutex> hold(gpPacketFifoDictionaryMutex);
  auto found = gpPacketFifoDictionary.find(id);
  return found != gpPacketFifoDictionary.end() ? found->second : nullptr;
}

FifoRef sExtractFifo(aPacketFifoId id) {
  std::lock_guard<std::mutex> hold(gpPacketFifoDictionaryMutex);
  auto found = gpPacketFifoDictionary.find(id);
  if (found == gpPacketFifoDictionary.end()) return nullptr;
  FifoRef fifo = std::move(found->second);
  gpPacketFifoDictionary.erase(found);
  return fifo;
}

// What one take needs besides the FIFO's lock: the caller's copy, allocated before locking so
// that no allocation holds the lock, and the entry's own record, freed after unlocking.
// Declare it before the lock.
struct Take {
  OwnedPacket copy{aPacket_Create()};
  OwnedPacket spent;
};

// Copies the entry's packet for the caller, then removes the entry. Runs under the FIFO's lock.
aPacket* _stealPacketFromFifo(packetFifo& fifo, packetFifo::Queue::iterator entry, Take& take) {
  *take.copy = *entry->getPacket();  // complete: it was copied in by a put
  take.spent = entry->takePacket();
  fifo.eraseAndSyncWindow(entry);
  return take.copy.release();
}

void _waitUntilNotEmpty(packetFifo& fifo, std::unique_lock<std::mutex>& lock, uint64_t ms) {
  fifo.waitFor(lock, ms, [&fifo] {
    return !fifo.queue.empty() || !fifo.open.load(std::memory_order_relaxed);
  });
}

// Offers every packet not offered yet in this call, oldest first, until one is accepted;
// `accepted` is then its entry.
bool _waitUntilProcIsSatisfied(packetFifo& fifo, std::unique_lock<std::mutex>& lock, uint64_t ms,
                               aPacketMatchProc match, const void* ref,
                               packetFifo::Queue::iterator* accepted) {
  int64_t lastSeen = fifo.windowStart.load(std::memory_order_relaxed) - 1;
  bool found = false;
  fifo.waitFor(lock, ms, [&] {
    for (auto entry = fifo.queue.begin(); entry != fifo.queue.end(); ++entry) {
      if (entry->getId() - lastSeen <= 0) continue;
      lastSeen = entry->getId();
      if (match(entry->getPacket(), ref) != 0) {
        *accepted = entry;
        found = true;
        return true;
      }
    }
    return !fifo.open.load(std::memory_order_relaxed);
  });
  return found;
}

}  // namespace

aPacketFifoId aPacketFifo_Create() {
  try {
    auto fifo = std::make_shared<packetFifo>();
    std::lock_guard<std::mutex> hold(gpPacketFifoDictionaryMutex);
    aPacketFifoId id = 0;
    while (id == 0) id = gpSequentialId.fetch_add(1);
    gpPacketFifoDictionary.emplace(id, std::move(fifo));
    return id;
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(aPacketFifoId* id) {
  if (id == nullptr) return aErrParam;
  try {
    FifoRef fifo = sExtractFifo(*id);
    if (!fifo) return aErrNotFound;
    {
      std::lock_guard<std::mutex> hold(fifo->mutex);
      fifo->clearAndSyncWindow();
      fifo->open = false;
    }
    fifo->condition.notify_all();
    *id = 0;
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  try {
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return aErrParam;
    // Copied before locking, so that the taker never waits for an allocation.
    aPacket* copy = aPacket_Copy(packet);
    {
      std::lock_guard<std::mutex> hold(fifo->mutex);
      // A destroy may have run since the look-up; nobody would ever read this packet.
      if (!fifo->open) {
        aPacket_Destroy(&copy);
        return aErrParam;
      }
      // Consumed even when the copy failed.
      int64_t number = fifo->nextId.fetch_add(1, std::memory_order_relaxed);
      if (copy == nullptr) return aErrParam;
      try {
        fifo->queue.emplace_back(number, copy);
      } catch (...) {
        aPacket_Destroy(&copy);
        return aErrResource;
      }
      fifo->syncWindow();
      if (fifo->queue.size() > aPACKETFIFO_LIMIT) {
        // Nobody empties this FIFO: shed everything at once and wake nobody.
        fifo->clearAndSyncWindow();
        return aErrNone;
      }
    }
    fifo->condition.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrParam;
  }
}

namespace {

// The common path of every take: find the FIFO, make the copy outside its lock, then let
// `pick` choose an entry under the lock (end() for none, maybe after waiting) and take it.
template <typename Pick>
aPacket* sTake(aPacketFifoId id, Pick pick) {
  try {
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return nullptr;
    Take take;
    if (!take.copy) return nullptr;
    std::unique_lock<std::mutex> lock(fifo->mutex);
    packetFifo::Queue::iterator entry = pick(*fifo, lock);
    if (entry == fifo->queue.end()) return nullptr;
    return _stealPacketFromFifo(*fifo, entry, take);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

aPacket* aPacketFifo_Get(aPacketFifoId id) {
  return sTake(id, [](packetFifo& fifo, std::unique_lock<std::mutex>&) { return fifo.queue.begin(); });
}

aPacket* aPacketFifo_Await(aPacketFifoId id, uint64_t ms) {
  return sTake(id, [ms](packetFifo& fifo, std::unique_lock<std::mutex>& lock) {
    _waitUntilNotEmpty(fifo, lock, ms);
    return fifo.queue.begin();
  });
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketMatchProc match, const void* ref) {
  if (match == nullptr) return nullptr;
  return sTake(id, [match, ref](packetFifo& fifo, std::unique_lock<std::mutex>&) {
    return std::find_if(fifo.queue.begin(), fifo.queue.end(),
                        [&](const SerialPacket& entry) { return match(entry.getPacket(), ref) != 0; });
  });
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketMatchProc match, const void* ref,
                                uint64_t ms) {
  if (match == nullptr) return nullptr;
  return sTake(id, [match, ref, ms](packetFifo& fifo, std::unique_lock<std::mutex>& lock) {
    packetFifo::Queue::iterator accepted;
    if (!_waitUntilProcIsSatisfied(fifo, lock, ms, match, ref, &accepted)) return fifo.queue.end();
    return accepted;
  });
}

size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketMatchProc match, const void* ref) {
  if (match == nullptr) return 0;
  try {
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> hold(fifo->mutex);
    size_t before = fifo->queue.size();
    // remove_if asks once per entry, front to back, and keeps the others in order.
    auto kept = std::remove_if(
        fifo->queue.begin(), fifo->queue.end(),
        [&](const SerialPacket& entry) { return match(entry.getPacket(), ref) != 0; });
    fifo->eraseAndSyncWindow(kept, fifo->queue.end());
    return before - fifo->queue.size();
  } catch (...) {
    return 0;
  }
}

size_t aPacketFifo_GetLength(aPacketFifoId id) {
  try {
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> hold(fifo->mutex);
    return fifo->queue.size();
  } catch (...) {
    return 0;
  }
}
