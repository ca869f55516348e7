#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "UpdaterStoreItem.h"

// The local build store: one folder per device, named "%08X" after its serial number,
// holding the device's images and its settings file. Folder problems throw
// std::runtime_error; lookups never throw and find nothing in a store they cannot list.
class UpdaterStore {
 public:
  // Makes the store folder exist (mode 0755).
  explicit UpdaterStore(const char* base);

  const char* BasePath() const { return basePath.c_str(); }

  // Makes the device's folder exist and returns its entry, settings loaded or created.
  UpdaterStoreItem AddDevice(uint32_t serial);
  UpdaterStoreItem AddDevice(const char* name);

  // Looks for the entry named exactly `name` (case-sensitive); fills out when found.
  bool FindDevice(uint32_t serial, UpdaterStoreItem* out);
  bool FindDevice(const char* name, UpdaterStoreItem* out);

  // Appends an entry for every file and folder in the device's folder, hidden ones left
  // out. Always true; out is not cleared.
  bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& out);

 private:
  std::string basePath;
};
