#pragma once
#include <cstdint>

#include "EntityClass.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"

// The host side of a device's firmware-upgrade entity (command 95): a loader sent into the
// device's memory and started, then firmware sent to that loader piece by piece, each piece
// checked by a 32-bit byte sum and committed, and the device rebooted. Blocks are the payloads
// of a bird image's loader and firmware blocks: a big-endian load address, then the image.
// Everything runs on the caller's thread; results are aErr codes. A reply that does not come
// gives its wait's code (aErrTimeout, or aErrConnection once the link has stopped); aErrPacket
// and aErrInvalidOption mean a reply came and was wrong. LOAD keeps aErrTimeout for a device
// that did not confirm its loader, which the update reads as one changing over.
class UpdaterEntity : public Tavrin::Corvantis::EntityClass {
 public:
  UpdaterEntity();
  ~UpdaterEntity() override;

  void init(Tavrin::Corvantis::Module* module, uint8_t index, bool validateSum, bool routed);

  aErr LoaderInit();
  // Asks the device to take a block at the block's load address; the block size it answers is
  // the most it takes between two writes.
  aErr TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize);
  aErr LoaderTransfer(const uint8_t* block, uint32_t length);
  aErr LoaderStart();
  aErr FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize, UpdaterDisplayInterface& display);
  aErr FirmwareWrite(uint32_t length);
  // Waits for the link to drop afterwards: one pass when routed, at most 40 otherwise.
  aErr LoaderReboot(UpdaterDisplayInterface& display);
  aErr CheckUEIDataSupport();
  aErr CheckPooledPacketsSupport();

  bool UsesUEIData() const { return useUEIData; }
  // The exchange of the last failure ("INIT", "PREPARE", "DATA", "SUM", "WRITE", "LOAD",
  // "REBOOT"), so that a caller can say where the device was lost; "" before any failure.
  const char* failedStep() const { return failed; }

 private:
  aErr _reconnect(uint32_t delay);
  aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& counter);
  aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& counter, uint32_t& sum);
  // Sends [95, data] after dropping the queued packets that begin [95, replySub]: a reply that
  // came after its wait gave up would answer this request in place of its own.
  aErr _request(uint8_t replySub, uint8_t length, const uint8_t* data);
  // The first packet [95, sub, ...] within 1000 ms into reply (28 bytes).
  aErr _await(uint8_t sub, uint8_t* reply, uint8_t* length);
  // Notes the exchange of a failure and passes its code on.
  aErr _fail(const char* step, aErr err);

  Tavrin::Corvantis::Module* module = nullptr;  // not owned
  bool validateSum = true;
  bool routed = false;
  bool useUEIData = false;
  const char* failed = "";
};
