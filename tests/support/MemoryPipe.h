#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "aStream.h"

// A two-ended, thread-safe, in-memory byte pipe. Each end is an aStream: a put or write on one
// end appends to the other end's input in one step, so one write arrives whole. Get answers a
// byte when one is waiting, aErrNotReady while the other end is open, and aErrEOF once the
// other end has closed and its bytes are drained; writing towards a closed end, and any call
// on a closed end itself, gives aErrIO. Destroying an end's stream closes that end. Each
// direction has its own lock and condition variable, so one reader and one writer per end run
// concurrently, as on a real kind. The shared state lives until this object and both streams
// are gone. Both streams carry a wait procedure (aStream_WaitReadable) over WaitReadable.
//
// Get behaves like the TCP and serial kinds by default (aErrNotReady at once); SetGetWait
// makes it wait for a byte like the USB kind. The fragmenting mode answers aErrNotReady
// between any two bytes, as a framing kind does between frames.
class MemoryPipe {
 public:
  enum End { kA = 0, kB = 1 };
  enum Op { kGet, kPut, kWrite };
  struct TapCall {
    Op op;                       // kPut or kWrite
    std::vector<uint8_t> bytes;  // as handed in, also when dropped or refused
    aErr result;
  };

  MemoryPipe();
  // Destroys the streams that were not released.
  ~MemoryPipe();
  MemoryPipe(const MemoryPipe&) = delete;
  MemoryPipe& operator=(const MemoryPipe&) = delete;

  static End Other(End end) { return end == kA ? kB : kA; }

  // The end's stream while this object owns it, else NULL.
  aStream* stream(End end) const { return streams_[end]; }
  // Hands the end's stream to the caller, who destroys it with aStream_Destroy.
  aStream* Release(End end);

  // True as soon as a byte, EOF or an injected get failure waits at the end, false after `ms`.
  // A reader that must not spin sleeps here after aErrNotReady.
  bool WaitReadable(End end, uint64_t ms) const;
  // The same for a pipe stream known only by its handle; false for any other stream.
  static bool WaitReadable(aStream* end, uint64_t ms);

  // Fault injection, safe while both ends are in use.
  // Appends bytes to the end's input, as garbage from the far side.
  void Inject(End end, const std::vector<uint8_t>& bytes);
  // Drops the next n bytes written towards the end.
  void DropTowards(End end, size_t n);
  // The end's next k calls of `op` return `code` and move no byte.
  void FailNext(End end, Op op, size_t k, aErr code);
  // The end's get delivers `bytes` more bytes and then answers `code` once.
  void FailGetAfter(End end, size_t bytes, aErr code);
  // Closes the end, as a disconnect; its stream stays valid until destroyed.
  void Close(End end);

  // Modes of the end's get, safe while the end is in use.
  // 0 (the default): aErrNotReady at once. Otherwise get waits up to ms for a byte; the
  // stream's wait procedure then returns at once, as for a kind whose get waits by itself.
  void SetGetWait(End end, uint64_t ms);
  // After each byte delivered, the next get answers aErrNotReady, bytes waiting or not.
  void SetFragmenting(End end, bool on);
  // Calls of get made on the end so far, whatever they answered.
  size_t GetCalls(End end) const;

  // The latch: the next put or write made on the end stops inside the call, before its bytes
  // move, until ReleaseWrites (or, so that no test hangs, 10 s).
  void HoldWrites(End from);
  // True once a writer of the end is held by the latch, false after `ms`.
  bool WaitWriteHeld(End from, uint64_t ms) const;
  // Lets the held writer (if any) go on, and disarms the latch.
  void ReleaseWrites(End from);

  // Every put and write call made on the end, call boundaries kept.
  std::vector<TapCall> Tap(End from) const;
  // Bytes waiting at the end.
  size_t Pending(End end) const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  aStream* streams_[2] = {nullptr, nullptr};
};
