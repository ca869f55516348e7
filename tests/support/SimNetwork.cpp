#include "SimNetwork.h"

#include "aError.h"

namespace {

constexpr uint8_t kSlotCommand = 4;
constexpr uint8_t kEchoCommand = 0x17;
constexpr uint8_t kQueryCommand = 0x49;
constexpr uint8_t kFactoryCommand = 0x5E;
constexpr uint8_t kI2CCommand = 8;
constexpr uint8_t kStoreCommand = 92;
constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kUpgradeCommand = 95;
constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kResetOption = 11;
constexpr uint8_t kRouteToMe = 20;

enum : uint8_t { kHasUEI = 0x01, kClassQuantity = 0x04, kSubClassQuantity = 0x05, kEntityGroup = 0x06, kBuild = 0xFF };

}  // namespace

SimNetwork::SimNetwork(uint8_t routingAddress) : routing_(routingAddress) { modules_[routing_]; }

bool SimNetwork::loaded() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return loaded_;
}

SimNetwork::Module& SimNetwork::LoadLocked(uint8_t address) {
  loaded_ = true;
  return modules_[address];
}

const SimNetwork::Module* SimNetwork::FindLocked(uint8_t address) const {
  auto it = modules_.find(address);
  return it == modules_.end() ? nullptr : &it->second;
}

void SimNetwork::AddModule(uint8_t address) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(address);
}

void SimNetwork::SetEntity(uint8_t module, const SimEntityKey& key, const SimEntity& entity) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(module).entities.Set(key, entity);
}

std::optional<SimEntity> SimNetwork::Entity(uint8_t module, const SimEntityKey& key) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? std::nullopt : found->entities.Find(key);
}

void SimNetwork::SetBuild(uint8_t module, uint32_t build, size_t replyLength) {
  std::lock_guard<std::mutex> hold(mutex_);
  Module& found = LoadLocked(module);
  found.build = build;
  found.buildLength = replyLength;
}

void SimNetwork::SetUpgrade(uint8_t module, const SimUpgradeEntity::Options& options) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(module).upgrade.SetOptions(options);
}

SimUpgradeEntity::Options SimNetwork::UpgradeOptions(uint8_t module) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? SimUpgradeEntity::Options{} : found->upgrade.options();
}

void SimNetwork::SetBuildLength(uint8_t module, size_t replyLength) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(module).buildLength = replyLength;
}

std::vector<uint8_t> SimNetwork::Modules() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<uint8_t> addresses;
  for (const auto& entry : modules_) addresses.push_back(entry.first);
  return addresses;
}

void SimNetwork::AddUpgradeFault(uint8_t module, const SimUpgradeFault& fault) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(module).upgrade.AddFault(fault);
}

std::vector<uint8_t> SimNetwork::Flash(uint8_t module, uint32_t address, size_t length) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? std::vector<uint8_t>(length, 0xFF) : found->upgrade.Flash(address, length);
}

std::vector<uint8_t> SimNetwork::LoaderRam(uint8_t module, uint32_t address, size_t length) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? std::vector<uint8_t>(length, 0xFF) : found->upgrade.LoaderRam(address, length);
}

std::vector<SimUpgradeEntity::Stretch> SimNetwork::FlashWrites(uint8_t module) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? std::vector<SimUpgradeEntity::Stretch>{} : found->upgrade.flashWrites();
}

std::vector<SimUpgradeEntity::Stretch> SimNetwork::LoaderWrites(uint8_t module) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? std::vector<SimUpgradeEntity::Stretch>{} : found->upgrade.loaderWrites();
}

bool SimNetwork::LoaderRunning(uint8_t module) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found != nullptr && found->upgrade.loaderRunning();
}

void SimNetwork::SetRouting(const Routing& routing) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(routing_);
  routingMode_ = routing;
}

void SimNetwork::OnRoute(bool on) {
  std::lock_guard<std::mutex> hold(mutex_);
  linkRoute_ = on;
}

std::vector<uint8_t> SimNetwork::RouteToMeValues() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return routeToMe_;
}

std::vector<std::vector<uint8_t>> SimNetwork::BusRequests() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return busRequests_;
}

