#include "Recovery.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "CreateUpdaterStore.h"
#include "DeviceSearch.h"
#include "DisableEther.h"
#include "Log.h"
#include "Module.h"
#include "NXPSerialClass.h"
#include "SDPLoader.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "UpdateTransfer.h"
#include "Updater.h"
#include "aError.h"
#include "aUEI.h"
#include "unix_time.h"

using Tavrin::Corvantis::Module;
using Tavrin::Corvantis::SystemClass;
using namespace Recovery;

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// Keeps the display muted while it lives, whatever leaves the scope.
class MutedDisplay {
 public:
  explicit MutedDisplay(UpdaterDisplayInterface& display) : display_(display) { display_.mute_messages(true); }
  ~MutedDisplay() { display_.mute_messages(false); }
  MutedDisplay(const MutedDisplay&) = delete;
  MutedDisplay& operator=(const MutedDisplay&) = delete;

 private:
  UpdaterDisplayInterface& display_;
};

bool _get_fingerprint_lpc(std::string port, uint32_t baud, Fingerprint& out) {
  NXPSerialClass isp;
  aErr err = isp.Connect(port.c_str(), baud);
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
    return false;
  }
  Log::log(DEBUG_APP, "\n\tSync to Device:\n");
  err = isp.Sync();
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
    return false;
  }
  Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
  if (isp.GetDeviceID() != aErrNone) {
    Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    return false;
  }
  for (int i = 0; i < 4; ++i) out.word[i] = isp.DeviceID()[i];
  return true;
}

// The default recovery loader of the store entry for `serial`: the file its last download
// left, downloaded first (with the display muted) when there is none or it does not load.
// Throws std::runtime_error when no loader can be had.
BirdFile _stored_recovery_loader(UpdaterDisplayInterface& display, Updater& updater, UpdaterStore& store,
                                 uint32_t serial) {
  UpdaterStoreItem entry;
  bool found = store.FindDevice(serial, &entry) && entry.IsValid();
  if (found) {
    std::string name = entry.settings.GetString("LATEST_DOWNLOAD", "");
    if (!name.empty()) {
      try {
        return entry.ReadBirdFile(name.c_str());
      } catch (const std::runtime_error& e) {
        // A file gone or damaged since its download: fetched again below.
        Log::log(DEBUG_APP, "%s\n", e.what());
      }
    }
  }
  uint32_t build = 0;
  {
    MutedDisplay muted(display);
    Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
    build = updater.Download_Firmware(serial, "", false, false);
  }
  if (build == 0) throw std::runtime_error("Could not download a recovery loader");
  if (!store.FindDevice(serial, &entry) || !entry.IsValid())
    throw std::runtime_error("No store entry for the recovery loader");
  std::string name = std::to_string(build) + ".bird";
  return entry.ReadBirdFile(name.c_str());
}

