#include "SimLinkDevice.h"

#include <algorithm>
#include <chrono>

#include "SimNetwork.h"
#include "unix_time.h"

namespace {

constexpr uint8_t kSyncAddress = 0xAD;
constexpr uint8_t kRouteAddress = 0xAF;

std::vector<uint8_t> sWire(const aPacket* packet) {
  return std::vector<uint8_t>(&packet->address, &packet->address + packet->length + 2);
}

bool sIsHeartbeatShaped(const aPacket* packet) {
  return packet->length == 2 && packet->payload[0] == 0;
}

}  // namespace

SimLinkDevice::SimLinkDevice(uint8_t address)
    : address_(address), parse_(aPacket_Create()), network_(std::make_unique<SimNetwork>(address)) {
  thread_ = std::thread([this] { Run(); });
  samples_ = std::make_unique<SimStreamEmitter>(
      [this](const std::vector<uint8_t>& bytes) { SendRaw(bytes); },
      [this](const std::vector<uint8_t>& wire) {
        return wire.size() >= 5 && network_->Streams(wire[0], wire[2], wire[3] & 0x3F, wire[4] & 0x1F);
      });
}

SimLinkDevice::~SimLinkDevice() {
  samples_.reset();
  Attach(nullptr);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  thread_.join();
  aPacket_Destroy(&parse_);
}

void SimLinkDevice::Attach(ToHost toHost) {
  std::lock_guard<std::mutex> hold(sendMutex_);
  toHost_ = std::move(toHost);
}

void SimLinkDevice::FromHost(const uint8_t* data, size_t size) {
  std::vector<Out> out;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (size_t i = 0; i < size; ++i) {
      // The host frames its packets; a refused byte only restarts parsing.
      if (aPacket_AddByte(parse_, data[i]) != aErrNone) {
        aPacket_Reset(parse_);
        continue;
      }
      if (!aPacket_IsComplete(parse_)) continue;
      HandlePacketLocked(parse_, &out);
      aPacket_Reset(parse_);
    }
  }
  changed_.notify_all();
  if (!out.empty()) Emit(std::move(out));
}

void SimLinkDevice::HandlePacketLocked(const aPacket* packet, std::vector<Out>* out) {
  std::vector<uint8_t> wire = sWire(packet);
  ++packetCount_;
  if (recording_) {
    uint64_t us = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now().time_since_epoch())
                                            .count());
    packets_.push_back({wire, aTime_GetMonotonicMS(), us});
  }
  if (packet->address == kRouteAddress) {
    routes_.push_back(wire);
    HandleRouteLocked(packet, out);
    return;
  }
  if (packet->address == kSyncAddress) {
    if (packet->length == 0) {
      ++syncCount_;
      AnswerSyncLocked(out);
    }
    return;
  }
  if (sIsHeartbeatShaped(packet)) {
    // Never echoed: the host would take it for a heartbeat and answer it again.
    if (hbPending_ && packet->address == address_) {
      hbAnswer_ = wire;
      hbPending_ = false;
    }
    return;
  }
  if (const SimLinkScriptRow* row = script_.Match(packet)) {
    uint64_t now = aTime_GetMonotonicMS();
    for (const SimLinkReply& reply : row->replies) out->push_back({now + reply.delayMs, reply.wire, 0});
    return;
  }
  std::vector<SimReply> replies;
  if (network_->Handle(packet, &replies)) {
    uint64_t now = aTime_GetMonotonicMS();
    for (const SimReply& reply : replies) {
      if (reply.event != SimDeviceEvent::kNone) {
        out->push_back({reply.delayMs > 0 ? now + reply.delayMs : 0, {}, 0, Action::kEvent, reply.event, reply.from});
        continue;
      }
      std::vector<uint8_t> bytes{reply.from, static_cast<uint8_t>(reply.payload.size())};
      bytes.insert(bytes.end(), reply.payload.begin(), reply.payload.end());
      out->push_back({reply.delayMs > 0 ? now + reply.delayMs : 0, std::move(bytes), 0});
    }
    return;
  }
  if (echo_ && (packet->address & 1) == 0) out->push_back({0, wire, 0});
}

