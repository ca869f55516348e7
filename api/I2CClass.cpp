// I2CClass: reads, writes and the pull-up switch of a device's I2C bus.
#include "I2CClass.h"

#include <cstring>

namespace Tavrin::Corvantis {

namespace {

constexpr uint8_t kI2CCommand = 8;
constexpr uint8_t kMaxTransfer = 23;  // 5 of the 28 payload bytes are the header
constexpr uint8_t kMaxSpeed = 3;
constexpr uint8_t kPullup = 1;
constexpr uint8_t kStatusAt = 4;
constexpr uint8_t kCountAt = 3;
constexpr uint8_t kDataAt = 5;
constexpr uint8_t kFailed = 0x80;

}  // namespace

aErr sI2CReply(const uint8_t* payload, uint8_t length, uint8_t asked, uint8_t* buffer) {
  if (length <= kStatusAt) return aErrPacket;
  uint8_t status = payload[kStatusAt];
  if ((status & kFailed) != 0) {
    aErr code = static_cast<aErr>(status & ~kFailed);
    // A failure is never a success, also when its code is 0.
    return code != aErrNone ? code : aErrUnknown;
  }
  if (buffer == nullptr) return aErrNone;
  uint8_t count = payload[kCountAt];
  if (count > asked || count > length - kDataAt) return aErrPacket;
  if (count > 0) memcpy(buffer, payload + kDataAt, count);
  return aErrNone;
}

namespace {

// Sends the request and checks the bus reply whose payload begins with match (sI2CReply).
aErr sTransfer(EntityClass& bus, const uint8_t* request, uint8_t size, const uint8_t* match, uint8_t matchLength,
               uint8_t asked, uint8_t* buffer) {
  aErr err = bus.sendPacket(kI2CCommand, size, request);
  if (err != aErrNone) return err;
  uint8_t replyLength = matchLength;
  uint8_t reply[aPACKET_MAX_DATA];
  err = bus.receivePacket(match, &replyLength, reply);
  if (err != aErrNone) return err;
  return sI2CReply(reply, replyLength, asked, buffer);
}

}  // namespace

void I2CClass::init(Module* module, uint8_t bus) { EntityClass::init(module, kI2CCommand, bus); }

aErr I2CClass::setSpeed(uint8_t code) {
  if (code > kMaxSpeed) return aErrParam;
  speed = code;
  return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* code) {
  if (code == nullptr) return aErrParam;
  *code = speed;
  return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer) {
  if (length > kMaxTransfer) return aErrSize;
  if (buffer == nullptr && length > 0) return aErrParam;
  uint8_t reading = address | 1;
  const uint8_t request[] = {getIndex(), reading, length, speed};
  const uint8_t match[] = {kI2CCommand, getIndex(), reading};
  uint8_t none = 0;
  return sTransfer(*this, request, sizeof request, match, sizeof match, length, buffer != nullptr ? buffer : &none);
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
  if (length > kMaxTransfer) return aErrSize;
  if (data == nullptr && length > 0) return aErrParam;
  uint8_t request[aPACKET_MAX_DATA] = {getIndex(), address, length, speed};
  if (length > 0) memcpy(request + 4, data, length);
  const uint8_t match[] = {kI2CCommand, getIndex(), address, 0};
  return sTransfer(*this, request, static_cast<uint8_t>(4 + length), match, sizeof match, 0, nullptr);
}

aErr I2CClass::setPullup(bool on) {
  const uint8_t request[] = {getIndex(), kPullup, static_cast<uint8_t>(on ? 1 : 0)};
  const uint8_t match[] = {kI2CCommand, getIndex(), kPullup};
  return sTransfer(*this, request, sizeof request, match, sizeof match, 0, nullptr);
}

}  // namespace Tavrin::Corvantis
