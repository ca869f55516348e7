// Byte 0 picks the reply handler; the rest is the body of a status-200 reply.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "FuzzLog.h"
#include "server_reply.h"

namespace {

bool sStartsOk(const std::string& body) { return body.size() >= 2 && body[0] == 'o' && body[1] == 'k'; }

void sCheck(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzLogToNull(DEBUG_ServerComm);
  if (size == 0) return 0;
  std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  HTTPResponse reply("http://127.0.0.1/cgi/u?op=fuzz&");
  reply.set_status(200);
  reply.process(body.data(), body.size());

  bool ok = false;
  switch (data[0] % 5) {
    case 0:
      ok = ServerReply::Ping(reply);
      break;
    case 1: {
      std::string build, version;
      ok = ServerReply::QueryBuild(reply, build, version);
      sCheck(version.find_first_of("\r\n") == std::string::npos);
      break;
    }
    case 2: {
      std::string image;
      ok = ServerReply::GetBuild(reply, image);
      sCheck(image.find('\n') == std::string::npos);
      break;
    }
    case 3: {
      std::map<std::string, std::string> builds;
      ok = ServerReply::GetBuildList(reply, builds);
      for (const auto& [key, version] : builds) {
        sCheck(!key.empty());
        sCheck(key.find_first_of(";\r\n") == std::string::npos);
        sCheck(version.find_first_of(";\r\n") == std::string::npos);
      }
      break;
    }
    case 4: {
      uint32_t serial = 0, build = 0;
      ok = ServerReply::GetRecoveryInfo(reply, &serial, &build);
      break;
    }
  }
  sCheck(!ok || sStartsOk(body));
  return 0;
}