// Writes the image's loader blocks into the boot ROM's RAM and jumps to the loader.
aErr _transfer_recovery_loader(UpdaterDisplayInterface& /*display*/, BirdFile& image, std::string port) {
  Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  SDPLoader loader;
  // The serial transport keeps a pointer to the port text: `port` outlives `loader`.
  std::unique_ptr<SDPLoader_Interface> transport;
  if (port == "USB") {
    transport = std::make_unique<HID_SDPLoader>(IMX1050::VID, IMX1050::PID);
  } else {
    transport = std::make_unique<Serial_SDPLoader>(port.c_str());
  }
  if (!loader.setLoader(transport.get())) return aErrNotReady;
  transport.release();  // owned by loader from here
  if (loader.init() != SDPLoader::kSuccess) return aErrNotReady;

  int number = 0;
  for (const BirdBlock& block : image.FindBlocks(BirdFile::BLOCK_LOADER)) {
    // A block without its address word cannot be placed; the image format refuses such files.
    if (block.length < 4) {
      Log::log(DEBUG_Updater, "Loader block %d has no load address; skipped.\n", number++);
      continue;
    }
    uint32_t address = block.address;
    std::vector<uint8_t> bytes(block.data + 4, block.data + block.length);
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", number, bytes.size(),
             static_cast<int>(address));
    if (loader.writeLoader(std::move(bytes), address) != SDPLoader::kSuccess) return aErrConnection;
    ++number;
  }

  uint32_t start = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
  for (const BirdBlock& block : image.FindBlocks(BirdFile::BLOCK_START_ADDRESS)) {
    if (block.length > 3) {
      start = aUEI_RetrieveInt(block.data);
      break;
    }
  }
  loader.startLoader(start);
  return aErrNone;
}

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port, uint32_t serial,
                          std::string birdFile, Fingerprint& out, bool reset) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, updater.UpdaterDir(), "_get_fingerprint_imx");
  if (!store) return false;
  if (serial == 0) serial = kPlaceholderSerial;
  if (!birdFile.empty() && serial == kPlaceholderSerial) {
    display.message(ERROR, "%s", "Add serial number or remove the bird filename to use a default recovery image.");
    return false;
  }

  std::optional<BirdFile> image;
  try {
    if (!birdFile.empty()) {
      image.emplace(birdFile.c_str());
    } else {
      image.emplace(_stored_recovery_loader(display, updater, *store, serial));
    }
  } catch (const std::runtime_error& e) {
    Log::log(DEBUG_APP, "%s\n", e.what());
    return false;
  }

  if (_transfer_recovery_loader(display, *image, port) != aErrNone) {
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    return false;
  }

  Module module(0, 0);
  if (_disableEther(module, display) != aErrNone) return false;
  // The module holds no link yet: the search may refresh the USB context.
  DeviceSearch search(DeviceSearch::RecoveryLoader(serial, true), DeviceSearch::DiscoverAndConnect(module));
  if (search.Run().end != DeviceSearch::End::kFound) {
    Log::log(DEBUG_APP, "Could not connect to device.\n");
    return false;
  }

  SystemClass system;
  system.init(&module, 0);
  for (uint8_t i = 0; i < 4; ++i) {
    uint32_t value = 0;
    if (system.getUEI32(systemUniqueIdentifier, i, &value) != aErrNone) {
      Log::log(DEBUG_APP, "Error getting Identifier %d.\n", i);
      return false;
    }
    out.word[3 - i] = value;
  }
  if (reset) system.reset();
  return true;
}

// The firmware blocks that would be programmed are checked before the chip is touched: an
// erase is not undone, and the chip can only copy to a 256-byte boundary inside its flash.
bool _lpc_image_fits(UpdaterDisplayInterface& display, const std::vector<BirdBlock>& blocks) {
  int number = 1;
  for (const BirdBlock& block : blocks) {
    if (block.length < 4) continue;  // the image format refuses such blocks
    uint64_t length = block.length - 4;
    if (length == 4) break;  // the terminator: nothing from here on is written
    uint64_t address = block.address;
    bool fits = address % 256 == 0;
    if (fits && length > 0) {
      uint64_t lastChunk = (length - 1) / kChunkSize * kChunkSize;
      uint64_t lastWindow = address + lastChunk;
      uint64_t end = lastWindow + NXPSerialClass::CopyLength(static_cast<unsigned>(length - lastChunk)) - 1;
      fits = end <= UINT32_MAX && NXPSerialClass::SectorFromAddress(static_cast<unsigned>(end)) <= kLastSector;
    }
    if (!fits) {
      display.message(ERROR, "Firmware block %d cannot be programmed at address 0x%08X", number, block.address);
      return false;
    }
    ++number;
  }
  return true;
}

// Whether programming would write anything: firmware blocks are written in file order up to
// the first whose image is the 4-byte end block.
bool _has_image_to_write(const BirdFile& image) {
  for (const BirdBlock& block : image.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
    if (block.length < 4) continue;  // the image format refuses such blocks
    if (block.length - 4 == 4) return false;
    if (block.length > 4) return true;
  }
  return false;
}

