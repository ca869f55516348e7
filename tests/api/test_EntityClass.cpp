// Entity requests through EntityClass on a Module at 6 over loopback TCP, against the simulated
// device's entity table, entity store and faults: the exact bytes of each request, what comes
// back, byte-sequence transfers, and replies of the wrong shape or time.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DeviceRigs.h"
#include "EntityClass.h"
#include "PacketHelpers.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr uint64_t kBound = 5000;
constexpr uint32_t kUntouched = 0xDEADBEEF;

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
  return bytes;
}

class EntityRequests : public testing::Test {
 protected:
  void SetUp() override {
    network().SetEntity(6, {3, 9, 0}, {SimWidth::kInt, 0x12345678});
    ASSERT_EQ(rig_.Connect(), aErrNone);
    ASSERT_EQ(rig_.module.getModuleAddress(), 6);
    entity_.init(&rig_.module, 3, 0);
  }

  SimNetwork& network() { return rig_.network(); }
  SimLinkDevice& device() { return rig_.sim.device; }
  // The wire forms the device received since `from`, once `count` have come.
  std::vector<std::vector<uint8_t>> Since(size_t from, size_t count) {
    return ReceivedSince(device(), from, count, kBound);
  }

  TcpModuleRig rig_;
  EntityClass entity_;
};

}  // namespace

TEST_F(EntityRequests, ExactBytesOfEachRequest) {
  struct Row {
    const char* what;
    std::function<void(SimNetwork&)> setUp;
    std::function<aErr(EntityClass&, uint32_t*)> run;
    std::vector<std::string> wires;  // every packet the request sends
    aErr result;
    uint32_t value;  // what the run left in its output
  };
  const std::vector<uint8_t> fifty = Bytes(50, 1);
  auto hex = [&](size_t from, size_t to) {
    return HexText(std::vector<uint8_t>(fifty.begin() + static_cast<long>(from), fifty.begin() + static_cast<long>(to)));
  };
  const Row rows[] = {
      {"32-bit get", [](SimNetwork&) {}, [](EntityClass& e, uint32_t* v) { return e.getUEI32(9, v); },
       {"06 03 03 49 20"}, aErrNone, 0x12345678},
      {"error reply", [](SimNetwork& n) { n.SetEntity(6, {3, 9, 0}, {SimWidth::kInt, 1, {}, 0x1D}); },
       [](EntityClass& e, uint32_t* v) { return e.getUEI32(9, v); }, {"06 03 03 49 20"}, aErrInvalidOption,
       kUntouched},
      {"error reply with code 0", [](SimNetwork& n) { n.AddFault({3, 0x49}, SimFault::ErrorReply(0)); },
       [](EntityClass& e, uint32_t* v) { return e.getUEI32(9, v); }, {"06 03 03 49 20"}, aErrUnknown, kUntouched},
      {"call", [](SimNetwork& n) { n.SetEntity(6, {3, 11, 0}, {SimWidth::kNone}); },
       [](EntityClass& e, uint32_t*) { return e.callUEI(11); }, {"06 03 03 8B 20"}, aErrNone, kUntouched},
      {"subindexed get", [](SimNetwork& n) { n.SetEntity(6, {3, 39, 0, 2}, {SimWidth::kInt, 0x33333333}); },
       [](EntityClass& e, uint32_t* v) { return e.getUEI32(39, 2, v); }, {"06 04 03 67 20 02"}, aErrNone,
       0x33333333},
      {"8-bit set", [](SimNetwork& n) { n.SetEntity(6, {3, 4, 0}, {SimWidth::kByte}); },
       [](EntityClass& e, uint32_t*) { return e.setUEI8(4, 0x5A); }, {"06 04 03 84 20 5A"}, aErrNone, kUntouched},
      {"16-bit set", [](SimNetwork& n) { n.SetEntity(6, {3, 4, 0}, {SimWidth::kShort}); },
       [](EntityClass& e, uint32_t*) { return e.setUEI16(4, 0xBEEF); }, {"06 05 03 84 20 BE EF"}, aErrNone,
       kUntouched},
      {"subindexed 32-bit set", [](SimNetwork& n) { n.SetEntity(6, {3, 4, 0, 1}, {SimWidth::kInt}); },
       [](EntityClass& e, uint32_t*) { return e.setUEI32(4, 1, 0xCAFEF00D); }, {"06 08 03 84 20 01 CA FE F0 0D"},
       aErrNone, kUntouched},
      {"50-byte sequence", [](SimNetwork& n) { n.SetEntity(6, {3, 20, 0}, {SimWidth::kBytes}); },
       [&](EntityClass& e, uint32_t*) { return e.setUEIBytes(20, fifty.data(), fifty.size()); },
       {"06 1C 03 94 20 " + hex(0, 24) + " 80", "06 1C 03 94 20 " + hex(24, 48) + " 81",
        "06 06 03 94 20 " + hex(48, 50) + " 02"},
       aErrNone, kUntouched},
      {"empty sequence", [](SimNetwork& n) { n.SetEntity(6, {3, 20, 0}, {SimWidth::kBytes}); },
       [](EntityClass& e, uint32_t*) { return e.setUEIBytes(20, nullptr, 0); }, {"06 04 03 94 20 00"}, aErrNone,
       kUntouched},
  };
  for (const Row& row : rows) {
    row.setUp(network());
    uint32_t value = kUntouched;
    size_t from = device().PacketCount();
    EXPECT_EQ(row.run(entity_, &value), row.result) << row.what;
    EXPECT_EQ(value, row.value) << row.what;
    std::vector<std::vector<uint8_t>> wanted;
    for (const std::string& wire : row.wires) wanted.push_back(HexBytes(wire));
    EXPECT_EQ(Since(from, wanted.size()), wanted) << row.what;
    network().ClearFaults();
  }
  EXPECT_EQ(network().Entity(6, {3, 20, 0})->bytes, std::vector<uint8_t>{});
  EXPECT_EQ(network().Entity(6, {3, 4, 0, 1})->value, 0xCAFEF00Du);
  EXPECT_EQ(network().EntityCalls(6), (std::vector<SimEntityKey>{{3, 11, 0}}));
}