void SimLinkDevice::HandleRouteLocked(const aPacket* packet, std::vector<Out>* out) {
  // AF 01 01 when a link starts, AF 01 00 when it stops.
  if (packet->length != 1) return;
  bool on = packet->payload[0] != 0;
  if (on) ++linksStarted_;
  network_->OnRoute(on);
  if (!on || !cameBack_) return;
  if (dropsOnReturn_ > 0) {
    // This link is dropped again before it can be answered.
    --dropsOnReturn_;
    dropped_ = true;
    out->push_back({0, {}, 0, Action::kDropAgain});
    return;
  }
  if (greetPending_) {
    greetPending_ = false;
    const uint8_t kUpgrade = 95, kLoad = 2;
    out->push_back({0, {address_, 2, kUpgrade, kLoad}, 0});
  }
}

void SimLinkDevice::AnswerSyncLocked(std::vector<Out>* out) {
  SyncAnswer mode = syncModes_.empty()
                        ? SyncAnswer::kRight
                        : syncModes_[syncAnswers_ < syncModes_.size() ? syncAnswers_
                                                                      : syncModes_.size() - 1];
  ++syncAnswers_;
  if (!linkSyncModes_.empty()) {
    size_t link = linksStarted_ > 0 ? linksStarted_ - 1 : 0;
    mode = linkSyncModes_[std::min(link, linkSyncModes_.size() - 1)];
  }
  const uint8_t a = address_;
  switch (mode) {
    case SyncAnswer::kRight:
      out->push_back({0, {a, 0}, 0});
      break;
    case SyncAnswer::kWrongAddress:
      out->push_back({0, {a, 0, static_cast<uint8_t>(a + 2), 0}, 0});
      break;
    case SyncAnswer::kOddFirst:
      out->push_back({0, {static_cast<uint8_t>(a + 1), 0}, 0});
      break;
    case SyncAnswer::kZeroFirst:
      out->push_back({0, {0, 0}, 0});
      break;
    case SyncAnswer::kNever:
      break;
    case SyncAnswer::kLate:
      out->push_back({aTime_GetMonotonicMS() + syncMs_, {a, 0}, 0});
      break;
    case SyncAnswer::kByteByByte:
      out->push_back({0, {a, 0}, syncMs_});
      break;
  }
}

void SimLinkDevice::Emit(std::vector<Out> out) {
  std::unique_lock<std::mutex> sending(sendMutex_);
  std::unique_lock<std::mutex> lock(mutex_);
  if (silent_ || dropped_) {
    // Changes of phase happen all the same.
    std::erase_if(out, [](const Out& item) { return item.action == Action::kNone; });
    if (out.empty()) return;
  }
  uint64_t now = aTime_GetMonotonicMS();
  // Straight out while nothing waits before it; otherwise behind the queue, in order. Actions
  // always wait for the device's thread.
  size_t i = 0;
  if (queue_.empty()) {
    ++inFlight_;
    lock.unlock();
    for (; i < out.size() && out[i].dueMs <= now && out[i].gapMs == 0 && out[i].action == Action::kNone; ++i) {
      if (toHost_) toHost_(out[i].bytes.data(), out[i].bytes.size());
    }
    lock.lock();
    --inFlight_;
  }
  bool queued = i < out.size();
  for (; i < out.size(); ++i) queue_.push_back(std::move(out[i]));
  lock.unlock();
  changed_.notify_all();
  if (queued) work_.notify_all();
}

