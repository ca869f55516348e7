#include "SimLinkScript.h"

#include <cstring>

const SimLinkScriptRow* SimLinkScript::Match(const aPacket* request) const {
  for (const SimLinkScriptRow& row : rows_) {
    if (row.prefix.size() > request->length ||
        memcmp(request->payload, row.prefix.data(), row.prefix.size()) != 0)
      continue;
    if (row.continueFlag >= 0) {
      if (request->length == 0) continue;
      int flag = request->payload[request->length - 1] >> 7;
      if (flag != row.continueFlag) continue;
    }
    return &row;
  }
  return nullptr;
}
