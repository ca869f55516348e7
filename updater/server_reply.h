#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "HTTPRequest.h"

// How each update-server operation judges its finished reply and what it takes from it. A reply
// passes when its status is 200 and its first line begins with "ok"; lines are cut at every
// "\n" and empty lines count. Outputs are left alone on failure, and a missing later line
// leaves its output unchanged. No function here keeps state, so any thread may call them.
class ServerReply {
 public:
  static bool Ping(HTTPResponse& reply);
  // build = line 2 as sent; version = line 3 up to its first "\r" or "\n".
  static bool QueryBuild(HTTPResponse& reply, std::string& build, std::string& version);
  // image is cleared, then set to line 2 (one line of Base64).
  static bool GetBuild(HTTPResponse& reply, std::string& image);
  // builds is cleared; each later line of 3 characters or more gives build;version, the first
  // line for a build winning.
  static bool GetBuildList(HTTPResponse& reply, std::map<std::string, std::string>& builds);
  // serial = line 2 as hexadecimal; build = line 3 with automatic base.
  static bool GetRecoveryInfo(HTTPResponse& reply, uint32_t* serial, uint32_t* build);
};