void SimLinkDevice::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    uint64_t idleMs = 100;
    if (heartbeatMs_ > 0) {
      uint64_t at = aTime_GetMonotonicMS();
      if (at >= nextHeartbeatMs_) {
        queue_.push_back({at, {address_, 2, 0, 0}, 0});
        nextHeartbeatMs_ = at + heartbeatMs_;
      }
      idleMs = std::min<uint64_t>(idleMs, nextHeartbeatMs_ - at);
    }
    bool held = silent_ || dropped_;
    if (queue_.empty() || (held && queue_.front().action == Action::kNone)) {
      if (dropped_ && !silent_ && !queue_.empty()) {
        // A dropped link carries nothing: what waited for it is lost. (Silence only holds it.)
        queue_.pop_front();
        changed_.notify_all();
        continue;
      }
      work_.wait_for(lock, std::chrono::milliseconds(idleMs));
      continue;
    }
    uint64_t now = aTime_GetMonotonicMS();
    if (queue_.front().dueMs > now) {
      work_.wait_for(lock, std::chrono::milliseconds(queue_.front().dueMs - now));
      continue;
    }
    // Take the send lock in its order, then look again.
    lock.unlock();
    std::unique_lock<std::mutex> sending(sendMutex_);
    lock.lock();
    if (stop_ || queue_.empty() || queue_.front().dueMs > aTime_GetMonotonicMS()) continue;
    if (queue_.front().action != Action::kNone) {
      Out item = std::move(queue_.front());
      queue_.pop_front();
      ++inFlight_;
      lock.unlock();
      sending.unlock();
      RunAction(item);
      lock.lock();
      --inFlight_;
      changed_.notify_all();
      continue;
    }
    if (silent_ || dropped_) continue;
    Out item = std::move(queue_.front());
    queue_.pop_front();
    std::vector<uint8_t> now_bytes = item.bytes;
    if (item.gapMs > 0 && item.bytes.size() > 1) {
      now_bytes.resize(1);
      queue_.push_front({aTime_GetMonotonicMS() + item.gapMs,
                         std::vector<uint8_t>(item.bytes.begin() + 1, item.bytes.end()),
                         item.gapMs});
    }
    // Off the queue but not yet written: the output is not idle until toHost_ returns.
    ++inFlight_;
    lock.unlock();
    if (toHost_) toHost_(now_bytes.data(), now_bytes.size());
    sending.unlock();
    lock.lock();
    --inFlight_;
    changed_.notify_all();
  }
}

void SimLinkDevice::SetHeartbeats(uint32_t everyMs) {
  std::lock_guard<std::mutex> hold(mutex_);
  heartbeatMs_ = everyMs;
  nextHeartbeatMs_ = aTime_GetMonotonicMS() + everyMs;
  work_.notify_all();
}

void SimLinkDevice::RunAction(const Out& item) {
  switch (item.action) {
    case Action::kNone:
      return;
    case Action::kComeBack:
      ComeBack();
      return;
    case Action::kDropAgain: {
      Transport transport;
      {
        std::lock_guard<std::mutex> hold(mutex_);
        transport = transport_;
        ++drops_;
        returnArmed_ = true;
      }
      if (transport.drop) transport.drop();
      changed_.notify_all();
      return;
    }
    case Action::kEvent:
      break;
  }
  Transport transport;
  PhaseChange change;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    transport = transport_;
    if (item.event == SimDeviceEvent::kVanish) {
      silent_ = true;
      dropped_ = true;
      ++drops_;
    } else {
      change = item.event == SimDeviceEvent::kLoad     ? onLoad_
               : item.event == SimDeviceEvent::kReboot ? onReboot_
                                                       : onReset_;
    }
  }
  if (item.event == SimDeviceEvent::kVanish) {
    if (transport.drop) transport.drop();
    changed_.notify_all();
    return;
  }
  if (change.becomes) ApplyProfile(*network_, item.from, *change.becomes);
  // A module behind the device changes its profile only: the link is the device's.
  if (item.from != address_ || change.link == PhaseChange::LinkEnd::kStay) return;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    dropped_ = true;
    ++drops_;
    cameBack_ = false;
    greetPending_ = change.greet;
    dropsOnReturn_ = change.dropsOnReturn;
    returnPlaceholder_ = change.placeholder;
    returnArmed_ = change.back == PhaseChange::Return::kOnTrigger;
    if (change.back == PhaseChange::Return::kAfterMs)
      queue_.push_back({aTime_GetMonotonicMS() + change.ms, {}, 0, Action::kComeBack});
  }
  work_.notify_all();
  if (change.link == PhaseChange::LinkEnd::kDrop && transport.drop) transport.drop();
  if (change.link == PhaseChange::LinkEnd::kClose && transport.close) transport.close();
  if (change.after) change.after();
  changed_.notify_all();
}

void SimLinkDevice::ComeBack() {
  Transport transport;
  bool placeholder = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    transport = transport_;
    placeholder = returnPlaceholder_;
    dropped_ = false;
    cameBack_ = true;
    ++returns_;
  }
  if (transport.comeBack) transport.comeBack(placeholder);
  changed_.notify_all();
}

