#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>
#include <vector>

#include "SimEntityTable.h"
#include "SimFactoryData.h"
#include "SimEntityStore.h"
#include "SimFaults.h"
#include "SimI2CBus.h"
#include "SimReply.h"
#include "SimStoreSlots.h"
#include "SimStreamControl.h"
#include "SimUpgradeEntity.h"
#include "aPacket.h"

// The modules behind a simulated device. The device's own address is the routing module, the
// only one that answers AD 00 (the device does that); modules behind it sit at other even
// addresses with tables of their own. A request goes to the module it is addressed to and its
// replies come from there; a packet to an address without a module gets nothing.
//
// A module answers the entity protocol from its entity table, command 4 from its store slots,
// 0x5E from its factory data, 0x49 (0xFF build, 0x01 hasUEI table, 0x04 to 0x06 counts) from
// its query tables, 8 from its I2C buses, 92 from its entity store, 0x5D from its stream
// control, 95 from its firmware-upgrade entity (SimUpgradeEntity.h), and echoes 0x17. Until a table is loaded (any setter below) the network
// takes no packet and the device echoes as before. Faults apply to every module's replies.
// Thread-safe: the device's thread handles packets while a test reads and sets tables.
class SimNetwork {
 public:
  // A reply as it went out, for tests that count them.
  struct Sent {
    uint8_t from;
    std::vector<uint8_t> payload;
  };

  explicit SimNetwork(uint8_t routingAddress);

  uint8_t routingAddress() const { return routing_; }
  bool loaded() const;

