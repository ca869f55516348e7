// Listing the builds of a device folder of 1000 files, compared with a bare listing of the
// same folder: each entry adds one failed settings open (ENOTDIR) and writes nothing.
#include <cstdio>
#include <string>
#include <vector>

#include "BenchFigure.h"
#include "BenchTiming.h"
#include "TempDir.h"
#include "UpdaterStore.h"
#include "aDirectory.h"

namespace {

bool sNothing(const aDirectoryListData*, void*) { return true; }

}  // namespace

int main() {
  TempDir dir;
  std::string base = dir / "updater";
  UpdaterStore store(base.c_str());
  UpdaterStoreItem device = store.AddDevice(0x40F5849A);
  const uint8_t byte = 0;
  for (int build = 1000; build < 2000; ++build) {
    if (device.WriteFile((std::to_string(build) + ".bird").c_str(), &byte, 1) != aErrNone) {
      printf("bench store_list: cannot fill the store\n");
      return 1;
    }
  }
  std::string folder = base + "/40F5849A";

  size_t found = 0;
  double builds = MedianMs(41, [&] {
    std::vector<UpdaterStoreItem> out;
    store.FindLocalBuilds(0x40F5849A, out);
    found = out.size();
  });
  double list = MedianMs(41, [&] { aDirectory_List(folder.c_str(), sNothing, nullptr); });
  if (found != 1000) {
    printf("bench store_list: found %zu builds, not 1000\n", found);
    return 1;
  }
  PrintFigure("store_list_1000", builds, "ms", "directory_list_1000", list);
  return 0;
}
