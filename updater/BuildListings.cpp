#include <stdexcept>
#include <string>
#include <vector>

#include "BuildPath.h"
#include "CreateUpdaterStore.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"

Updater::BuildMap Updater::Get_BuildList(uint32_t serialNumber, bool* ok) {
  if (ok) *ok = false;
  BuildMap builds;
  const char* url = serverUrl.c_str();
  if (!UpdateServerRequest::ping(url)) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", url);
    return builds;
  }
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url)) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve builds for %08X", serialNumber);
    return builds;
  }
  if (ok) *ok = true;
  return builds;
}

Updater::BuildMap Updater::Get_BuildListLocal(uint32_t serialNumber, bool* ok) {
  if (ok) *ok = false;
  BuildMap builds;
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, updaterDir, "Get_BuildListLocal");
  if (!store) return builds;
  std::vector<UpdaterStoreItem> entries;
  store->FindLocalBuilds(serialNumber, entries);
  for (const UpdaterStoreItem& entry : entries) {
    std::string key = entry.name.substr(0, entry.name.find(".bird"));
    std::string version;
    if (entry.IsValid()) {
      std::string path = BuildPath(entry.basePath.c_str(), entry.name.c_str(), nullptr);
      if (BirdFile::VerifyFile(path.c_str())) {
        try {
          BirdFile image(path.c_str());
          std::string found = image.GetVersion();
          if (!found.empty()) version = found;
          Log::log(DEBUG_Updater, "Get_BuildListLocal: %s version [%s]\n", path.c_str(), version.c_str());
        } catch (const std::runtime_error& e) {
          // A header that passes with a body that does not load: listed without a version.
          Log::log(DEBUG_Updater, "Get_BuildListLocal: %s: %s\n", path.c_str(), e.what());
        }
      } else {
        Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
      }
    }
    builds.emplace(key, version);
  }
  if (ok) *ok = true;
  return builds;
}
