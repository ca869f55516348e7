#include <cctype>
#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "BuildNumberText.h"
#include "CreateUpdaterStore.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "base64.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// A build text given by the user: decimal digits only, at most 32 bits.
bool sBuildNumber(const std::string& text, uint32_t* value) {
  uint64_t v = 0;
  for (char c : text)
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  if (!_leading_number(text, &v) || v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

// A number read from a text the server or the user gave, or 0 with the conversion line.
uint64_t sNumberOrZero(const std::string& text) {
  uint64_t v = 0;
  if (_leading_number(text, &v)) return v;
  Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
  return 0;
}

// The server lists the build for the device.
bool _valid_build(uint32_t serial, uint32_t build, const char* url) {
  UpdateServerRequest::BuildList builds;
  if (!UpdateServerRequest::GetBuildList(serial, builds, url)) return false;
  for (const auto& entry : builds)
    if (static_cast<uint32_t>(sNumberOrZero(entry.first)) == build) return true;
  return false;
}

// Fetches the image on a worker thread while the spinner turns. The worker never lets an
// exception out, and the image is read only after the join.
bool _fetch_image(UpdaterDisplayInterface& display, const std::string& url, uint32_t serial,
                  const std::string& version, uint32_t build, bool flag, std::string& image) {
  std::promise<bool> done;
  std::future<bool> result = done.get_future();
  std::string buildText = std::to_string(build);
  std::thread worker;
  try {
    worker = std::thread([&done, &image, serial, version, buildText, url, flag] {
      bool ok = false;
      try {
        ok = UpdateServerRequest::GetBuild(serial, version.c_str(), buildText.c_str(), image, url.c_str(), flag);
      } catch (...) {
        ok = false;
      }
      done.set_value(ok);
    });
  } catch (const std::exception& e) {
    Log::log(DEBUG_Updater, "Download_Firmware: no worker thread: %s\n", e.what());
    return false;
  }
  display.update_spinner(true, "Downloading");
  while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
    display.update_spinner(true, "Downloading");
  display.update_spinner(false, "Downloading");
  bool ok = result.get();
  worker.join();
  return ok;
}

}  // namespace

uint32_t Updater::Download_Firmware(uint32_t serialNumber, std::string build, bool overrideChecks, bool flag) {
  uint32_t result = 0;
  if (!build.empty() && !sBuildNumber(build, &result)) {
    display.message(ERROR, "Build number '%s' must be an number", build.c_str());
    return 0;
  }
  if (serialNumber == 0) {
    display.message(ERROR, "%s", "Serial Number must be non-zero");
    return 0;
  }
  const char* url = serverUrl.c_str();
  if (!UpdateServerRequest::ping(url)) {
    display.message(ERROR, "Server request failed for %s", url);
    return 0;
  }

  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, updaterDir, "Download_Firmware");
  if (!store) return 0;
  UpdaterStoreItem device;
  if (!store->FindDevice(serialNumber, &device) || device.type != STORE_ITEM_DIRECTORY) {
    Log::log(DEBUG_APP, "Could not find device in our update history.\n");
    try {
      device = store->AddDevice(serialNumber);
    } catch (const std::runtime_error& e) {
      Log::log(DEBUG_Updater, "Download_Firmware: %s\n", e.what());
      display.message(ERROR, "%s", "Could not create directory for storing BIRD file");
      return 0;
    }
  }

  std::string newest, version;
  if (!UpdateServerRequest::QueryBuild(serialNumber, newest, version, url)) {
    display.message(ERROR, "%s", "No build information for device");
    return 0;
  }
  if (result == 0) {
    // Going on as build 0 would validate against anything and could store 0.bird.
    uint64_t value = 0;
    if (!_leading_number(newest, &value) || value == 0 || value > UINT32_MAX) {
      Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", newest.c_str());
      display.message(ERROR, "%s", "No build information for device");
      return 0;
    }
    result = static_cast<uint32_t>(value);
  }

  display.message(INFO, "Retrieving build %u", result);
  if (overrideChecks) {
    display.message(INFO, "Override specified, skipping validation of build %u", result);
  } else {
    display.message(INFO, "Validating build %u with server", result);
    if (!_valid_build(serialNumber, result, url)) {
      display.message(ERROR, "No valid build %u", result);
      return 0;
    }
    display.message(INFO, "Build %u is valid", result);
  }

  // The newest build's version goes with any build: the server may rely on it.
  std::string image;
  if (!_fetch_image(display, serverUrl, serialNumber, version, result, flag, image))
    display.message(ERROR, "%s", "Download failed");
  if (image.empty()) {
    display.message(ERROR, "%s", "Failed to retrieve a valid BIRD file");
    return 0;
  }

  size_t length = 0;
  Base64Bytes bytes(base64_decode(image.data(), image.size(), &length));
  if (!bytes) return 0;
  // Whatever decodes is not yet an image: an error page or a cut transfer must never
  // replace a good stored copy.
  if (!BirdFile::VerifyBytes(bytes.get(), length)) {
    display.message(ERROR, "%s", "Failed to retrieve a valid BIRD file");
    return 0;
  }
  std::string fileName = std::to_string(result) + ".bird";
  aErr err = device.WriteFile(fileName.c_str(), bytes.get(), length);
  if (err != aErrNone) {
    display.message(ERROR, "Failed to write file with %d", err);
    return 0;
  }
  device.settings.Add("LATEST_DOWNLOAD", fileName);
  device.settings.Add("LAST_DOWNLOAD_DATE", KeyValueStore::TimeStamp());
  device.settings.Save(nullptr);
  return result;
}

