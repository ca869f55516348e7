#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "aStream.h"

// A stream kind that plays a script. Its get delivers, action by action, a byte, not-ready,
// EOF or any other code; once the script is used up it answers not-ready, or EOF when so
// set. It records every put and write call with its bytes, and can fail the k-th put or
// write with a given code. The script may grow while the stream is in use.
class ScriptedStreamKind {
 public:
  enum Op { kPut, kWrite };
  struct Call {
    Op op;
    std::vector<uint8_t> bytes;
    aErr result;
  };
  ScriptedStreamKind();

  ScriptedStreamKind& Bytes(const std::vector<uint8_t>& bytes);
  ScriptedStreamKind& Byte(uint8_t byte);
  ScriptedStreamKind& NotReady(size_t times = 1);
  ScriptedStreamKind& Eof();
  // get answers `code` once at this point of the script.
  ScriptedStreamKind& Fail(aErr code);
  // What get answers once the script is used up: not-ready (the default) or EOF.
  ScriptedStreamKind& EndWithEof(bool eof = true);
  // The k-th call (from 1) of `op` fails with `code` and delivers nothing.
  ScriptedStreamKind& FailCall(Op op, size_t k, aErr code);

  // A new stream over this script; the stream owns a reference to the shared state. A stream
  // made without a delete procedure borrows this object's reference: keep the object alive.
  // The flags say which procedures it gets; a missing one exercises the aErrMode paths.
  aStream* CreateStream(bool get = true, bool put = true, bool write = true,
                        bool deleteProc = true);

  std::vector<Call> calls() const;
  // The bytes of every successful put and write, in order.
  std::vector<uint8_t> written() const;
  size_t getCalls() const;
  size_t deleteCalls() const;
  // Script actions not yet played.
  size_t pending() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::vector<std::unique_ptr<std::shared_ptr<State>>> borrowed_;
};