TEST_F(EntityRequests, TheEntityStoreOfTheDevice) {
  EntityClass bus;
  bus.init(&rig_.module, 8, 1);
  struct Row {
    aErr (EntityClass::*run)();
    std::string wire;
  };
  const Row rows[] = {{&EntityClass::saveEntityToStore, "06 07 5C 80 20 00 00 08 01"},
                      {&EntityClass::resetEntityToFactoryDefaults, "06 07 5C 81 20 00 00 08 01"},
                      {&EntityClass::loadEntityFromStore, "06 07 5C 82 20 00 00 08 01"}};
  for (const Row& row : rows) {
    size_t from = device().PacketCount();
    EXPECT_EQ((bus.*row.run)(), aErrNone) << row.wire;
    EXPECT_EQ(Since(from, 1), std::vector<std::vector<uint8_t>>{HexBytes(row.wire)});
  }
  EXPECT_EQ(network().StoreRequests(6),
            (std::vector<SimEntityStore::Request>{{0, 8, 1}, {1, 8, 1}, {2, 8, 1}}));
}

TEST_F(EntityRequests, TypedGettersTakeTheWidthTheReplyCarried) {
  struct Row {
    const char* what;
    SimEntity entity;
    std::optional<SimFault> fault;
    std::function<aErr(EntityClass&, uint32_t*)> get;
    aErr result;
    uint32_t value;
  };
  auto get8 = [](EntityClass& e, uint32_t* v) {
    uint8_t out = 0xEE;
    aErr err = e.getUEI8(30, &out);
    *v = out;
    return err;
  };
  auto get16 = [](EntityClass& e, uint32_t* v) {
    uint16_t out = 0xEEEE;
    aErr err = e.getUEI16(30, &out);
    *v = out;
    return err;
  };
  auto get32 = [](EntityClass& e, uint32_t* v) { return e.getUEI32(30, v); };
  auto sub32 = [](EntityClass& e, uint32_t* v) { return e.getUEI32(30, 7, v); };
  const Row rows[] = {
      {"8 bits to 32", {SimWidth::kByte, 0xAB}, {}, get32, aErrNone, 0xAB},
      {"16 bits to 32", {SimWidth::kShort, 0xABCD}, {}, get32, aErrNone, 0xABCD},
      {"32 bits to 8", {SimWidth::kInt, 0x12345678}, {}, get8, aErrNone, 0x78},
      {"32 bits to 16", {SimWidth::kInt, 0x12345678}, {}, get16, aErrNone, 0x5678},
      {"no value", {SimWidth::kNone}, {}, get32, aErrSize, kUntouched},
      {"a 6-byte reply", {SimWidth::kInt, 1}, SimFault::Length(6), get32, aErrSize, kUntouched},
      {"subindexed, a 6-byte reply", {SimWidth::kInt, 1}, SimFault::Length(6), sub32, aErrSize, kUntouched},
  };
  for (const Row& row : rows) {
    network().SetEntity(6, {3, 30, 0}, row.entity);
    network().SetEntity(6, {3, 30, 0, 7}, row.entity);
    if (row.fault) network().AddFault({3, 0x5E}, *row.fault);
    uint32_t value = kUntouched;
    EXPECT_EQ(row.get(entity_, &value), row.result) << row.what;
    EXPECT_EQ(value, row.value) << row.what;
    network().ClearFaults();
  }
}

