#include "MemoryPipe.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

struct Injected {
  size_t left = 0;
  aErr code = aErrNone;

  bool Take(aErr* result) {
    if (left == 0) return false;
    --left;
    *result = code;
    return true;
  }
};

// The bytes travelling towards one end, with everything that touches them.
struct Direction {
  mutable std::mutex mutex;
  mutable std::condition_variable readable;
  std::deque<uint8_t> bytes;
  bool senderClosed = false;
  bool receiverClosed = false;
  size_t drop = 0;
  Injected failGet;    // of the receiving end
  Injected failPut;    // of the sending end
  Injected failWrite;  // of the sending end
  std::vector<MemoryPipe::TapCall> tap;
  // Get modes of the receiving end.
  uint64_t getWaitMs = 0;
  bool fragmenting = false;
  bool gapNext = false;  // fragmenting: the next get answers not-ready
  size_t getCalls = 0;
  bool failAfterArmed = false;
  size_t failAfterBytes = 0;
  aErr failAfterCode = aErrNone;

  // A wake of the receiving end's stream that the next wait takes (aStream_Wake).
  mutable bool woken = false;

  bool FailAfterDue() const { return failAfterArmed && failAfterBytes == 0; }
  bool ReadableLocked() const {
    return !bytes.empty() || senderClosed || receiverClosed || failGet.left > 0 || FailAfterDue();
  }
};

// The write latch of one sending end. Apart from the direction's lock, so that a held writer
// blocks nobody else.
struct Latch {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  bool armed = false;
  bool held = false;

  void PassThrough() {
    std::unique_lock<std::mutex> lock(mutex);
    if (!armed) return;
    held = true;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(10), [this] { return !armed; });
    armed = false;
    held = false;
  }
};

}  // namespace

struct MemoryPipe::Shared {
  Direction towards[2];
  Latch latch[2];  // by sending end

  void Close(End end) {
    {
      std::lock_guard<std::mutex> hold(towards[end].mutex);
      towards[end].receiverClosed = true;
    }
    towards[end].readable.notify_all();
    Direction& out = towards[Other(end)];
    {
      std::lock_guard<std::mutex> hold(out.mutex);
      out.senderClosed = true;
    }
    out.readable.notify_all();
  }

  aErr Get(End end, uint8_t* byte) {
    Direction& in = towards[end];
    std::unique_lock<std::mutex> lock(in.mutex);
    ++in.getCalls;
    if (in.getWaitMs > 0 && !in.ReadableLocked()) {
      in.readable.wait_for(lock, std::chrono::milliseconds(in.getWaitMs),
                           [&in] { return in.ReadableLocked(); });
    }
    aErr injected;
    if (in.failGet.Take(&injected)) return injected;
    if (in.FailAfterDue()) {
      in.failAfterArmed = false;
      return in.failAfterCode;
    }
    if (in.receiverClosed) return aErrIO;
    if (in.gapNext) {
      in.gapNext = false;
      return aErrNotReady;
    }
    if (!in.bytes.empty()) {
      *byte = in.bytes.front();
      in.bytes.pop_front();
      in.gapNext = in.fragmenting;
      if (in.failAfterArmed && in.failAfterBytes > 0) --in.failAfterBytes;
      return aErrNone;
    }
    return in.senderClosed ? aErrEOF : aErrNotReady;
  }

  aErr Send(End from, Op op, const uint8_t* data, size_t length) {
    latch[from].PassThrough();
    Direction& out = towards[Other(from)];
    aErr result = aErrNone;
    {
      std::lock_guard<std::mutex> hold(out.mutex);
      Injected& fail = op == kPut ? out.failPut : out.failWrite;
      if (!fail.Take(&result) && (out.senderClosed || out.receiverClosed)) result = aErrIO;
      out.tap.push_back({op, std::vector<uint8_t>(data, data + length), result});
      if (result != aErrNone) return result;
      size_t dropped = length < out.drop ? length : out.drop;
      out.drop -= dropped;
      out.bytes.insert(out.bytes.end(), data + dropped, data + length);
    }
    out.readable.notify_all();
    return aErrNone;
  }

  bool WaitReadable(End end, uint64_t ms) const {
    const Direction& in = towards[end];
    std::unique_lock<std::mutex> lock(in.mutex);
    auto ready = [&in] { return in.ReadableLocked() || in.woken; };
    bool came = true;
    // Waits this long are endless in practice; keep the deadline inside the clock's range.
    if (ms >= (uint64_t{1} << 40)) {
      in.readable.wait(lock, ready);
    } else {
      came = in.readable.wait_for(lock, std::chrono::milliseconds(ms), ready);
    }
    in.woken = false;
    return came;
  }

  void Wake(End end) {
    {
      std::lock_guard<std::mutex> hold(towards[end].mutex);
      towards[end].woken = true;
    }
    towards[end].readable.notify_all();
  }
};

