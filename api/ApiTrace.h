#pragma once
#include <cstdint>

#include "aDebug.h"

namespace Tavrin::Corvantis {

// Topics of the library's debug trace (aDebug.h) that the object API prints under.
enum : uint32_t {
  kTraceLink = 0x1,
  kTraceModule = 0x40,
};

inline bool sTraceOn(uint32_t topic) {
  return aCorvantisDebuggingEnable && (aCorvantisDebuggingLevel & topic) != 0;
}

}  // namespace Tavrin::Corvantis
