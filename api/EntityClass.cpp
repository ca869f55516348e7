// EntityClass: the entity protocol's get, set and call of one entity's options, its raw
// packets, its streams and the device's entity store.
#include "EntityClass.h"

#include "EntityImpl.h"

namespace Tavrin::Corvantis {

namespace {

constexpr uint8_t kGet = 0x40;
constexpr uint8_t kSet = 0x80;
constexpr uint8_t kAck = 0xC0;
constexpr uint8_t kRequestIndex = 0x20;
constexpr uint8_t kAny = 0xFF;
constexpr uint8_t kStoreCommand = 92;
enum : uint8_t { kStoreSave = 0, kStoreFactory = 1, kStoreLoad = 2 };

// The value a reply carried, by its width; false when it carried none.
bool sReplyValue(const uei& record, uint32_t* value) {
  switch (record.type) {
    case ueiTypeByte:
      *value = record.value.byteVal;
      return true;
    case ueiTypeShort:
      *value = record.value.shortVal;
      return true;
    case ueiTypeInt:
      *value = record.value.intVal;
      return true;
    default:
      return false;
  }
}

// A get of any width: the reply's value zero-extended or cut to T (subindex -1: none).
template <typename T>
aErr sTypedGet(EntityClass& entity, uint8_t option, int subindex, T* out) {
  if (out == nullptr) return aErrParam;
  uei record{};
  if (subindex >= 0) {
    record.type = ueiTypeByte;
    record.value.byteVal = static_cast<uint8_t>(subindex);
  }
  aErr err = entity.getUEI(option, &record);
  if (err != aErrNone && err != aErrStreamStale) return err;
  uint32_t value = 0;
  if (!sReplyValue(record, &value)) return aErrSize;
  *out = static_cast<T>(value);
  return err;
}

uei sValueRecord(int type, uint32_t value) {
  uei record{};
  record.type = type;
  switch (type) {
    case ueiTypeByte:
      record.value.byteVal = static_cast<uint8_t>(value);
      break;
    case ueiTypeShort:
      record.value.shortVal = static_cast<uint16_t>(value);
      break;
    default:
      record.value.intVal = value;
      break;
  }
  return record;
}

}  // namespace

aErr EntityClass::impl::bound(Link** link) const {
  if (module == nullptr || module->getLink() == nullptr) return aErrResource;
  *link = module->getLink();
  return aErrNone;
}

aErr EntityClass::impl::optionRequest(uint8_t option, Link** link) const {
  aErr err = bound(link);
  if (err != aErrNone) return err;
  // Larger numbers would run into the flag bits of the option and index bytes.
  if (option > kMaxOption || index > kMaxIndex) return aErrParam;
  return aErrNone;
}

EntityClass::EntityClass() : impl_(new impl(*this)) {}

EntityClass::~EntityClass() {
  delete impl_;
  impl_ = nullptr;
}

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
  impl_->module = module;
  impl_->command = command;
  impl_->index = index;
}

uint8_t EntityClass::getIndex() const { return impl_->index; }

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Link* link = nullptr;
  aErr err = impl_->bound(&link);
  if (err != aErrNone) return err;
  return link->sendPacket(impl_->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* out) {
  Link* link = nullptr;
  aErr err = impl_->bound(&link);
  if (err != aErrNone) return err;
  return link->receivePacket(impl_->module->getModuleAddress(), match, length, out);
}

aErr EntityClass::impl::sendGet(Link* link, uint8_t option, int subindex) const {
  uint8_t address = module->getModuleAddress();
  link->dropMatchingUEIPackets(address, command, option, index);
  uei request{};
  request.module = address;
  request.command = command;
  request.option = option | kGet;
  request.index = index | kRequestIndex;
  request.type = ueiTypeNone;
  return subindex >= 0 ? link->sendUEI(request, static_cast<uint8_t>(subindex)) : link->sendUEI(request);
}

aErr EntityClass::getUEI(uint8_t option, uei* record) {
  if (record == nullptr) return aErrParam;
  Link* link = nullptr;
  aErr err = impl_->optionRequest(option, &link);
  if (err != aErrNone) return err;
  uint8_t address = impl_->module->getModuleAddress();
  bool subindexed = record->type == ueiTypeByte;
  uint8_t subindex = subindexed ? record->value.byteVal : 0;

  uint32_t cached = 0;
  err = link->getStreamValue(address, impl_->command, option, impl_->index, subindex, &cached);
  if (err == aErrNone || err == aErrStreamStale) {
    record->type = ueiTypeInt;
    record->value.intVal = cached;
    return err;
  }
  if (err != aErrNotFound) return err;

  err = impl_->sendGet(link, option, subindexed ? subindex : -1);
  if (err != aErrNone) return err;

  record->module = address;
  record->command = impl_->command;
  record->option = option;
  record->index = impl_->index;
  // Only what this reply carries may come back.
  record->type = ueiTypeNone;
  record->value.intVal = 0;
  err = link->receiveUEI(address, impl_->command, option, impl_->index, record);
  return err != aErrNone ? err : sEntityReplyError(*record);
}

