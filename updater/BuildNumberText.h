#pragma once
// Build numbers read from texts that the update server or the user gave, shared by the
// download and the update so that both read a build the same way.
#include <cstdint>
#include <string>

// The value of the decimal digits a text begins with. False when it begins with none or
// they do not fit in 64 bits.
bool _leading_number(const std::string& text, uint64_t* value);

// The server's newest build text as a build: leading blanks skipped, then the digits up to the
// first other character. False for a text without digits or a number beyond 32 bits, which
// would otherwise name another build by its low bits.
bool _server_build_number(const std::string& text, uint32_t* build);
