#include "UpdaterStoreItem.h"

#include <cstring>
#include <stdexcept>

#include "BuildPath.h"
#include "aDirectory.h"
#include "unix_file.h"

UpdaterStoreItem::UpdaterStoreItem(const char* base, const char* entry, store_item_t kind)
    : basePath(base != nullptr ? base : ""), name(entry != nullptr ? entry : ""), type(kind) {
  std::string file = BuildPath(basePath.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
  settings.Load(file.c_str());
}

aErr UpdaterStoreItem::WriteFile(const char* fileName, const uint8_t* data, size_t length) {
  // An entry without a folder would make the path "//fileName", at the root.
  if (data == nullptr || fileName == nullptr || !IsValid()) return aErrNotFound;
  std::string file = BuildPath(basePath.c_str(), name.c_str(), fileName, nullptr);
  aErr err = aFile_ReplaceAtomically(file.c_str(), data, length);
  if (err == aErrNone || err == aErrNotFound) return err;
  return aErrIO;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) {
  std::string file = BuildPath(basePath.c_str(), name.c_str(), fileName != nullptr ? fileName : "", nullptr);
  if (!BirdFile::VerifyFile(file.c_str())) throw std::runtime_error("Invalid bird " + file);
  return BirdFile(file.c_str());
}

namespace {

struct ExactName {
  const char* name;
  bool found;
};

bool sMatchName(const aDirectoryListData* entry, void* ref) {
  auto* search = static_cast<ExactName*>(ref);
  const char* slash = strrchr(entry->path, '/');
  const char* own = slash != nullptr ? slash + 1 : entry->path;
  if (strcmp(own, ".") == 0 || strcmp(own, "..") == 0 || strcmp(own, search->name) != 0) return true;
  search->found = true;
  return false;
}

}  // namespace

bool UpdaterStoreItem::FileExists(const char* fileName) const {
  if (fileName == nullptr) return false;
  std::string folder = BuildPath(basePath.c_str(), name.c_str(), nullptr);
  ExactName search = {fileName, false};
  aDirectory_List(folder.c_str(), sMatchName, &search);
  return search.found;
}