// Opens the port at the rate asked for. The boot loader was synchronised at kSyncBaud and
// hears nothing at another rate until it is told the new one.
bool _connect_lpc(NXPSerialClass& isp, const std::string& port, uint32_t baud) {
  unsigned rate = NXPSerialClass::BAUD_RATES[NXPSerialClass::RateIndex(baud)];
  if (isp.Connect(port.c_str(), kSyncBaud) != aErrNone) {
    Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    return false;
  }
  if (rate == kSyncBaud) return true;
  if (isp.SetBaudRate(rate) != aErrNone) {
    Log::log(DEBUG_Network, "Could not set baud rate %d\n", static_cast<int>(rate));
    return false;
  }
  if (isp.Connect(port.c_str(), rate) != aErrNone) {
    Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    return false;
  }
  return true;
}

// One chunk through RAM into flash at F. The chip copies CopyLength(n) bytes: the RAM behind
// the chunk is filled with 0xFF (erased flash) so that nothing stale is programmed, and every
// sector the copy reaches is prepared.
bool _program_lpc_chunk(NXPSerialClass& isp, const uint8_t* chunk, unsigned n, unsigned flash) {
  const unsigned copy = NXPSerialClass::CopyLength(n);
  Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", static_cast<int>(n), flash);
  Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(n), NXPSerialClass::WRITE_ADDRESS);
  std::vector<uint8_t> ram(copy, 0xFF);
  std::copy(chunk, chunk + n, ram.begin());
  if (isp.Write(NXPSerialClass::WRITE_ADDRESS, copy, ram.data()) != aErrNone) {
    Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
    return false;
  }
  unsigned first = NXPSerialClass::SectorFromAddress(flash);
  unsigned last = NXPSerialClass::SectorFromAddress(flash + copy - 1);
  Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", static_cast<int>(first),
           static_cast<int>(last));
  if (isp.Prepare(first, last) != aErrNone) {
    Log::log(DEBUG_Updater, "\t Prepare failed\n");
    return false;
  }
  Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(copy), NXPSerialClass::WRITE_ADDRESS,
           flash);
  if (isp.CopyToFlash(flash, NXPSerialClass::WRITE_ADDRESS, copy) != aErrNone) {
    Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
    return false;
  }
  return true;
}

// The image arrives decoded with the chip's fingerprint as key.
bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& image, std::string& port, uint32_t baud,
                           Fingerprint& /*fingerprint*/) {
  std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  if (!_lpc_image_fits(display, blocks)) return false;

  NXPSerialClass isp;
  if (!_connect_lpc(isp, port, baud)) return false;
  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  if (isp.Unlock() != aErrNone) {
    Log::log(DEBUG_Network, "Could not unlock\n");
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if (isp.Prepare(kFirstSector, kLastSector) != aErrNone) {
    Log::log(DEBUG_Updater, "Could not prepare\n");
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  if (isp.Erase(kFirstSector, kLastSector) != aErrNone) {
    Log::log(DEBUG_Updater, "Could not erase\n");
    return false;
  }
  isp.SetEcho(false);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", image.path.c_str());

  // The last block is a terminator, not counted.
  const int shown = static_cast<int>(blocks.size()) - 1;
  int number = 1;
  int total = 0;
  for (const BirdBlock& block : blocks) {
    if (block.length < 4) continue;
    const uint8_t* bytes = block.data + 4;
    const unsigned length = block.length - 4;
    if (length == 4) break;
    display.message(INFO, "Transferring firmware block %d of %d, %d bytes", number, shown, static_cast<int>(length));
    display.display_progress(true);
    Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", static_cast<int>(length),
             block.address);
    for (unsigned done = 0; done < length;) {
      unsigned n = std::min(kChunkSize, length - done);
      if (!_program_lpc_chunk(isp, bytes + done, n, block.address + done)) {
        display.display_progress(false);
        return false;
      }
      done += n;
      display.update_progress(static_cast<double>(done) / length);
    }
    display.display_progress(false);
    total += static_cast<int>(length);
    ++number;
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", shown, total);

  // A chip that does not take the echo back is not started: the recovery is unfinished.
  aErr err = isp.SetEcho(true);
  if (err != aErrNone) {
    display.message(ERROR, "Recovery Error transfering data to device ==> [%d, %s]", err, aError_GetErrorText(err));
    return false;
  }
  display.message(INFO, "%s", "Rebooting Device");
  isp.ExecuteFrom(0);
  return true;
}

// The firmware through the started recovery loader's upgrade entity, as in an update.
bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& image, uint32_t serial, bool useUEIData) {
  Module module(0, 0);
  if (_disableEther(module, display) != aErrNone) {
    display.message(ERROR, "%s", "Failed to transfer firmware");
    return false;
  }
  DeviceSearch search(DeviceSearch::RecoveryLoader(serial, false), DeviceSearch::DiscoverAndConnect(module));
  if (search.Run().end != DeviceSearch::End::kFound) {
    display.message(ERROR, "%s", "Could not connect to device");
    return false;
  }
  if (_transfer_firmware(display, module, image, false, useUEIData) != aErrNone) {
    display.message(ERROR, "%s", "Failed to transfer firmware");
    return false;
  }
  return true;
}

}  // namespace

