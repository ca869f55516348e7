#include "UpdaterEntity.h"

#include <algorithm>
#include <cstring>

#include "DeviceSearch.h"
#include "Log.h"
#include "SystemClass.h"
#include "UpgradeReplies.h"
#include "WorkflowSleep.h"
#include "aUEI.h"
#include "uei.h"

using Tavrin::Corvantis::Link;
using Tavrin::Corvantis::Module;

namespace {

constexpr uint8_t cmdUPGRADE = 95;
enum : uint8_t {
  val_UPGRADE_INIT = 0,
  val_UPGRADE_DATA = 1,
  val_UPGRADE_LOAD = 2,
  val_UPGRADE_PREPARE = 3,
  val_UPGRADE_SUM = 4,
  val_UPGRADE_WRITE = 5,
  val_UPGRADE_REBOOT = 6,
  val_UPGRADE_STATUS = 7,
  val_UPGRADE_DATA_UEI = 10,  // an option of the entity, set as a byte sequence
};

constexpr uint8_t kDataChunk = 26;
constexpr int kWrongCountLimit = 10;
// A UEI piece goes out as back-to-back packets of 24 bytes that the link never waits to queue:
// past about 900 of them the outbound FIFO overflows and drops them all, so a larger piece
// goes as data packets.
constexpr uint32_t kUEIPieceLimit = 900 * 24;
constexpr uint32_t kRebootPassMs = 250;
constexpr int kRebootPassLimit = 40;  // about 10 s: a link that never drops must not hold us
constexpr uint32_t kPooledFeature = 0x80000000u;

bool sIsBlock(const uint8_t* block, uint32_t length) { return block != nullptr && length >= 4; }

}  // namespace

UpdaterEntity::UpdaterEntity() = default;
UpdaterEntity::~UpdaterEntity() = default;

void UpdaterEntity::init(Module* bound, uint8_t index, bool validate, bool isRouted) {
  module = bound;
  validateSum = validate;
  routed = isRouted;
  useUEIData = false;
  failed = "";
  EntityClass::init(bound, cmdUPGRADE, index);
}

aErr UpdaterEntity::_fail(const char* step, aErr err) {
  failed = step;
  return err;
}

aErr UpdaterEntity::_request(uint8_t replySub, uint8_t length, const uint8_t* data) {
  if (module != nullptr && module->getLink() != nullptr) {
    const uint8_t stale[] = {cmdUPGRADE, replySub};
    module->getLink()->dropMatchingPackets(stale, sizeof stale);
  }
  return sendPacket(cmdUPGRADE, length, data);
}