bool SimNetwork::RouteLocked(uint8_t address, const uint8_t* payload, size_t length, std::vector<SimReply>* replies) {
  if (!routingMode_) return false;
  if (address != routing_) {
    bool routed = linkRoute_ && (!routingMode_->requireRouteToMe || (!routeToMe_.empty() && routeToMe_.back() == 1));
    // Not routed: the module behind never sees the packet.
    return !routed;
  }
  if (length >= 4 && payload[0] == kSystemCommand && (payload[1] & 0x3F) == kRouteToMe && (payload[1] & 0xC0) == 0x80)
    routeToMe_.push_back(payload[3]);
  if (length < 5 || payload[0] != kI2CCommand || (payload[2] & 1) != 0) return false;
  // A write on the bus: the probe of an address.
  busRequests_.emplace_back(payload, payload + length);
  uint8_t target = payload[2];
  if (routingMode_->silent.count(target) != 0) return true;
  bool present = target != routing_ && modules_.count(target) != 0 && routingMode_->nack.count(target) == 0;
  replies->push_back({{kI2CCommand, payload[1], target, 0, present ? uint8_t{0} : routingMode_->absentStatus}});
  if (routingMode_->cut.count(target) != 0) replies->back().payload.resize(4);
  return true;
}

void SimNetwork::SetHasUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t flags,
                           uint8_t result) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(module).hasUEI[{command, option, index, flags}] = result;
}

void SimNetwork::SetClassQuantity(uint8_t module, uint8_t entityClass, uint8_t count) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(module).classCounts[entityClass] = count;
}

void SimNetwork::SetSubClassQuantity(uint8_t module, uint8_t entityClass, uint8_t subClass, uint8_t count) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(module).subClassCounts[{entityClass, subClass}] = count;
}

void SimNetwork::SetEntityGroup(uint8_t module, uint8_t entityClass, uint8_t subClass, uint8_t group) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(module).groups[{entityClass, subClass}] = group;
}

void SimNetwork::SetSlot(uint8_t module, uint8_t store, uint8_t slot, size_t capacity, std::vector<uint8_t> contents) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(module).slots.SetSlot(store, slot, capacity, std::move(contents));
}

void SimNetwork::SetSlotTiming(uint8_t module, uint32_t openDelayMs, size_t readChunk) {
  std::lock_guard<std::mutex> hold(mutex_);
  Module& found = LoadLocked(module);
  found.slots.SetOpenDelay(openDelayMs);
  found.slots.SetReadChunk(readChunk);
}

std::vector<uint8_t> SimNetwork::SlotContents(uint8_t module, uint8_t store, uint8_t slot) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? std::vector<uint8_t>{} : found->slots.Contents(store, slot);
}

size_t SimNetwork::SlotOpens(uint8_t module) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? 0 : found->slots.Opens();
}

size_t SimNetwork::OpenSlots(uint8_t module) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? 0 : found->slots.OpenHandles();
}

void SimNetwork::SetFactory(uint8_t module, uint8_t kind, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(module).factory.SetBlock(kind, std::move(bytes));
}

std::optional<std::vector<uint8_t>> SimNetwork::Factory(uint8_t module, uint8_t kind) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? std::nullopt : found->factory.Block(kind);
}

std::vector<SimEntityKey> SimNetwork::EntityCalls(uint8_t module) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? std::vector<SimEntityKey>{} : found->entities.Calls();
}

std::vector<SimEntityStore::Request> SimNetwork::StoreRequests(uint8_t module) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? std::vector<SimEntityStore::Request>{} : found->store.Requests();
}

void SimNetwork::SetI2CSlave(uint8_t module, uint8_t bus, uint8_t address, SimI2CSlave slave) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(module).i2c.SetSlave(bus, address, std::move(slave));
}

std::vector<uint8_t> SimNetwork::I2CWritten(uint8_t module, uint8_t bus, uint8_t address) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? std::vector<uint8_t>{} : found->i2c.Written(bus, address);
}

std::optional<bool> SimNetwork::I2CPullup(uint8_t module, uint8_t bus) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? std::nullopt : found->i2c.Pullup(bus);
}

void SimNetwork::SetStreamAnswer(uint8_t module, SimStreamControl::Answer answer, uint8_t refusalCode) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(module).streams.SetAnswer(answer, refusalCode);
}

void SimNetwork::SetStreamGoOnAfterDisable(uint8_t module, bool on) {
  std::lock_guard<std::mutex> hold(mutex_);
  LoadLocked(module).streams.SetGoOnAfterDisable(on);
}

std::vector<SimStreamControl::Key> SimNetwork::StreamedKeys(uint8_t module) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(module);
  return found == nullptr ? std::vector<SimStreamControl::Key>{} : found->streams.Enabled();
}

bool SimNetwork::Streams(uint8_t address, uint8_t command, uint8_t option, uint8_t index) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Module* found = FindLocked(address);
  return found != nullptr && found->streams.Streams(address, command, option, index);
}

