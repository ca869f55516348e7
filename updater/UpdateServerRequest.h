#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// The update server's client side. All operations are static; nothing is kept between calls.
// Each operation is one blocking GET and returns true only on success; a null URL means the
// default server. Failures are logged, never thrown, and never retried.
class UpdateServerRequest {
 public:
  using BuildList = std::map<std::string, std::string>;  // build number text -> version text
  using BuildEntry = std::pair<std::string, std::string>;

  static bool ping(const char* url);
  // The newest build of the device, as text, and its version text.
  static bool QueryBuild(uint32_t serial, std::string& build, std::string& version, const char* url);
  // The image of a build as one line of Base64. version is sent as fw, build as bld, flag as
  // no_cal.
  static bool GetBuild(uint32_t serial, const char* version, const char* build, std::string& image, const char* url,
                       bool flag);
  static bool GetBuildList(uint32_t serial, BuildList& builds, const char* url);
  // The serial number and build of the device that a chip fingerprint belongs to.
  static bool GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t* serial, uint32_t* build, const char* url);

  // The entries newest version first; entries whose version is not three readable numbers
  // follow in key order. Versions compare after an 8-bit cut of each number.
  static std::vector<BuildEntry> SortBuildsByVersion(const BuildList& builds);
  // The three dot-separated pieces of a version text (empty pieces included), or nothing
  // when there are not exactly three.
  static std::vector<std::string> SplitCorvantisVersion(std::string version);
};
