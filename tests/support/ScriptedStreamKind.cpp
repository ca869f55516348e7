#include "ScriptedStreamKind.h"

#include <deque>
#include <map>

struct ScriptedStreamKind::State {
  struct Action {
    aErr code;  // aErrNone: deliver `byte`
    uint8_t byte;
  };

  mutable std::mutex mutex;
  std::deque<Action> script;
  bool endWithEof = false;
  std::map<std::pair<Op, size_t>, aErr> failures;
  size_t opCalls[2] = {0, 0};
  std::vector<Call> calls;
  size_t getCalls = 0;
  size_t deleteCalls = 0;

  aErr Record(Op op, const uint8_t* bytes, size_t n) {
    std::lock_guard<std::mutex> hold(mutex);
    size_t k = ++opCalls[op];
    auto failure = failures.find({op, k});
    aErr result = failure != failures.end() ? failure->second : aErrNone;
    calls.push_back({op, std::vector<uint8_t>(bytes, bytes + n), result});
    return result;
  }
};

namespace {

using State = ScriptedStreamKind::State;

// The stream's ref: one owning reference to the shared state.
State& sState(void* ref) { return **static_cast<std::shared_ptr<State>*>(ref); }

aErr sGet(uint8_t* byte, void* ref) {
  State& state = sState(ref);
  std::lock_guard<std::mutex> hold(state.mutex);
  state.getCalls++;
  if (state.script.empty()) return state.endWithEof ? aErrEOF : aErrNotReady;
  State::Action action = state.script.front();
  state.script.pop_front();
  if (action.code == aErrNone) *byte = action.byte;
  return action.code;
}

aErr sPut(const uint8_t* byte, void* ref) {
  return sState(ref).Record(ScriptedStreamKind::kPut, byte, 1);
}

aErr sWrite(const uint8_t* data, size_t length, void* ref) {
  return sState(ref).Record(ScriptedStreamKind::kWrite, data, length);
}

aErr sDelete(void* ref) {
  auto* owner = static_cast<std::shared_ptr<State>*>(ref);
  {
    std::lock_guard<std::mutex> hold((*owner)->mutex);
    (*owner)->deleteCalls++;
  }
  delete owner;
  return aErrNone;
}

}  // namespace

ScriptedStreamKind::ScriptedStreamKind() : state_(std::make_shared<State>()) {}

ScriptedStreamKind& ScriptedStreamKind::Bytes(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> hold(state_->mutex);
  for (uint8_t byte : bytes) state_->script.push_back({aErrNone, byte});
  return *this;
}

ScriptedStreamKind& ScriptedStreamKind::Byte(uint8_t byte) { return Bytes({byte}); }

ScriptedStreamKind& ScriptedStreamKind::NotReady(size_t times) {
  std::lock_guard<std::mutex> hold(state_->mutex);
  for (size_t i = 0; i < times; ++i) state_->script.push_back({aErrNotReady, 0});
  return *this;
}

ScriptedStreamKind& ScriptedStreamKind::Eof() { return Fail(aErrEOF); }

ScriptedStreamKind& ScriptedStreamKind::Fail(aErr code) {
  std::lock_guard<std::mutex> hold(state_->mutex);
  state_->script.push_back({code, 0});
  return *this;
}

ScriptedStreamKind& ScriptedStreamKind::EndWithEof(bool eof) {
  std::lock_guard<std::mutex> hold(state_->mutex);
  state_->endWithEof = eof;
  return *this;
}

ScriptedStreamKind& ScriptedStreamKind::FailCall(Op op, size_t k, aErr code) {
  std::lock_guard<std::mutex> hold(state_->mutex);
  state_->failures[{op, k}] = code;
  return *this;
}

aStream* ScriptedStreamKind::CreateStream(bool get, bool put, bool write, bool deleteProc) {
  auto ref = std::make_unique<std::shared_ptr<State>>(state_);
  aStream* stream =
      aStream_Create(get ? sGet : nullptr, put ? sPut : nullptr, write ? sWrite : nullptr,
                     deleteProc ? sDelete : nullptr, ref.get());
  if (stream == nullptr) return nullptr;
  if (deleteProc) {
    ref.release();
  } else {
    borrowed_.push_back(std::move(ref));
  }
  return stream;
}

std::vector<ScriptedStreamKind::Call> ScriptedStreamKind::calls() const {
  std::lock_guard<std::mutex> hold(state_->mutex);
  return state_->calls;
}

std::vector<uint8_t> ScriptedStreamKind::written() const {
  std::lock_guard<std::mutex> hold(state_->mutex);
  std::vector<uint8_t> bytes;
  for (const Call& call : state_->calls) {
    if (call.result == aErrNone) bytes.insert(bytes.end(), call.bytes.begin(), call.bytes.end());
  }
  return bytes;
}

size_t ScriptedStreamKind::getCalls() const {
  std::lock_guard<std::mutex> hold(state_->mutex);
  return state_->getCalls;
}

size_t ScriptedStreamKind::deleteCalls() const {
  std::lock_guard<std::mutex> hold(state_->mutex);
  return state_->deleteCalls;
}

size_t ScriptedStreamKind::pending() const {
  std::lock_guard<std::mutex> hold(state_->mutex);
  return state_->script.size();
}