bool SimLinkDevice::TriggerReturn() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!returnArmed_) return false;
    returnArmed_ = false;
  }
  ComeBack();
  return true;
}

void SimLinkDevice::SetTransport(Transport transport) {
  std::lock_guard<std::mutex> hold(mutex_);
  transport_ = std::move(transport);
}

void SimLinkDevice::SetOnLoad(PhaseChange change) {
  std::lock_guard<std::mutex> hold(mutex_);
  onLoad_ = std::move(change);
}

void SimLinkDevice::SetOnReboot(PhaseChange change) {
  std::lock_guard<std::mutex> hold(mutex_);
  onReboot_ = std::move(change);
}

void SimLinkDevice::SetOnReset(PhaseChange change) {
  std::lock_guard<std::mutex> hold(mutex_);
  onReset_ = std::move(change);
}

size_t SimLinkDevice::Drops() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return drops_;
}

size_t SimLinkDevice::Returns() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return returns_;
}

bool SimLinkDevice::WaitForOutputIdle(uint64_t ms) const {
  return WaitFor([this] { return queue_.empty() && inFlight_ == 0; }, ms);
}

void SimLinkDevice::SetSyncAnswers(std::vector<SyncAnswer> modes, uint32_t ms) {
  std::lock_guard<std::mutex> hold(mutex_);
  syncModes_ = std::move(modes);
  syncMs_ = ms;
  syncAnswers_ = 0;
}

void SimLinkDevice::SetSyncAnswersByLink(std::vector<SyncAnswer> modes) {
  std::lock_guard<std::mutex> hold(mutex_);
  linkSyncModes_ = std::move(modes);
}

void SimLinkDevice::SetEcho(bool on) {
  std::lock_guard<std::mutex> hold(mutex_);
  echo_ = on;
}

void SimLinkDevice::SetScript(SimLinkScript script) {
  std::lock_guard<std::mutex> hold(mutex_);
  script_ = std::move(script);
}

void SimLinkDevice::SetSilent(bool on) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    silent_ = on;
  }
  work_.notify_all();
}

void SimLinkDevice::SetRecording(bool on) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    recording_ = on;
  }
  network_->SetRecording(on);
}

void SimLinkDevice::SendRaw(const std::vector<uint8_t>& bytes, uint32_t gapMs) {
  if (bytes.empty()) return;
  Emit({{0, bytes, gapMs}});
}

SimLinkDevice::HeartbeatResult SimLinkDevice::Heartbeat(uint8_t v, uint64_t withinMs,
                                                       std::vector<uint8_t>* answer) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    hbPending_ = true;
    hbAnswer_.clear();
  }
  SendRaw({address_, 2, 0, v});
  bool came = WaitFor([this] { return !hbPending_; }, withinMs);
  std::lock_guard<std::mutex> hold(mutex_);
  hbPending_ = false;
  if (!came) return HeartbeatResult::kMissing;
  if (answer != nullptr) *answer = hbAnswer_;
  std::vector<uint8_t> expected{address_, 2, 0, static_cast<uint8_t>(v + 2)};
  return hbAnswer_ == expected ? HeartbeatResult::kAnswered : HeartbeatResult::kWrong;
}

std::vector<SimLinkDevice::Received> SimLinkDevice::Packets() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return packets_;
}

std::vector<std::vector<uint8_t>> SimLinkDevice::RoutePackets() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return routes_;
}

size_t SimLinkDevice::PacketCount() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return packetCount_;
}

size_t SimLinkDevice::SyncCount() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return syncCount_;
}

bool SimLinkDevice::WaitFor(const std::function<bool()>& done, uint64_t ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), done);
}

bool SimLinkDevice::WaitForPackets(size_t n, uint64_t ms) const {
  return WaitFor([this, n] { return packetCount_ >= n; }, ms);
}

bool SimLinkDevice::WaitForSyncCount(size_t n, uint64_t ms) const {
  return WaitFor([this, n] { return syncCount_ >= n; }, ms);
}

bool SimLinkDevice::WaitForRoutes(size_t n, uint64_t ms) const {
  return WaitFor([this, n] { return routes_.size() >= n; }, ms);
}