  // Setters make the module when it does not exist yet.
  void AddModule(uint8_t address);
  void SetEntity(uint8_t module, const SimEntityKey& key, const SimEntity& entity);
  std::optional<SimEntity> Entity(uint8_t module, const SimEntityKey& key) const;
  // replyLength 5 cuts the build reply one byte short, as some firmware sends it.
  void SetBuild(uint8_t module, uint32_t build, size_t replyLength = 6);
  void SetHasUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t flags, uint8_t result);
  void SetClassQuantity(uint8_t module, uint8_t entityClass, uint8_t count);
  void SetSubClassQuantity(uint8_t module, uint8_t entityClass, uint8_t subClass, uint8_t count);
  void SetEntityGroup(uint8_t module, uint8_t entityClass, uint8_t subClass, uint8_t group);

  void SetSlot(uint8_t module, uint8_t store, uint8_t slot, size_t capacity, std::vector<uint8_t> contents);
  void SetSlotTiming(uint8_t module, uint32_t openDelayMs, size_t readChunk);
  std::vector<uint8_t> SlotContents(uint8_t module, uint8_t store, uint8_t slot) const;
  size_t SlotOpens(uint8_t module) const;
  size_t OpenSlots(uint8_t module) const;

  void SetFactory(uint8_t module, uint8_t kind, std::vector<uint8_t> bytes);
  std::optional<std::vector<uint8_t>> Factory(uint8_t module, uint8_t kind) const;

  // The entities the module was asked to call, in order.
  std::vector<SimEntityKey> EntityCalls(uint8_t module) const;
  std::vector<SimEntityStore::Request> StoreRequests(uint8_t module) const;

  void SetI2CSlave(uint8_t module, uint8_t bus, uint8_t address, SimI2CSlave slave);
  std::vector<uint8_t> I2CWritten(uint8_t module, uint8_t bus, uint8_t address) const;
  std::optional<bool> I2CPullup(uint8_t module, uint8_t bus) const;

  // Stream control (SimStreamControl.h).
  void SetStreamAnswer(uint8_t module, SimStreamControl::Answer answer, uint8_t refusalCode = 0);
  void SetStreamGoOnAfterDisable(uint8_t module, bool on);
  std::vector<SimStreamControl::Key> StreamedKeys(uint8_t module) const;
  // Whether the module at `address` streams samples of (command, option, index).
  bool Streams(uint8_t address, uint8_t command, uint8_t option, uint8_t index) const;

  // The firmware-upgrade entity (command 95) of a module.
  void SetUpgrade(uint8_t module, const SimUpgradeEntity::Options& options);
  SimUpgradeEntity::Options UpgradeOptions(uint8_t module) const;
  void SetBuildLength(uint8_t module, size_t replyLength);
  // The addresses that have a module, in order.
  std::vector<uint8_t> Modules() const;
  void AddUpgradeFault(uint8_t module, const SimUpgradeFault& fault);
  std::vector<uint8_t> Flash(uint8_t module, uint32_t address, size_t length) const;
  std::vector<uint8_t> LoaderRam(uint8_t module, uint32_t address, size_t length) const;
  std::vector<SimUpgradeEntity::Stretch> FlashWrites(uint8_t module) const;
  std::vector<SimUpgradeEntity::Stretch> LoaderWrites(uint8_t module) const;
  bool LoaderRunning(uint8_t module) const;

  // The device as a routing module: the modules at other addresses get packets only while it
  // routes (from the link's route packet AF 01 01 to AF 01 00, and, with requireRouteToMe,
  // also only after the host set routeToMe 1 on its system entity), and its I2C buses answer a
  // write to an address where a module sits with status 0, elsewhere with `absentStatus`.
  struct Routing {
    bool requireRouteToMe = false;
    uint8_t absentStatus = 0x86;
    std::set<uint8_t> nack;    // addresses answered with absentStatus although a module sits there
    std::set<uint8_t> silent;  // addresses whose probe gets no answer
    std::set<uint8_t> cut;     // addresses whose probe's answer is cut to 4 bytes
  };
  void SetRouting(const Routing& routing);
  // The link's route packets, as the device receives them.
  void OnRoute(bool on);
  // The routeToMe values the host set, in order, and every I2C request to the routing module.
  std::vector<uint8_t> RouteToMeValues() const;
  std::vector<std::vector<uint8_t>> BusRequests() const;

  // See SimFaults::Add.
  void AddFault(std::vector<uint8_t> prefix, SimFault fault, bool every = false, uint8_t module = 0);
  void ClearFaults();

  // Every reply handed to the device so far, in order (while recording).
  std::vector<Sent> SentReplies() const;
  void SetRecording(bool on);

  // The device's side: the replies to one packet. False (nothing taken) until a table is loaded.
  bool Handle(const aPacket* packet, std::vector<SimReply>* replies);

 private:
  struct Module {
    SimEntityTable entities;
    SimStoreSlots slots;
    SimFactoryData factory;
    SimI2CBus i2c;
    SimEntityStore store;
    SimStreamControl streams;
    SimUpgradeEntity upgrade;
    std::optional<uint32_t> build;
    size_t buildLength = 6;  // payload bytes of the build reply
    std::map<std::tuple<uint8_t, uint8_t, uint8_t, uint8_t>, uint8_t> hasUEI;
    std::map<uint8_t, uint8_t> classCounts;
    std::map<std::pair<uint8_t, uint8_t>, uint8_t> subClassCounts;
    std::map<std::pair<uint8_t, uint8_t>, uint8_t> groups;
  };

  Module& LoadLocked(uint8_t address);
  const Module* FindLocked(uint8_t address) const;
  void Query(const Module& module, const uint8_t* payload, size_t length, std::vector<SimReply>* replies) const;

  // The routing module's part of a request; true when it took it.
  bool RouteLocked(uint8_t address, const uint8_t* payload, size_t length, std::vector<SimReply>* replies);

  const uint8_t routing_;
  std::optional<Routing> routingMode_;
  bool linkRoute_ = false;
  std::vector<uint8_t> routeToMe_;
  std::vector<std::vector<uint8_t>> busRequests_;
  mutable std::mutex mutex_;
  bool loaded_ = false;
  std::map<uint8_t, Module> modules_;
  SimFaults faults_;
  std::vector<Sent> sent_;
  bool recording_ = true;
};
