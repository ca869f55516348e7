#include "server_reply.h"

#include <cstdlib>
#include <string_view>
#include <vector>

#include "Log.h"

namespace {

// Cuts at every "\n"; the text after the last "\n" is a line only when it is not empty.
std::vector<std::string_view> sLines(std::string_view body) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find('\n', start);
    if (end == std::string_view::npos) end = body.size();
    lines.push_back(body.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The status and "ok" rule shared by every operation, with its log lines.
bool sAccepted(const char* name, HTTPResponse& reply, std::vector<std::string_view>& lines) {
  if (reply.get_status() != 200) {
    if (std::string_view(name) == "ping") {
      Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(reply.get_status()), reply.get_response());
    } else {
      Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(reply.get_status()),
               reply.get_response());
    }
    return false;
  }
  lines = sLines(std::string_view(reply.get_response(), reply.get_response_size()));
  if (lines.empty() || lines[0].substr(0, 2) != "ok") {
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, reply.get_request());
    return false;
  }
  return true;
}

std::string sText(std::string_view line) { return std::string(line); }

}  // namespace

bool ServerReply::Ping(HTTPResponse& reply) {
  std::vector<std::string_view> lines;
  return sAccepted("ping", reply, lines);
}

bool ServerReply::QueryBuild(HTTPResponse& reply, std::string& build, std::string& version) {
  std::vector<std::string_view> lines;
  if (!sAccepted("QueryBuild", reply, lines)) return false;
  if (lines.size() > 1) build = sText(lines[1]);
  if (lines.size() > 2) version = sText(lines[2].substr(0, lines[2].find_first_of("\r\n")));
  return true;
}

bool ServerReply::GetBuild(HTTPResponse& reply, std::string& image) {
  std::vector<std::string_view> lines;
  if (!sAccepted("GetBuild", reply, lines)) return false;
  image.clear();
  if (lines.size() > 1) image = sText(lines[1]);
  return true;
}

bool ServerReply::GetBuildList(HTTPResponse& reply, std::map<std::string, std::string>& builds) {
  const char* name = "GetBuildList";
  builds.clear();
  std::vector<std::string_view> lines;
  if (!sAccepted(name, reply, lines)) return false;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.size() < 3) continue;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", name, sText(line).c_str());
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (start < line.size() && pieces.size() < 2) {
      size_t end = line.find_first_of(";\r\n", start);
      if (end == std::string_view::npos) end = line.size();
      if (end > start) pieces.push_back(line.substr(start, end - start));
      start = end + 1;
    }
    if (pieces.empty()) continue;
    std::string build = sText(pieces[0]);
    std::string version = pieces.size() > 1 ? sText(pieces[1]) : "";
    builds.emplace(build, version);
    Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", name, build.c_str(), version.c_str());
  }
  return true;
}

bool ServerReply::GetRecoveryInfo(HTTPResponse& reply, uint32_t* serial, uint32_t* build) {
  const char* name = "GetRecoveryInfo";
  std::vector<std::string_view> lines;
  if (!sAccepted(name, reply, lines)) return false;
  std::string text[3];
  for (size_t i = 0; i < 3 && i < lines.size(); ++i) text[i] = sText(lines[i]);
  if (lines.size() > 1 && serial) *serial = static_cast<uint32_t>(strtoul(text[1].c_str(), nullptr, 16));
  if (lines.size() > 2 && build) *build = static_cast<uint32_t>(strtoul(text[2].c_str(), nullptr, 0));
  // A missing line logs as empty.
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", name, text[0].c_str(), text[1].c_str(), text[2].c_str());
  return true;
}