aErr UpdaterEntity::_await(uint8_t sub, uint8_t* reply, uint8_t* length) {
  const uint8_t match[] = {cmdUPGRADE, sub};
  *length = sizeof match;
  return receivePacket(match, length, reply);
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  const uint8_t request[] = {val_UPGRADE_INIT};
  aErr err = _request(val_UPGRADE_INIT, sizeof request, request);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
    return _fail("INIT", err);
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  err = _await(val_UPGRADE_INIT, reply, &length);
  if (err != aErrNone) return _fail("INIT", err);
  uint32_t base = 0;
  err = _upgrade_init_reply(reply, length, &base);
  if (err != aErrNone) return _fail("INIT", err);
  Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), flags,
           blockSize);
  // Without its load address a block is not one.
  if (!sIsBlock(block, length)) return _fail("PREPARE", aErrParam);
  uint32_t address = aUEI_RetrieveInt(block);
  Log::log(DEBUG_Network_FIRM,
           "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
           block[0], block[1], block[2], block[3]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(address));
  const uint8_t request[] = {val_UPGRADE_PREPARE, flags, block[0], block[1], block[2], block[3]};
  aErr err = _request(val_UPGRADE_STATUS, sizeof request, request);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
    return _fail("PREPARE", err);
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  err = _await(val_UPGRADE_STATUS, reply, &replyLength);
  if (err != aErrNone) return _fail("PREPARE", err);
  uint16_t size = 0;
  err = _upgrade_prepare_reply(reply, replyLength, &size);
  if (err == aErrPacket) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Short reply when initializing loader for firmware [%d bytes].\n",
             replyLength);
    return _fail("PREPARE", err);
  }
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return _fail("PREPARE", err);
  }
  blockSize = size;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", blockSize);
  return aErrNone;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& counter,
                                               uint32_t& sum) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
           static_cast<int>(length));
  Tavrin::Corvantis::uei record{};
  record.type = Tavrin::Corvantis::ueiTypeBytes;
  // The sender only reads through it.
  record.value.data = const_cast<uint8_t*>(data);
  record.length = length;
  aErr err = setUEI(val_UPGRADE_DATA_UEI, &record);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
    return _fail("DATA", err);
  }
  for (uint32_t i = 0; i < length; ++i) sum += data[i];
  counter = 1;
  return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& counter) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
  uint32_t sum = 0;
  uint32_t remaining = length;
  aErr result = aErrNone;
  if (useUEIData && length <= kUEIPieceLimit) {
    aErr err = _block_transfer_uei_helper(data, length, counter, sum);
    if (err != aErrNone) return err;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
    remaining = 0;
  } else {
    int wrongCounts = 0;
    while (remaining > 0 && result == aErrNone) {
      uint8_t n = static_cast<uint8_t>(std::min<uint32_t>(remaining, kDataChunk));
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", n);
      uint8_t request[1 + kDataChunk] = {val_UPGRADE_DATA};
      memcpy(request + 1, data, n);
      aErr err = _request(val_UPGRADE_DATA, static_cast<uint8_t>(n + 1), request);
      if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
        return _fail("DATA", err);
      }
      uint8_t reply[aPACKET_MAX_DATA];
      uint8_t replyLength = 0;
      // No reply: the wait's own code says whether the device is slow or gone.
      aErr waited = _await(val_UPGRADE_DATA, reply, &replyLength);
      if (waited != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
        result = _fail("DATA", waited);
        break;
      }
      int count = _upgrade_data_count(reply, replyLength);
      if (count != n) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", count, n);
        // A device that keeps answering another count would keep us here for ever.
        if (++wrongCounts >= kWrongCountLimit) {
          Log::log(DEBUG_Network_FIRM, "\nNETWORK: Upgrade transfer refused %d times in a row.\n", wrongCounts);
          result = _fail("DATA", aErrPacket);
        }
        continue;
      }
      wrongCounts = 0;
      for (uint8_t i = 0; i < n; ++i) sum += data[i];
      data += n;
      remaining -= n;
      ++counter;
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", n,
               static_cast<int>(remaining), static_cast<int>(length));
    }
  }
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));
  if (result != aErrNone || !validateSum) return result;

  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  const uint8_t request[] = {val_UPGRADE_SUM};
  // A failed send shows as the missing reply.
  (void)_request(val_UPGRADE_STATUS, sizeof request, request);
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  aErr waited = _await(val_UPGRADE_STATUS, reply, &replyLength);
  if (waited != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return _fail("SUM", waited);
  }
  uint8_t status = 0;
  uint32_t deviceSum = 0;
  if (_upgrade_sum_reply(reply, replyLength, sum, &status, &deviceSum) != aErrNone) {
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, deviceSum);
    return _fail("SUM", aErrInvalidOption);
  }
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
           deviceSum, static_cast<int>(counter));
  return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* block, uint32_t length) {
  if (!sIsBlock(block, length)) return _fail("DATA", aErrParam);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", aUEI_RetrieveInt(block),
           static_cast<int>(length - 4));
  uint32_t counter = 0;
  return _block_transfer(block + 4, length - 4, counter);
}

aErr UpdaterEntity::LoaderStart() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  const uint8_t request[] = {val_UPGRADE_LOAD};
  aErr err = _request(val_UPGRADE_LOAD, sizeof request, request);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
    return _fail("LOAD", err);
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  if (_await(val_UPGRADE_LOAD, reply, &length) == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  // The device may have dropped its link while it changed over to the loader.
  err = _reconnect(500);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
             aError_GetErrorText(err));
    return _fail("LOAD", aErrTimeout);
  }
  err = _await(val_UPGRADE_LOAD, reply, &length);
  if (err == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
           aError_GetErrorText(err));
  return _fail("LOAD", aErrTimeout);
}

