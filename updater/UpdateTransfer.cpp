#include "UpdateTransfer.h"

#include <string>
#include <vector>

#include "Log.h"
#include "SystemClass.h"
#include "UpdaterEntity.h"
#include "aDefs.h"

using Tavrin::Corvantis::Module;
using Tavrin::Corvantis::SystemClass;

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr int kFirmwareAttempts = 5;

void sFailedAt(UpdaterDisplayInterface& display, const std::string& step, aErr err) {
  display.message(ERROR, "Failed to transfer firmware at %s [%d, %s]", step.c_str(), err, aError_GetErrorText(err));
}

}  // namespace

bool _validate_birdfile(UpdaterDisplayInterface& display, const BirdFile& image, Module& module,
                        uint32_t serialNumber) {
  if (image.blocks.empty()) return false;
  // An image that takes the serial number in was made for any device; any other names its own.
  if (!image.hasSerialBlock && !image.ValidateSerialNumber(serialNumber)) return false;
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, 0);
  uint32_t deviceSerial = 0;
  aErr err = system.getSerialNumber(&deviceSerial);
  if (deviceSerial != serialNumber) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
    return false;
  }
  uint8_t model = 0;
  err = system.getModel(&model);
  const char* name = aDefs_GetModelName(model);
  if (!image.ValidateModel(name)) {
    display.message(ERROR, "Connected device model and Bird file model do not match [%s] (%d)", name, err);
    return false;
  }
  return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, const BirdFile& image) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  aErr result = entity.LoaderInit();
  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", result, aError_GetErrorText(result));
    sFailedAt(display, "INIT", result);
    return result;
  }

  display.message(INFO, "%s", "Transferring loader to device");
  std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_LOADER);
  display.display_progress(true);
  int number = 1;
  int total = 0;
  for (const BirdBlock& block : blocks) {
    display.message(INFO, "Transferring loader block %d of %d, %d bytes", number, static_cast<int>(blocks.size()),
                    static_cast<int>(block.length));
    uint16_t blockSize = 0;
    result = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
    // A loader that is slow to answer PREPARE still takes the block; a device that is gone
    // does not.
    if (result == aErrTimeout && module.isConnected()) {
      result = aErrNone;
    } else if (result != aErrNone) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", result, aError_GetErrorText(result));
      break;
    }
    result = entity.LoaderTransfer(block.data, block.length);
    if (result != aErrNone) {
      // A loader with a block missing must not be started.
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", result, aError_GetErrorText(result));
      break;
    }
    total += static_cast<int>(block.length);
    ++number;
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", number - 1, total);
  display.display_progress(false);
  if (result != aErrNone) {
    sFailedAt(display, std::string("loader ") + entity.failedStep(), result);
    return result;
  }

  display.message(INFO, "%s", "Starting Load on Device");
  result = entity.LoaderStart();
  if (result == aErrTimeout) {
    Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
    result = aErrNone;
  } else if (result != aErrNone) {
    display.message(ERROR, "Error starting loader [%d, %s]", result, aError_GetErrorText(result));
  }
  return result;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, const BirdFile& image, bool routed,
                        bool useUEIData) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, routed);
  // A device that cannot take UEI data gets data packets: no error.
  if (useUEIData && entity.CheckUEIDataSupport() == aErrNone) (void)entity.CheckPooledPacketsSupport();

  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", image.path.c_str());
  std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  unsigned number = 1;
  int total = 0;
  aErr result = aErrNone;
  for (const BirdBlock& block : blocks) {
    for (int attempt = 0; attempt < kFirmwareAttempts; ++attempt) {
      display.message(INFO, "Transferring firmware block %u of %u, %d bytes", number,
                      static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
      if (attempt > 0) display.message(INFO, "  Retry %d", attempt);
      uint16_t blockSize = 0;
      result = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
      if (result != aErrNone) {
        Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", result, aError_GetErrorText(result));
        break;
      }
      result = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
      if (result == aErrNone) break;
      Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", result, aError_GetErrorText(result));
      // Another attempt at a device that is gone could only fail at its first exchange.
      if (!module.isConnected()) break;
    }
    if (result != aErrNone) {
      Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
      break;
    }
    total += static_cast<int>(block.length);
    ++number;
  }
  display.message(INFO, "Transferred %u blocks, %d total bytes", number - 1, total);
  if (result == aErrNone) result = entity.LoaderReboot(display);
  if (result != aErrNone) sFailedAt(display, entity.failedStep(), result);
  return result;
}
