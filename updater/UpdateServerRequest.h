#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

// The update server's client side. All operations are static; nothing is kept between calls.
class UpdateServerRequest {
 public:
  using BuildList = std::map<std::string, std::string>;  // build number text -> version text
  using BuildEntry = std::pair<std::string, std::string>;

  // The entries newest version first; entries whose version is not three readable numbers
  // follow in key order. Versions compare after an 8-bit cut of each number.
  static std::vector<BuildEntry> SortBuildsByVersion(const BuildList& builds);
  // The three dot-separated pieces of a version text (empty pieces included), or nothing
  // when there are not exactly three.
  static std::vector<std::string> SplitCorvantisVersion(std::string version);
};