aErr UpdaterEntity::_reconnect(uint32_t delay) {
  if (module == nullptr) return aErrResource;
  module->disconnect();
  auto attempt = [this, delay](const DeviceSearch::Attempt& a, bool placeholder) {
    if (placeholder) {
      Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n", a.tryNumber, a.tries);
    } else {
      Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", a.tryNumber, a.tries);
    }
    // Module::reconnect goes back to the device the link was made for, over the transport and
    // to the address it was made with.
    aErr err = placeholder ? module->connect(a.type, a.serial) : module->reconnect();
    if (err == aErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    // A link made but not running stays held and would refuse every later attempt.
    module->disconnect();
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delay));
    return err;
  };
  DeviceSearch own(DeviceSearch::ReconnectOwn(delay),
                   [&attempt](const DeviceSearch::Attempt& a) { return attempt(a, false); });
  if (own.Run().end == DeviceSearch::End::kFound) return aErrNone;
  // A loader without a serial number of its own presents itself under the placeholder.
  DeviceSearch placeholder(DeviceSearch::ReconnectPlaceholder(delay),
                           [&attempt](const DeviceSearch::Attempt& a) { return attempt(a, true); });
  return placeholder.Run().error;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  if (!sIsBlock(block, length)) return _fail("DATA", aErrParam);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", aUEI_RetrieveInt(block),
           static_cast<int>(length - 4));
  // Pieces of 0 bytes would never end the block.
  if (blockSize == 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader asked for a block size of 0\n");
    Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return _fail("PREPARE", aErrInvalidOption);
  }
  const uint8_t* data = block + 4;
  uint32_t remaining = length - 4;
  uint32_t counter = 0;
  aErr result = aErrNone;
  display.display_progress(true);
  while (remaining > 0 && result == aErrNone) {
    uint32_t n = std::min<uint32_t>(remaining, blockSize);
    result = _block_transfer(data, n, counter);
    if (result == aErrNone) {
      remaining -= n;
      data += n;
      ++counter;
      display.update_progress(static_cast<double>(length - remaining) / length);
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", static_cast<int>(n),
               static_cast<int>(remaining), static_cast<int>(length));
    }
    if (result == aErrNone) result = FirmwareWrite(n);
  }
  display.display_progress(false);
  Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));
  if (result != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
  return result;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t length) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
           static_cast<int>(length));
  const uint8_t request[] = {val_UPGRADE_WRITE, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  aErr err = _request(val_UPGRADE_STATUS, sizeof request, request);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err, aError_GetErrorText(err));
    return _fail("WRITE", err);
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  aErr waited = _await(val_UPGRADE_STATUS, reply, &replyLength);
  if (waited != aErrNone || _upgrade_write_reply(reply, replyLength) != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    // A refusal only when a reply came; otherwise the wait's code.
    return _fail("WRITE", waited != aErrNone ? waited : aErrInvalidOption);
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
  return aErrNone;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  const uint8_t request[] = {val_UPGRADE_REBOOT};
  aErr result = sendPacket(cmdUPGRADE, sizeof request, request);
  if (result != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    failed = "REBOOT";
  }
  int passes = 0;
  while (module != nullptr && module->isConnected()) {
    WorkflowSleep(kRebootPassMs);
    display.update_spinner(true, "Verifying Update");
    Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
    Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    if (routed) break;
    // Every piece was confirmed by its sum and write: a link that stays up is no failure.
    if (++passes >= kRebootPassLimit) {
      Log::log(DEBUG_Network_FIRM, "NETWORK: Link did not drop after reboot\n");
      break;
    }
  }
  display.update_spinner(false, "Verifying Update");
  return result;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
  if (module == nullptr) return aErrResource;
  aErr answer = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
  Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", answer);
  if (answer == aErrNone) useUEIData = true;
  return answer;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
  if (module == nullptr) return aErrResource;
  Tavrin::Corvantis::SystemClass system;
  system.init(module, 0);
  uint32_t features = 0;
  aErr err = system.getProtocolFeatures(&features);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", static_cast<int>(features), err);
  if (err != aErrNone) return err;
  if ((features & kPooledFeature) == 0) return aErrNone;
  Link* link = module->getLink();
  if (link == nullptr) return aErrConnection;
  return link->enablePooledPackets(true);
}