TEST_F(EntityRequests, ByteSequenceGets) {
  struct Row {
    const char* what;
    size_t size;
    std::optional<SimFault> fault;
    size_t capacity;
    aErr result;
    size_t count;
  };
  const Row rows[] = {
      {"130 packets, the sequence wrapping", 3100, {}, 4000, aErrNone, 3100},
      {"exactly the capacity", 48, {}, 48, aErrNone, 48},
      {"a first packet larger than the capacity", 12, {}, 10, aErrMemory, 0},
      {"overflow in the third packet", 60, {}, 50, aErrMemory, 48},
      {"a packet out of order", 60, SimFault::SequenceOff(1), 100, aErrTimeout, 24},
      {"an error reply without its code", 60, SimFault::ErrorWithoutCode(), 100, aErrUnknown, 0},
      {"a packet without trailer", 60, SimFault::Length(3), 100, aErrPacket, 0},
      {"no reply", 60, SimFault::NoReply(), 100, aErrTimeout, 0},
      {"empty packets that say more follows, past what fits", 60, SimFault::EmptyMore(40), 8, aErrPacket, 0},
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> bytes = Bytes(row.size, 3);
    network().SetEntity(6, {3, 32, 0}, {SimWidth::kBytes, 0, bytes});
    if (row.fault) network().AddFault({3, 0x60}, *row.fault);
    std::vector<uint8_t> buffer(row.capacity + 8, 0xEE);
    size_t count = 999;
    EXPECT_EQ(entity_.getUEIBytes(32, buffer.data(), row.capacity, &count), row.result) << row.what;
    EXPECT_EQ(count, row.count) << row.what;
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + static_cast<long>(count), buffer.begin())) << row.what;
    // Nothing beyond what was counted, and nothing past the capacity.
    for (size_t i = count; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << row.what << " at " << i;
    network().ClearFaults();
    // Whatever the fault left is queued on the link before the next transfer, which drops it.
    ASSERT_TRUE(DeviceOutputQueuedOn(rig_.link(), device(), 6, kBound)) << row.what;
  }
  // Bad arguments, with nothing sent.
  size_t from = device().PacketCount();
  uint8_t buffer[4];
  size_t count = 5;
  EXPECT_EQ(entity_.getUEIBytes(32, nullptr, 4, &count), aErrParam);
  EXPECT_EQ(entity_.getUEIBytes(32, buffer, 4, nullptr), aErrParam);
  EXPECT_EQ(entity_.getUEIBytes(32, buffer, 0, &count), aErrParam);
  EXPECT_EQ(entity_.setUEIBytes(32, nullptr, 5), aErrParam);
  EXPECT_EQ(entity_.getUEIBytes(64, buffer, 4, &count), aErrParam);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(device().PacketCount(), from);
}

TEST_F(EntityRequests, RepliesThatCameTooLateAnswerNoLaterRequest) {
  // A single value: the late answer of the first get is not the second's.
  network().AddFault({3, 0x49}, SimFault::Late(1300));
  uint32_t value = kUntouched;
  EXPECT_EQ(entity_.getUEI32(9, &value), aErrTimeout);
  ASSERT_TRUE(DeviceOutputQueuedOn(rig_.link(), device(), 6, kBound));  // the late reply is queued
  network().SetEntity(6, {3, 9, 0}, {SimWidth::kInt, 0x0BADF00D});
  EXPECT_EQ(entity_.getUEI32(9, &value), aErrNone);
  EXPECT_EQ(value, 0x0BADF00Du);

  // A byte sequence: the old transfer's packets do not mix into the new one.
  network().SetEntity(6, {3, 32, 0}, {SimWidth::kBytes, 0, Bytes(60, 1)});
  network().AddFault({3, 0x60}, SimFault::Late(1300));
  std::vector<uint8_t> buffer(100);
  size_t count = 0;
  EXPECT_EQ(entity_.getUEIBytes(32, buffer.data(), buffer.size(), &count), aErrTimeout);
  ASSERT_TRUE(DeviceOutputQueuedOn(rig_.link(), device(), 6, kBound));
  std::vector<uint8_t> fresh = Bytes(60, 2);
  network().SetEntity(6, {3, 32, 0}, {SimWidth::kBytes, 0, fresh});
  EXPECT_EQ(entity_.getUEIBytes(32, buffer.data(), buffer.size(), &count), aErrNone);
  buffer.resize(count);
  EXPECT_EQ(buffer, fresh);

  // A set: the late acknowledgement of a refused set is not the next one's.
  network().SetEntity(6, {3, 4, 0}, {SimWidth::kByte});
  network().AddFault({3, 0x84}, SimFault::Late(1300));
  EXPECT_EQ(entity_.setUEI8(4, 1), aErrTimeout);
  ASSERT_TRUE(DeviceOutputQueuedOn(rig_.link(), device(), 6, kBound));
  network().AddFault({3, 0x84}, SimFault::ErrorReply(aErrBusy));
  EXPECT_EQ(entity_.setUEI8(4, 2), aErrBusy);
}

