#pragma once
#include <cstdint>

// Display name of a device model number; numbers without a name give "Unknown".
const char* aDefs_GetModelName(uint32_t model);
