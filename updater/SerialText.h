#pragma once
#include <cstdint>
#include <string>

// A serial number as the store's folder names and the server's queries write it: "%08X".
std::string SerialText(uint32_t serial);
