#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

// Kind of a store entry.
enum store_item_t { STORE_ITEM_FILE = 0, STORE_ITEM_DIRECTORY = 1, STORE_ITEM_NONE = 2 };

// One entry of the local store (a device folder or a file) with its settings, which live in
// <basePath>/<name>/.settings. Entries are values: copied member by member.
class UpdaterStoreItem {
 public:
  UpdaterStoreItem() = default;
  // Loads the settings, creating the file when it is missing.
  UpdaterStoreItem(const char* base, const char* name, store_item_t type);

  bool IsValid() const { return !basePath.empty() && !name.empty(); }

  // Replaces <basePath>/<name>/<fileName> with the bytes, only ever with a complete new
  // file. aErrNotFound for no data, no entry or a folder that takes no new file; aErrIO
  // when writing failed, the old file intact.
  aErr WriteFile(const char* fileName, const uint8_t* data, size_t length);
  // Throws std::runtime_error "Invalid bird <path>" for a file without a valid header, and
  // "Failed to load bird data" for one that does not load.
  BirdFile ReadBirdFile(const char* fileName);
  // Whether the entry's folder holds an entry of exactly that name.
  bool FileExists(const char* fileName) const;

  std::string basePath;
  std::string name;
  store_item_t type = STORE_ITEM_NONE;
  KeyValueStore settings;
};
