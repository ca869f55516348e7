#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "aLinkSpec.h"

// The one object through which every workflow runs. Each workflow reports to the user
// through the display and returns its result; only main turns results into the exit status.
// Workflows are virtual so that the dispatch can be driven by a stand-in.
class Updater {
 public:
  using BuildMap = std::map<std::string, std::string>;  // build number text -> version text

  Updater(const char* serverUrl, const char* updaterDir, UpdaterDisplayInterface& display);
  virtual ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  virtual void Set_UEIBytes_Load(bool useUEIBytes);

  // True when the chip answered; `out` then holds its four words.
  virtual bool Get_Fingerprint(Fingerprint& out, std::string serialPort, uint32_t serialNumber,
                               std::string birdFile, uint32_t baudRate, bool reset);
  // The number of the build stored, 0 on failure. An empty build text means the newest.
  virtual uint32_t Download_Firmware(uint32_t serialNumber, std::string build, bool overrideChecks, bool flag);
  // The same for a device known only by its chip fingerprint; the server names the device
  // and, for an empty or 0 build text, the build.
  uint32_t Download_Firmware(Fingerprint fingerprint, std::string build, bool overrideChecks);
  // The devices on that transport (0: USB, then TCP/IP), each probed for its addresses, version,
  // build and name; and the modules behind a routing module (type 0: the transport it is found
  // on). `ok` (when given) is true once the search ran: the list, empty or not, is its answer.
  virtual std::vector<DeviceInfo> Discover_Devices(linkType type, bool* ok = nullptr);
  virtual std::vector<DeviceInfo> Discover_QLNetwork_Devices(uint32_t routerSerialNumber, linkType type,
                                                             bool* ok = nullptr);
  virtual bool Recover_Firmware(std::string serialPort, uint32_t build, uint32_t baudRate, uint32_t serialNumber,
                                std::string birdFile, bool overrideChecks);
  virtual bool Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                               uint32_t routerSerialNumber, bool overrideChecks);
  // The builds the server offers, or the builds in the store; `ok` as for discovery.
  virtual BuildMap Get_BuildList(uint32_t serialNumber, bool* ok = nullptr);
  virtual BuildMap Get_BuildListLocal(uint32_t serialNumber, bool* ok = nullptr);

  // The image to send: the file at path, or else the device's stored build, downloaded
  // first when download is set. label ("Updating", "Recovering") starts the messages. Throws
  // std::runtime_error when there is no loadable image.
  BirdFile load_bird(const char* label, std::string path, uint32_t serialNumber, uint32_t build, bool download);

  const std::string& ServerUrl() const { return serverUrl; }
  const std::string& UpdaterDir() const { return updaterDir; }
  bool UseUEIBytes() const { return useUEIBytes; }

 protected:
  std::string serverUrl;
  std::string updaterDir;
  UpdaterDisplayInterface& display;
  uint8_t chipFamily = 0;  // 1 i.MX, 2 LPC: written by the fingerprint before anything reads it
  bool useUEIBytes = false;
};
