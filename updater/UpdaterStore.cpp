#include "UpdaterStore.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "BuildPath.h"
#include "Log.h"
#include "SerialText.h"
#include "aDirectory.h"

namespace {

struct result_t {
  bool found = false;
  std::string searchName;
  UpdaterStoreItem* out = nullptr;
};

void _ensure_directory(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    aErr err = aDirectory_Ensure(path.c_str(), 0755);
    if (err != aErrNone)
      throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                               std::to_string(static_cast<int>(err)));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
  } else if (!S_ISDIR(st.st_mode)) {
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  } else {
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
  }
}

// The entry's folder (up to the last "/") and its own name (after it).
void sSplit(const char* path, std::string& folder, std::string& name) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) {
    folder.clear();
    name = path;
    return;
  }
  folder.assign(path, static_cast<size_t>(slash - path));
  name = slash + 1;
}

store_item_t sKind(const aDirectoryListData* entry) {
  return entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
}

bool _find_item(const aDirectoryListData* entry, void* ref) {
  auto* result = static_cast<result_t*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
           static_cast<int>(entry->isDirectory), static_cast<int>(entry->size), result->searchName.c_str());
  std::string folder, name;
  sSplit(entry->path, folder, name);
  // The entry's own name, exactly: the store's path may hold the serial too, and other
  // entries may hold it inside theirs (40F5849A.old).
  if (name == "." || name == ".." || name != result->searchName) return true;
  result->found = true;
  if (result->out != nullptr) *result->out = UpdaterStoreItem(folder.c_str(), name.c_str(), sKind(entry));
  return false;
}

bool _find_items(const aDirectoryListData* entry, void* ref) {
  auto* out = static_cast<std::vector<UpdaterStoreItem>*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, static_cast<int>(entry->isDirectory),
           static_cast<int>(entry->size));
  std::string folder, name;
  sSplit(entry->path, folder, name);
  if (name.empty() || name[0] == '.') return true;  // ".", ".." and the settings file
  out->emplace_back(folder.c_str(), name.c_str(), sKind(entry));
  return true;
}

}  // namespace

UpdaterStore::UpdaterStore(const char* base) : basePath(base != nullptr ? base : "") {
  _ensure_directory(basePath);
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(SerialText(serial).c_str()); }

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
  const char* entry = name != nullptr ? name : "";
  _ensure_directory(BuildPath(basePath.c_str(), entry, nullptr));
  return UpdaterStoreItem(basePath.c_str(), entry, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* out) {
  return FindDevice(SerialText(serial).c_str(), out);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* out) {
  result_t result;
  result.searchName = name != nullptr ? name : "";
  result.out = out;
  aDirectory_List(basePath.c_str(), _find_item, &result);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found",
           result.searchName.c_str());
  return result.found;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& out) {
  UpdaterStoreItem device;
  if (FindDevice(serial, &device)) {
    std::string folder = BuildPath(device.basePath.c_str(), device.name.c_str(), nullptr);
    aDirectory_List(folder.c_str(), _find_items, &out);
  }
  return true;
}