uint32_t Updater::Download_Firmware(Fingerprint fingerprint, std::string build, bool overrideChecks) {
  uint64_t wanted = sNumberOrZero(build);
  if (wanted > UINT32_MAX) wanted = 0;
  uint32_t serial = 0, serverBuild = 0;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.word, &serial, &serverBuild, serverUrl.c_str())) {
    display.message(ERROR, "%s", "Failed to retrieve recovery information from Tavrin update server");
    return 0;
  }
  if (wanted == 0) wanted = serverBuild;
  return Download_Firmware(serial, std::to_string(wanted), overrideChecks, false);
}

BirdFile Updater::load_bird(const char* label, std::string path, uint32_t serialNumber, uint32_t build,
                            bool download) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, updaterDir, "load_bird");
  // An empty image would look loaded.
  if (!store) throw std::runtime_error("Failed to Create UpdaterStore");
  if (!path.empty()) {
    display.message(INFO, "%s from Birdfile: %s", label, path.c_str());
    return BirdFile(path.c_str());
  }
  UpdaterStoreItem device;
  bool stored = store->FindDevice(serialNumber, &device) && device.type == STORE_ITEM_DIRECTORY;
  // Without a download nothing can come into a new folder: making one would only change the
  // store of a run that fails.
  if (!stored && download) device = store->AddDevice(serialNumber);
  display.message(INFO, "%s firmware with build: %u", label, build);
  std::string fileName = std::to_string(build) + ".bird";
  try {
    if (!stored && !download) throw std::runtime_error("no store folder for the device");
    return device.ReadBirdFile(fileName.c_str());
  } catch (const std::runtime_error& e) {
    Log::log(DEBUG_Updater, "load_bird: %s\n", e.what());
    if (!download) throw std::runtime_error("Error reading birdfile");
  }
  display.message(INFO, "Downloading firmware build %u", build);
  // Build 0 asks for the newest build: the file stored is the one the download names.
  uint32_t fetched = Download_Firmware(serialNumber, std::to_string(build), false, false);
  if (fetched != 0) fileName = std::to_string(fetched) + ".bird";
  return device.ReadBirdFile(fileName.c_str());
}
