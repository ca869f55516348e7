// "ok\n" + the input is a build-list reply; its sorted list must be a permutation of the map
// with the readable versions first, never increasing, and the unreadable ones after them in
// key order. Sorting is deterministic.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "UpdateServerRequest.h"
#include "server_reply.h"

namespace {

void sCheck(bool condition) {
  if (!condition) abort();
}

// Three pieces that each read as an integer (leading digits), each cut to 8 bits.
bool sReadable(const std::string& version, std::tuple<uint8_t, uint8_t, uint8_t>* triple) {
  std::vector<std::string> parts = UpdateServerRequest::SplitCorvantisVersion(version);
  if (parts.size() != 3) return false;
  uint8_t v[3];
  for (int i = 0; i < 3; ++i) {
    try {
      v[i] = static_cast<uint8_t>(std::stoi(parts[i]));
    } catch (const std::exception&) {
      return false;
    }
  }
  *triple = {v[0], v[1], v[2]};
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body = "ok\n" + std::string(reinterpret_cast<const char*>(data), size);
  HTTPResponse reply("http://127.0.0.1/cgi/u?op=builds&sn=40F5849A&");
  reply.set_status(200);
  reply.process(body.data(), body.size());
  UpdateServerRequest::BuildList builds;
  sCheck(ServerReply::GetBuildList(reply, builds));

  auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  sCheck(sorted.size() == builds.size());
  for (const auto& entry : sorted) {
    auto it = builds.find(entry.first);
    sCheck(it != builds.end() && it->second == entry.second);
  }
  std::vector<std::string> keys;
  for (const auto& entry : sorted) keys.push_back(entry.first);
  std::sort(keys.begin(), keys.end());
  sCheck(std::adjacent_find(keys.begin(), keys.end()) == keys.end());

  bool inUnreadable = false;
  std::tuple<uint8_t, uint8_t, uint8_t> previous{};
  std::string previousKey;
  for (size_t i = 0; i < sorted.size(); ++i) {
    std::tuple<uint8_t, uint8_t, uint8_t> triple{};
    bool readable = sReadable(sorted[i].second, &triple);
    if (readable) {
      sCheck(!inUnreadable);
      sCheck(i == 0 || !(previous < triple));
      previous = triple;
    } else {
      if (inUnreadable) sCheck(previousKey < sorted[i].first);
      inUnreadable = true;
      previousKey = sorted[i].first;
    }
  }
  sCheck(UpdateServerRequest::SortBuildsByVersion(builds) == sorted);
  return 0;
}
