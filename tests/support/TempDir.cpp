#include "TempDir.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/corvantis-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() { RemoveTree(path_); }

namespace {
int sRemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }
}  // namespace

bool RemoveTree(const std::string& path) {
  // FTW_PHYS: links are visited as links; FTW_DEPTH: children before their folder.
  nftw(path.c_str(), sRemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  return access(path.c_str(), F_OK) != 0;
}