TEST_F(EntityRequests, OutOfRangeAndUnboundEntitiesSendNothing) {
  EntityClass unbound, farIndex;
  farIndex.init(&rig_.module, 3, 32);
  size_t from = device().PacketCount();
  uint8_t byte = 0;
  uint32_t word = 0;
  size_t count = 0;
  uint8_t buffer[8] = {};
  uint8_t length = 1;
  const uint8_t match[] = {3};
  struct Row {
    const char* what;
    std::function<aErr()> run;
    aErr result;
  };
  const Row rows[] = {
      {"unbound get", [&] { return unbound.getUEI32(9, &word); }, aErrResource},
      {"unbound set", [&] { return unbound.setUEI8(9, 1); }, aErrResource},
      {"unbound call", [&] { return unbound.callUEI(11); }, aErrResource},
      {"unbound bytes", [&] { return unbound.getUEIBytes(32, buffer, 8, &count); }, aErrResource},
      {"unbound raw", [&] { return unbound.sendPacket(3, 0, nullptr); }, aErrResource},
      {"unbound receive", [&] { return unbound.receivePacket(match, &length, buffer); }, aErrResource},
      {"unbound store", [&] { return unbound.saveEntityToStore(); }, aErrResource},
      {"unbound stream", [&] { return unbound.setStreamEnabled(true); }, aErrResource},
      {"unbound await", [&] { return unbound.awaitUEI32Val(0x49, &word, 0); }, aErrResource},
      {"unbound drain", [&] { return unbound.drainUEI(9); }, aErrResource},
      {"option 64", [&] { return entity_.getUEI8(64, &byte); }, aErrParam},
      {"option 65 set", [&] { return entity_.setUEI8(65, 1); }, aErrParam},
      {"option 255 call", [&] { return entity_.callUEI(255); }, aErrParam},
      {"index 32", [&] { return farIndex.getUEI32(9, &word); }, aErrParam},
      {"null output", [&] { return entity_.getUEI32(9, static_cast<uint32_t*>(nullptr)); }, aErrParam},
      {"null record", [&] { return entity_.getUEI(9, nullptr); }, aErrParam},
  };
  for (const Row& row : rows) EXPECT_EQ(row.run(), row.result) << row.what;
  EXPECT_EQ(device().PacketCount(), from);
  EXPECT_EQ(unbound.getIndex(), 0);
  EXPECT_EQ(farIndex.getIndex(), 32);
}

TEST_F(EntityRequests, AwaitAndDrainTakeRepliesTheDeviceSentUnasked) {
  device().SendRaw(HexBytes("06 07 03 C9 00 11 22 33 44"));
  uint32_t value = 0;
  EXPECT_EQ(entity_.awaitUEI32Val(0xC9, &value, 12345), aErrNone);
  EXPECT_EQ(value, 0x11223344u);
  device().SendRaw(HexBytes("06 07 03 09 00 11 22 33 44"));
  device().SendRaw(HexBytes("06 07 03 09 00 55 66 77 88"));
  ASSERT_TRUE(EchoesThrough(rig_.link(), 6, 0x01));  // both are queued by now
  EXPECT_EQ(entity_.drainUEI(9), aErrNone);
  EXPECT_EQ(entity_.awaitUEI32Val(0x09, &value, 0), aErrTimeout);
  EXPECT_EQ(entity_.awaitUEI32Val(0x09, nullptr, 0), aErrParam);
}

TEST(EntityUnits, ByteCountsToValues) {
  EntityClass entity;
  struct Row {
    size_t count;
    size_t unit;
    aErr result;
    size_t after;
  };
  const Row rows[] = {{12, 4, aErrNone, 3}, {10, 4, aErrMemory, 10}, {7, 1, aErrNone, 7},
                      {0, 0, aErrNone, 0},  {5, 0, aErrMemory, 5},   {0, 4, aErrNone, 0}};
  for (const Row& row : rows) {
    size_t count = row.count;
    EXPECT_EQ(entity.getUEIBytesCheck(&count, row.unit), row.result) << row.count << "/" << row.unit;
    EXPECT_EQ(count, row.after) << row.count << "/" << row.unit;
  }
  EXPECT_EQ(entity.getUEIBytesCheck(nullptr, 4), aErrParam);
}
