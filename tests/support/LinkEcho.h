#pragma once
#include <cstdint>

#include "aLink.h"

// One request to the echoing simulated device at address 0x08 and its reply, told apart
// from any other packet by a payload that carries `tag`; true when the reply came within ms.
bool LinkEcho(aLinkRef ref, int tag, uint64_t ms = 5000);