aErr EntityClass::impl::set(uint8_t option, int subindex, uei* record) {
  if (record == nullptr) return aErrParam;
  Link* link = nullptr;
  aErr err = optionRequest(option, &link);
  if (err != aErrNone) return err;
  if (record->type == ueiTypeBytes && (subindex >= 0 || (record->value.data == nullptr && record->length > 0)))
    return aErrParam;
  uint8_t address = module->getModuleAddress();
  link->dropMatchingUEIPackets(address, command, option | kAck, index);
  uei request = *record;
  request.module = address;
  request.command = command;
  request.option = option | kSet;
  request.index = index | kRequestIndex;
  err = subindex >= 0 ? link->sendUEI(request, static_cast<uint8_t>(subindex)) : link->sendUEI(request);
  if (err != aErrNone) return err;
  record->module = address;
  record->command = command;
  record->option = option | kAck;
  record->index = index;
  err = link->receiveUEI(address, command, record->option, index, record);
  return err != aErrNone ? err : sEntityReplyError(*record);
}

aErr EntityClass::setUEI(uint8_t option, uei* record) { return impl_->set(option, -1, record); }

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record) { return impl_->set(option, subindex, record); }

aErr EntityClass::callUEI(uint8_t option) {
  uei record = sValueRecord(ueiTypeNone, 0);
  return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
  uei record = sValueRecord(ueiTypeByte, value);
  return setUEI(option, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
  uei record = sValueRecord(ueiTypeShort, value);
  return setUEI(option, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
  uei record = sValueRecord(ueiTypeInt, value);
  return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  uei record = sValueRecord(ueiTypeByte, value);
  return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
  uei record = sValueRecord(ueiTypeShort, value);
  return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  uei record = sValueRecord(ueiTypeInt, value);
  return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
  if (data == nullptr && length > 0) return aErrParam;
  uei record{};
  record.type = ueiTypeBytes;
  // The sender only reads through it.
  record.value.data = const_cast<uint8_t*>(data);
  record.length = length;
  return setUEI(option, &record);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* out) { return sTypedGet(*this, option, -1, out); }
aErr EntityClass::getUEI16(uint8_t option, uint16_t* out) { return sTypedGet(*this, option, -1, out); }
aErr EntityClass::getUEI32(uint8_t option, uint32_t* out) { return sTypedGet(*this, option, -1, out); }
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* out) {
  return sTypedGet(*this, option, subindex, out);
}
aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* out) {
  return sTypedGet(*this, option, subindex, out);
}
aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* out) {
  return sTypedGet(*this, option, subindex, out);
}

aErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* out, uint32_t unused) {
  (void)unused;
  if (out == nullptr) return aErrParam;
  Link* link = nullptr;
  aErr err = impl_->bound(&link);
  if (err != aErrNone) return err;
  uei record{};
  record.module = impl_->module->getModuleAddress();
  record.command = impl_->command;
  record.option = static_cast<uint8_t>(option);
  record.index = impl_->index;
  record.type = ueiTypeNone;
  err = link->receiveUEI(record.module, record.command, record.option, record.index, &record);
  if (err == aErrNone) err = sEntityReplyError(record);
  if (err != aErrNone) return err;
  if (record.type != ueiTypeInt) return aErrSize;
  *out = record.value.intVal;
  return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
  Link* link = nullptr;
  aErr err = impl_->bound(&link);
  if (err != aErrNone) return err;
  return link->dropMatchingUEIPackets(impl_->module->getModuleAddress(), impl_->command, option, impl_->index);
}

aErr EntityClass::setStreamEnabled(bool enable) {
  Link* link = nullptr;
  aErr err = impl_->bound(&link);
  if (err != aErrNone) return err;
  return link->enableStream(impl_->module->getModuleAddress(), impl_->command, kAny, impl_->index, enable);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, StreamCallback callback, void* ref) {
  Link* link = nullptr;
  aErr err = impl_->bound(&link);
  if (err != aErrNone) return err;
  return link->registerStreamCallback(impl_->module->getModuleAddress(), impl_->command, option, impl_->index, enable,
                                      std::move(callback), ref);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count) {
  Link* link = nullptr;
  aErr err = impl_->bound(&link);
  if (err != aErrNone) return err;
  return link->getStreamStatus(impl_->module->getModuleAddress(), impl_->command, kAny, impl_->index, kAny, entries,
                               capacity, count);
}

aErr EntityClass::impl::store(uint8_t option) const {
  EntityClass entityStore;
  entityStore.init(module, kStoreCommand, 0);
  return entityStore.setUEI32(option, static_cast<uint32_t>(command) << 8 | index);
}

aErr EntityClass::saveEntityToStore() { return impl_->store(kStoreSave); }
aErr EntityClass::resetEntityToFactoryDefaults() { return impl_->store(kStoreFactory); }
aErr EntityClass::loadEntityFromStore() { return impl_->store(kStoreLoad); }

}  // namespace Tavrin::Corvantis