namespace {

// The stream's ref: which end, and an owning reference to the shared state.
struct EndRef {
  std::shared_ptr<MemoryPipe::Shared> shared;
  MemoryPipe::End end;
};

EndRef& sRef(void* ref) { return *static_cast<EndRef*>(ref); }

aErr sGet(uint8_t* byte, void* ref) { return sRef(ref).shared->Get(sRef(ref).end, byte); }

aErr sPut(const uint8_t* byte, void* ref) {
  return sRef(ref).shared->Send(sRef(ref).end, MemoryPipe::kPut, byte, 1);
}

aErr sWrite(const uint8_t* data, size_t length, void* ref) {
  return sRef(ref).shared->Send(sRef(ref).end, MemoryPipe::kWrite, data, length);
}

aErr sWait(uint32_t ms, void* ref) {
  EndRef& end = sRef(ref);
  {
    Direction& in = end.shared->towards[end.end];
    std::lock_guard<std::mutex> hold(in.mutex);
    if (in.getWaitMs > 0) return aErrNone;  // get waits by itself
  }
  return end.shared->WaitReadable(end.end, ms) ? aErrNone : aErrTimeout;
}

void sWake(void* ref) { sRef(ref).shared->Wake(sRef(ref).end); }

aErr sDelete(void* ref) {
  EndRef* owner = static_cast<EndRef*>(ref);
  owner->shared->Close(owner->end);
  delete owner;
  return aErrNone;
}

}  // namespace

MemoryPipe::MemoryPipe() : shared_(std::make_shared<Shared>()) {
  for (End end : {kA, kB}) {
    streams_[end] = aStream_Create(sGet, sPut, sWrite, sDelete, new EndRef{shared_, end});
    aStream_SetWait(streams_[end], sWait);
    aStream_SetWake(streams_[end], sWake);
  }
}

MemoryPipe::~MemoryPipe() {
  for (aStream*& stream : streams_) {
    if (stream != nullptr) aStream_Destroy(&stream);
  }
}

aStream* MemoryPipe::Release(End end) {
  aStream* stream = streams_[end];
  streams_[end] = nullptr;
  return stream;
}

bool MemoryPipe::WaitReadable(End end, uint64_t ms) const { return shared_->WaitReadable(end, ms); }

bool MemoryPipe::WaitReadable(aStream* end, uint64_t ms) {
  if (!aVALIDSTREAM(end) || end->get != sGet) return false;
  return sRef(end->ref).shared->WaitReadable(sRef(end->ref).end, ms);
}

void MemoryPipe::Inject(End end, const std::vector<uint8_t>& bytes) {
  Direction& in = shared_->towards[end];
  {
    std::lock_guard<std::mutex> hold(in.mutex);
    in.bytes.insert(in.bytes.end(), bytes.begin(), bytes.end());
  }
  in.readable.notify_all();
}

void MemoryPipe::DropTowards(End end, size_t n) {
  Direction& in = shared_->towards[end];
  std::lock_guard<std::mutex> hold(in.mutex);
  in.drop += n;
}

void MemoryPipe::FailNext(End end, Op op, size_t k, aErr code) {
  Direction& dir = shared_->towards[op == kGet ? end : Other(end)];
  {
    std::lock_guard<std::mutex> hold(dir.mutex);
    Injected& fail = op == kGet ? dir.failGet : op == kPut ? dir.failPut : dir.failWrite;
    fail.left = k;
    fail.code = code;
  }
  if (op == kGet) dir.readable.notify_all();
}

void MemoryPipe::FailGetAfter(End end, size_t bytes, aErr code) {
  Direction& in = shared_->towards[end];
  {
    std::lock_guard<std::mutex> hold(in.mutex);
    in.failAfterArmed = true;
    in.failAfterBytes = bytes;
    in.failAfterCode = code;
  }
  in.readable.notify_all();
}

void MemoryPipe::Close(End end) { shared_->Close(end); }

void MemoryPipe::SetGetWait(End end, uint64_t ms) {
  Direction& in = shared_->towards[end];
  std::lock_guard<std::mutex> hold(in.mutex);
  in.getWaitMs = ms;
}

void MemoryPipe::SetFragmenting(End end, bool on) {
  Direction& in = shared_->towards[end];
  std::lock_guard<std::mutex> hold(in.mutex);
  in.fragmenting = on;
  if (!on) in.gapNext = false;
}

size_t MemoryPipe::GetCalls(End end) const {
  const Direction& in = shared_->towards[end];
  std::lock_guard<std::mutex> hold(in.mutex);
  return in.getCalls;
}

void MemoryPipe::HoldWrites(End from) {
  Latch& latch = shared_->latch[from];
  std::lock_guard<std::mutex> hold(latch.mutex);
  latch.armed = true;
}

bool MemoryPipe::WaitWriteHeld(End from, uint64_t ms) const {
  const Latch& latch = shared_->latch[from];
  std::unique_lock<std::mutex> lock(latch.mutex);
  return latch.changed.wait_for(lock, std::chrono::milliseconds(ms), [&latch] { return latch.held; });
}

void MemoryPipe::ReleaseWrites(End from) {
  Latch& latch = shared_->latch[from];
  {
    std::lock_guard<std::mutex> hold(latch.mutex);
    latch.armed = false;
  }
  latch.changed.notify_all();
}

std::vector<MemoryPipe::TapCall> MemoryPipe::Tap(End from) const {
  const Direction& out = shared_->towards[Other(from)];
  std::lock_guard<std::mutex> hold(out.mutex);
  return out.tap;
}

size_t MemoryPipe::Pending(End end) const {
  const Direction& in = shared_->towards[end];
  std::lock_guard<std::mutex> hold(in.mutex);
  return in.bytes.size();
}
