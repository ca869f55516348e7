// The input is a settings file: loaded, saved to a second file and reloaded, which must
// give the same entries (keys beginning with "#" and the empty key with an empty value
// cannot be read back by design), then every typed getter runs on every key.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "KeyValueStore.h"

namespace {

using Map = std::map<std::string, std::string>;

Map sComparable(const Map& values) {
  Map out;
  for (const auto& [key, value] : values)
    if (!(key.empty() && value.empty()) && (key.empty() || key[0] != '#')) out[key] = value;
  return out;
}

// A plain array: the exit handler that removes the folder runs after static strings are gone.
char sFolderPath[] = "/tmp/fuzz_settings-XXXXXX";

void sRemoveFolder() {
  std::string folder = sFolderPath;
  unlink((folder + "/first").c_str());
  unlink((folder + "/second").c_str());
  rmdir(sFolderPath);
}

std::string sFolder() {
  static bool made = [] {
    if (mkdtemp(sFolderPath) == nullptr) abort();
    atexit(sRemoveFolder);
    return true;
  }();
  (void)made;
  return sFolderPath;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string first = sFolder() + "/first";
  const std::string second = sFolder() + "/second";
  FILE* f = fopen(first.c_str(), "wb");
  if (f == nullptr) return 0;
  fwrite(data, 1, size, f);
  if (fclose(f) != 0) return 0;

  KeyValueStore loaded(first.c_str());
  Map before = loaded.Values();
  loaded.Save(second.c_str());
  KeyValueStore reloaded(second.c_str());
  if (sComparable(before) != sComparable(reloaded.Values())) abort();

  for (const auto& [key, value] : before) {
    loaded.GetInt(key.c_str(), 1);
    loaded.GetHex(key.c_str(), 2);
    loaded.GetDouble(key.c_str(), 3.0);
  }
  return 0;
}
