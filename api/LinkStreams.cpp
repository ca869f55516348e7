// Link: value streams. The device streams samples of the options it was asked to; the held
// link's reader thread hands each to linkStreamFilter before it would be queued, which keeps
// the last value of each and queues the registered callbacks on a ring; one worker thread
// calls them, one at a time and in order, and sleeps while the ring is empty until the filter
// queues more or a stop is asked for.
#include <chrono>
#include <system_error>

#include "LinkChecks.h"
#include "LinkImpl.h"
#include "unix_thread.h"

namespace Tavrin::Corvantis {

namespace {

constexpr uint8_t kAny = 0xFF;
constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kEnableOption = 1;
constexpr uint8_t kDisableOption = 2;
constexpr uint8_t kStreamingOption = 1;
constexpr uint8_t kSet = 0x80;
constexpr uint8_t kGet = 0x40;
constexpr uint8_t kAck = 0xC0;
constexpr uint8_t kRequestIndex = 0x20;

bool sMatches(uint8_t wanted, uint8_t element) { return wanted == kAny || wanted == element; }

}  // namespace

uint8_t Link::linkStreamFilter(const aPacket* packet, void* ref) {
  StreamSampleInfo info;
  if (!sStreamSampleInfo(packet, &info)) return 0;
  impl* self = static_cast<impl*>(ref);
  std::lock_guard<std::mutex> hold(self->streamsLock);
  const StreamEntry* targets[kMaxSampleTargets];
  size_t found = sRouteStreamSample(self->streams, info, targets);
  for (size_t i = 0; i < found; ++i) self->queueAsyncCallback(*targets[i], packet);
  // Every stream packet of a known kind is taken, also when nothing covers it.
  return 1;
}

void Link::impl::queueAsyncCallback(const StreamEntry& entry, const aPacket* packet) {
  if (!entry.callback) return;
  // A packet the worker is done with, when there is one: no allocation per sample.
  aPacket* copy = nullptr;
  if (spareQueue.pop(copy)) {
    *copy = *packet;
  } else {
    copy = aPacket_Copy(packet);
  }
  asyncPacket item{entry.callback, entry.ref, copy};
  if (item.packet == nullptr) return;
  // A full ring drops the sample for the callbacks; the cache has its value already.
  if (!callbackQueue.push(std::move(item))) {
    aPacket_Destroy(&item.packet);
    return;
  }
  callbackWake.wakeIfSleeping();
}

void Link::impl::asyncWork(Tavrin::LocklessQueue_SPSC<asyncPacket>* ring, Tavrin::LocklessQueue_SPSC<aPacket*>* spares,
                           Tavrin::ConsumerWake* wake, std::future<void> stop,
                           std::shared_ptr<std::atomic<bool>> endAfterCallback) {
  auto stopped = [&stop] { return stop.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
  asyncPacket item;
  bool lastWatchFound = false;
  bool lastSleepShort = false;
  bool shortSleepsWatch = true;  // a watch after a short sleep last paid
  for (;;) {
    size_t taken = 0;
    while (ring->pop(item)) {
      ++taken;
      item.callback(item.packet, item.ref);
      // Nothing of the Link (rings, wake) is touched once a callback has ended this worker.
      if (endAfterCallback->load()) {
        aPacket_Destroy(&item.packet);
        return;
      }
      if (!spares->push(item.packet)) aPacket_Destroy(&item.packet);
      item.packet = nullptr;
      if (stopped()) return;
    }
    if (stopped()) return;
    // A burst keeps coming a few microseconds apart: watched for a moment, the next sample is
    // taken without a sleep, and the filter without a wake-up to make. For a paced stream the
    // watch would be a busy wait per sample, so it is spent only while samples come that close:
    // more than one was waiting since the ring was last found empty, or the last watch ended on
    // one. A short sleep also counts, but only until such a watch runs out: a paced stream's
    // samples come in small pieces, whose second one ends a sleep at once, and a burst then
    // shows itself again by a watch that finds a sample.
    bool found = false;
    const bool closeTogether = taken > 1 || lastWatchFound;
    if (closeTogether || (lastSleepShort && shortSleepsWatch)) {
      auto now = std::chrono::steady_clock::now();
      auto watchUntil = now + kWorkerWatch;
      while (ring->empty() && now < watchUntil) {
        // Looks kWorkerLook apart let a batch of samples gather, so that the filter's writes and
        // the worker's reads pass the ring's lines between the cores once a batch, not once a
        // sample (which cost the filter a third of its time per sample).
        for (auto lookAt = now + kWorkerLook; now < lookAt; now = std::chrono::steady_clock::now())
          aThread_CpuRelax();
        // A woken worker is often put on the processor of the reader that woke it; yielding
        // between looks lets that reader fill the ring instead of waiting behind the watch.
        std::this_thread::yield();
      }
      found = !ring->empty();
      if (found) {
        shortSleepsWatch = true;
      } else if (!closeTogether) {
        shortSleepsWatch = false;
      }
    }
    lastWatchFound = found;
    if (found) continue;
    auto asleep = std::chrono::steady_clock::now();
    wake->sleep(kWorkerIdleBound, [&] { return !ring->empty() || stopped(); });
    lastSleepShort = std::chrono::steady_clock::now() - asleep < kWorkerShortSleep;
  }
}

bool Link::impl::onWorker() const {
  return callbackWorker != nullptr && callbackWorker->get_id() == std::this_thread::get_id();
}

aErr Link::impl::startWorker() {
  if (callbackWorker != nullptr) {
    if (!endAfterCallback->load()) return aErrNone;
    if (onWorker()) {
      // Started again from inside the callback that stopped it: it goes on.
      *endAfterCallback = false;
      return aErrNone;
    }
    // It ends (or has ended) after the callback that stopped it; exactly one consumer.
    callbackWorker->join();
    delete callbackWorker;
    callbackWorker = nullptr;
    stopWorker = std::promise<void>();
  }
  try {
    endAfterCallback = std::make_shared<std::atomic<bool>>(false);
    callbackWorker =
        new std::thread(&impl::asyncWork, &callbackQueue, &spareQueue, &callbackWake, stopWorker.get_future(),
                        endAfterCallback);
  } catch (const std::system_error&) {
    stopWorker = std::promise<void>();
    return aErrResource;
  }
  return aErrNone;
}

void Link::impl::stopWorkerThread() {
  if (callbackWorker == nullptr) return;
  if (onWorker()) {
    // A thread cannot join itself: the worker ends once this callback returns, and the next
    // start or the destructor joins it.
    *endAfterCallback = true;
    return;
  }
  stopWorker.set_value();
  callbackWake.wake();
  callbackWorker->join();
  delete callbackWorker;
  callbackWorker = nullptr;
  stopWorker = std::promise<void>();
  dropQueuedSamples();
}

void Link::impl::dropQueuedSamples() {
  asyncPacket item;
  while (callbackQueue.pop(item)) aPacket_Destroy(&item.packet);
}

aErr Link::impl::removeOwnFilter() {
  if (linkRef == 0) return aErrNone;
  aErr err = aLink_RemoveUserPacketFilterIf(linkRef, linkStreamFilter, this);
  // Another holder's filter (or none) is left alone.
  return err == aErrNotFound ? aErrNone : err;
}

aErr Link::impl::installStreamFilter(bool on) {
  if (linkRef == 0) return aErrConnection;
  aErr err = on ? aLink_InstallUserPacketFilter(linkRef, linkStreamFilter, this) : removeOwnFilter();
  if (err != aErrNone) return err;
  if (on) return startWorker();
  // The filter is off: the lock order (filter lock, then streamsLock) holds.
  {
    std::lock_guard<std::mutex> hold(streamsLock);
    streams.clear();
  }
  stopWorkerThread();
  return aErrNone;
}

void Link::impl::closeStreams() {
  if (onWorker()) {
    // A callback destroying its own Link: the worker ends when the callback returns and reads
    // nothing of the Link after it.
    *endAfterCallback = true;
    callbackWorker->detach();
    delete callbackWorker;
    callbackWorker = nullptr;
  }
  // The worker first: once it is joined no callback can register again and install the filter.
  stopWorkerThread();
  removeOwnFilter();
  {
    std::lock_guard<std::mutex> hold(streamsLock);
    streams.clear();
  }
  dropQueuedSamples();
  // No filter takes spares any more, and no worker returns them.
  aPacket* spare = nullptr;
  while (spareQueue.pop(spare)) aPacket_Destroy(&spare);
}

aErr Link::impl::sendStreamControl(uint8_t module, uint64_t key, bool enable) {
  uint8_t option = enable ? kEnableOption : kDisableOption;
  // An acknowledgement that came after an earlier wait gave up must not answer this request.
  owner.dropMatchingUEIPackets(module, kStreamCommand, option | kAck, 0);
  uei request{};
  request.module = module;
  request.command = kStreamCommand;
  request.option = option | kSet;
  request.index = kRequestIndex;
  request.type = ueiTypeInt;
  request.value.intVal = static_cast<uint32_t>(key);
  aErr err = owner.sendUEI(request);
  if (err != aErrNone) return err;
  uei reply{};
  reply.module = module;
  reply.command = kStreamCommand;
  reply.option = option | kAck;
  reply.index = 0;
  err = owner.receiveUEI(module, kStreamCommand, reply.option, 0, &reply);
  return err != aErrNone ? err : sEntityReplyError(reply);
}

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  StreamCallback callback, void* ref) {
  if ((module & 1) != 0) return aErrParam;
  uint64_t key = createStreamKey(module, command, option, index, kAny);
  // What this call changed, to undo it alone when the device does not take the request.
  bool inserted = false;
  StreamCallback replacedCallback;
  void* replacedRef = nullptr;
  bool empty = false;
  {
    std::lock_guard<std::mutex> hold(impl_->streamsLock);
    if (enable) {
      auto it = impl_->streams.find(key);
      if (it == impl_->streams.end()) {
        StreamEntry entry;
        entry.key = key;
        entry.callback = std::move(callback);
        entry.ref = ref;
        impl_->streams.emplace(key, std::move(entry));
        inserted = true;
      } else {
        replacedCallback = std::move(it->second.callback);
        replacedRef = it->second.ref;
        it->second.callback = std::move(callback);
        it->second.ref = ref;
      }
    } else {
      for (uint64_t found : filterActiveStreamKeys(module, command, option, index, kAny, false))
        impl_->streams.erase(found);
    }
    empty = impl_->streams.empty();
  }
  // Outside streamsLock: the filter lock comes first.
  aErr err = impl_->installStreamFilter(!empty);
  if (err == aErrNone) err = impl_->sendStreamControl(module, key, enable);
  if (err != aErrNone && enable) {
    std::lock_guard<std::mutex> hold(impl_->streamsLock);
    auto it = impl_->streams.find(key);
    if (inserted && it != impl_->streams.end()) {
      impl_->streams.erase(it);
    } else if (!inserted && it != impl_->streams.end()) {
      it->second.callback = std::move(replacedCallback);
      it->second.ref = replacedRef;
    }
  }
  return err;
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable) {
  return registerStreamCallback(module, command, option, index, enable, StreamCallback(), nullptr);
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* on) {
  if (on == nullptr) return aErrParam;
  uei request{};
  request.module = module;
  request.command = kStreamCommand;
  request.option = kStreamingOption | kGet;
  request.index = kRequestIndex;
  request.type = ueiTypeNone;
  aErr err = sendUEI(request);
  if (err != aErrNone) return err;
  uei reply{};
  reply.module = module;
  reply.command = kStreamCommand;
  reply.option = kStreamingOption;
  reply.index = 0;
  reply.type = ueiTypeNone;
  err = receiveUEI(module, kStreamCommand, kStreamingOption, 0, &reply);
  if (err == aErrNone) err = sEntityReplyError(reply);
  if (err != aErrNone) return err;
  // A reply without its 8-bit value says nothing.
  if (reply.type != ueiTypeByte) return aErrSize;
  *on = reply.value.byteVal;
  return aErrNone;
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value) {
  if (value == nullptr) return aErrParam;
  std::lock_guard<std::mutex> hold(impl_->streamsLock);
  auto it = impl_->streams.find(createStreamKey(module, command, option, index, subindex));
  if (it == impl_->streams.end()) return aErrNotFound;
  *value = it->second.value;
  if (!it->second.fresh) return aErrStreamStale;
  it->second.fresh = false;
  return aErrNone;
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool lock) {
  std::unique_lock<std::mutex> hold(impl_->streamsLock, std::defer_lock);
  if (lock) hold.lock();
  std::vector<uint64_t> keys;
  for (const auto& [key, entry] : impl_->streams) {
    if (sMatches(module, getStreamKeyElement(key, STREAM_KEY_MODULE)) &&
        sMatches(command, getStreamKeyElement(key, STREAM_KEY_COMMAND)) &&
        sMatches(option, getStreamKeyElement(key, STREAM_KEY_OPTION)) &&
        sMatches(index, getStreamKeyElement(key, STREAM_KEY_INDEX)) &&
        sMatches(subindex, getStreamKeyElement(key, STREAM_KEY_SUBINDEX)))
      keys.push_back(key);
  }
  return keys;
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry* entries, size_t capacity, size_t* count) {
  if (!isConnected()) return aErrConnection;
  if (entries == nullptr || count == nullptr || capacity == 0) return aErrParam;
  // Chosen and copied under one hold: no entry can go in between.
  std::lock_guard<std::mutex> hold(impl_->streamsLock);
  *count = 0;
  for (uint64_t key : filterActiveStreamKeys(module, command, option, index, subindex, false)) {
    bool concrete = true;
    for (uint8_t element = STREAM_KEY_MODULE; element <= STREAM_KEY_SUBINDEX; ++element)
      concrete = concrete && getStreamKeyElement(key, element) != kAny;
    if (!concrete) continue;
    if (*count == capacity) return aErrSize;
    entries[*count] = {key, impl_->streams.at(key).value};
    ++*count;
  }
  return aErrNone;
}

}  // namespace Tavrin::Corvantis