bool Updater::Get_Fingerprint(Fingerprint& out, std::string serialPort, uint32_t serialNumber, std::string birdFile,
                              uint32_t baudRate, bool reset) {
  if (_get_fingerprint_lpc(serialPort, baudRate, out)) {
    chipFamily = kFamilyLpc;
    return true;
  }
  chipFamily = kFamilyImx;
  return _get_fingerprint_imx(display, *this, serialPort, serialNumber, birdFile, out, reset);
}

bool Updater::Recover_Firmware(std::string serialPort, uint32_t build, uint32_t baudRate, uint32_t serialNumber,
                               std::string birdFile, bool overrideChecks) {
  (void)overrideChecks;  // recovery makes no image check to override
  // Monotonic: a clock step must not show in the time taken.
  const uint64_t start = aTime_GetMonotonicMS();
  Fingerprint fingerprint = {{0, 0, 0, 0}};
  // The boot loader synchronises at kSyncBaud; baudRate is for LPC programming only.
  if (!Get_Fingerprint(fingerprint, serialPort, serialNumber, birdFile, kSyncBaud, false)) {
    display.message(ERROR, "%s", "Could not get Device Identifier");
    return false;
  }

  uint32_t serial = serialNumber;
  uint32_t useBuild = 0;
  if (birdFile.empty()) {
    uint32_t serverBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.word, &serial, &serverBuild, serverUrl.c_str())) {
      display.message(ERROR, "%s", "Failed to retrieve recovery information from Tavrin server");
      return false;
    }
    useBuild = build != 0 ? build : serverBuild;
  }

  BirdFile image;
  try {
    image = load_bird("Recovering", birdFile, serial, useBuild, true);
  } catch (const std::runtime_error& e) {
    Log::log(DEBUG_Updater, "Recover_Firmware: %s\n", e.what());
    display.message(ERROR, "%s", "Failed to load bird file");
    return false;
  }
  if (image.hasSerialBlock) {
    display.message(ERROR, "%s", "Updater does not support offline recovery");
    return false;
  }
  // Nothing to program: an LPC chip would be left erased, and a success reported.
  if (!_has_image_to_write(image)) {
    display.message(ERROR, "%s", "Birdfile failed validation");
    return false;
  }

  bool result = false;
  if (chipFamily == kFamilyImx) {
    result = _recover_firmware_imx(display, image, serial, useUEIBytes);
  } else if (chipFamily == kFamilyLpc) {
    image.DecodeFirmwareBlocks(fingerprint.word);
    result = _recover_firmware_lpc(display, image, serialPort, baudRate, fingerprint);
    if (!result) display.message(ERROR, "%s", "Failed to transfer firmware");
  } else {
    display.message(ERROR, "%s", "Unknown device");
  }
  display.message(INFO, "Update time: %.4f sec", static_cast<double>(aTime_GetMonotonicMS() - start) / 1000.0);
  return result;
}
