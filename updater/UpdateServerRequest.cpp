#include "UpdateServerRequest.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>

#include "BirdFile.h"
#include "HTTPRequest.h"
#include "Log.h"
#include "SerialText.h"
#include "UpdateServerUrls.h"
#include "aVersion.h"
#include "server_reply.h"

namespace {

struct VersionTriple {
  uint8_t major, minor, patch;
};

// Reads the three pieces as decimal integers (leading digits count) and keeps the low 8 bits
// of each. False for a text that is not three readable numbers; `error` then says why when
// a piece could not be converted.
bool sReadVersion(const std::string& version, VersionTriple* out, std::string* error) {
  std::vector<std::string> parts = UpdateServerRequest::SplitCorvantisVersion(version);
  if (parts.size() != 3) return false;
  try {
    out->major = static_cast<uint8_t>(std::stoi(parts[0]));
    out->minor = static_cast<uint8_t>(std::stoi(parts[1]));
    out->patch = static_cast<uint8_t>(std::stoi(parts[2]));
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return false;
  }
  return true;
}

// Newest first; every unreadable version after every readable one, unreadable ones equal
// among themselves. That keeps it a strict weak ordering whatever the server sends.
bool _sortVersion(const UpdateServerRequest::BuildEntry& a, const UpdateServerRequest::BuildEntry& b) {
  VersionTriple va{}, vb{};
  bool readA = sReadVersion(a.second, &va, nullptr);
  bool readB = sReadVersion(b.second, &vb, nullptr);
  if (!readA) return false;
  if (!readB) return true;
  return !aVersion_IsAtLeastCompare(vb.major, vb.minor, vb.patch, va.major, va.minor, va.patch);
}

}  // namespace

std::vector<std::string> UpdateServerRequest::SplitCorvantisVersion(std::string version) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (parts.size() != 3) parts.clear();
  return parts;
}

std::vector<UpdateServerRequest::BuildEntry> UpdateServerRequest::SortBuildsByVersion(const BuildList& builds) {
  std::vector<BuildEntry> sorted(builds.begin(), builds.end());
  for (const BuildEntry& entry : sorted) {
    VersionTriple v{};
    std::string error;
    if (!sReadVersion(entry.second, &v, &error) && !error.empty()) {
      Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", error.c_str());
    }
  }
  // Stable: equal versions keep their key order.
  std::stable_sort(sorted.begin(), sorted.end(), _sortVersion);
  return sorted;
}

namespace {

const char* const default_url = UPDATE_SERVER_HTTP_URL;

// The largest image the store takes, as one Base64 line, and room for the reply lines around
// it. Nothing larger could be stored, so nothing larger is ever held in memory.
constexpr HTTPLimits kImageReply = {4 * ((BirdFile::MAX_FILE_SIZE + 2) / 3) + 64 * 1024, false};

// Runs GET; a transport failure logs "<name> ==> [<what>]" and gives false.
bool sRequest(const char* name, const char* url, std::map<std::string, std::string>& query,
              std::optional<HTTPResponse>& reply, HTTPLimits limits = HTTPRequest::SMALL_REPLY) {
  try {
    reply.emplace(HTTPRequest::GET(url ? url : default_url, query, limits));
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    return false;
  }
  return true;
}

}  // namespace

bool UpdateServerRequest::ping(const char* url) {
  std::map<std::string, std::string> query = {{"op", "hi"}, {"rv", "2"}};
  std::optional<HTTPResponse> reply;
  return sRequest("ping", url, query, reply) && ServerReply::Ping(*reply);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& version, const char* url) {
  std::map<std::string, std::string> query = {{"op", "qu"}, {"sn", SerialText(serial)}};
  std::optional<HTTPResponse> reply;
  return sRequest("QueryBuild", url, query, reply) && ServerReply::QueryBuild(*reply, build, version);
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const char* version, const char* build, std::string& image,
                                   const char* url, bool flag) {
  std::map<std::string, std::string> query = {{"bld", build ? build : ""},
                                              {"fw", version ? version : ""},
                                              {"no_cal", flag ? "true" : "false"},
                                              {"op", "bird"},
                                              {"sn", SerialText(serial)}};
  std::optional<HTTPResponse> reply;
  return sRequest("GetBuild", url, query, reply, kImageReply) && ServerReply::GetBuild(*reply, image);
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds, const char* url) {
  builds.clear();
  std::map<std::string, std::string> query = {{"op", "builds"}, {"sn", SerialText(serial)}};
  std::optional<HTTPResponse> reply;
  return sRequest("GetBuildList", url, query, reply) && ServerReply::GetBuildList(*reply, builds);
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t* serial, uint32_t* build,
                                          const char* url) {
  char fp[64];
  snprintf(fp, sizeof(fp), "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
           fingerprint[3]);
  std::map<std::string, std::string> query = {{"brief", "true"}, {"fp", fp}, {"op", "fix"}};
  std::optional<HTTPResponse> reply;
  return sRequest("GetRecoveryInfo", url, query, reply) && ServerReply::GetRecoveryInfo(*reply, serial, build);
}