void SimNetwork::AddFault(std::vector<uint8_t> prefix, SimFault fault, bool every, uint8_t module) {
  std::lock_guard<std::mutex> hold(mutex_);
  faults_.Add(std::move(prefix), fault, every, module);
}

void SimNetwork::ClearFaults() {
  std::lock_guard<std::mutex> hold(mutex_);
  faults_.Clear();
}

std::vector<SimNetwork::Sent> SimNetwork::SentReplies() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return sent_;
}

void SimNetwork::SetRecording(bool on) {
  std::lock_guard<std::mutex> hold(mutex_);
  recording_ = on;
}

void SimNetwork::Query(const Module& module, const uint8_t* payload, size_t length,
                       std::vector<SimReply>* replies) const {
  if (length < 2) return;
  std::vector<uint8_t> reply(payload, payload + length);
  auto answer = [&](uint8_t value) {
    reply.push_back(value);
    replies->push_back({reply});
  };
  auto in = [](const auto& table, const auto& key) -> std::optional<uint8_t> {
    auto it = table.find(key);
    if (it == table.end()) return std::nullopt;
    return it->second;
  };
  switch (payload[1]) {
    case kBuild:
      if (length != 2 || !module.build) return;
      for (int shift = 24; shift >= 0; shift -= 8) reply.push_back(static_cast<uint8_t>(*module.build >> shift));
      reply.resize(module.buildLength);
      replies->push_back({reply});
      return;
    case kHasUEI:
      // The result takes the place of the flags.
      if (length != 6) return;
      reply.pop_back();
      return answer(in(module.hasUEI, std::make_tuple(payload[2], payload[3], payload[4], payload[5]))
                           .value_or(static_cast<uint8_t>(aErrUnimplemented)));
    case kClassQuantity:
      if (length != 3) return;
      return answer(in(module.classCounts, payload[2]).value_or(0));
    case kSubClassQuantity:
      if (length != 4) return;
      return answer(in(module.subClassCounts, std::make_pair(payload[2], payload[3])).value_or(0));
    case kEntityGroup:
      if (length != 4) return;
      return answer(in(module.groups, std::make_pair(payload[2], payload[3])).value_or(0));
    default:
      return;
  }
}

bool SimNetwork::Handle(const aPacket* packet, std::vector<SimReply>* replies) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!loaded_) return false;
  auto found = modules_.find(packet->address);
  if (found == modules_.end() || packet->length == 0) return true;
  Module& module = found->second;
  const uint8_t* payload = packet->payload;
  size_t length = packet->length;
  std::vector<SimReply> made;
  std::vector<uint8_t> errorHead;
  if (RouteLocked(packet->address, payload, length, &made)) {
    for (SimReply& reply : made) {
      if (reply.from == 0) reply.from = packet->address;
      if (recording_) sent_.push_back({reply.from, reply.payload});
      replies->push_back(std::move(reply));
    }
    return true;
  }
  switch (payload[0]) {
    case kUpgradeCommand:
      module.upgrade.Handle(payload, length, &made);
      break;
    case kEchoCommand:
      made.push_back({std::vector<uint8_t>(payload, payload + length)});
      break;
    case kQueryCommand:
      Query(module, payload, length, &made);
      break;
    case kSlotCommand:
      module.slots.Handle(payload, length, &made);
      errorHead = SimStoreSlots::ErrorHead(payload, length);
      break;
    case kFactoryCommand:
      module.factory.Handle(payload, length, &made);
      errorHead = SimFactoryData::ErrorHead(payload, length);
      break;
    case kI2CCommand:
      module.i2c.Handle(payload, length, &made);
      break;
    case kStoreCommand:
      module.store.Handle(payload, length, &made);
      errorHead = SimEntityTable::ErrorHead(payload, length);
      break;
    case kStreamCommand:
      module.streams.Handle(payload, length, &made);
      errorHead = SimEntityTable::ErrorHead(payload, length);
      break;
    default: {
      size_t calls = module.entities.Calls().size();
      module.entities.Handle(payload, length, &made);
      errorHead = SimEntityTable::ErrorHead(payload, length);
      const std::vector<SimEntityKey>& done = module.entities.Calls();
      if (done.size() > calls && done.back().command == kSystemCommand && done.back().option == kResetOption)
        made.push_back({{}, 0, 0, SimDeviceEvent::kReset});
      break;
    }
  }
  faults_.Apply(packet->address, payload, length, errorHead, &made);
  for (SimReply& reply : made) {
    if (reply.from == 0) reply.from = packet->address;
    if (recording_ && reply.event == SimDeviceEvent::kNone) sent_.push_back({reply.from, reply.payload});
    replies->push_back(std::move(reply));
  }
  return true;
}
