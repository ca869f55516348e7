// The server's newest build text as the update reads it: leading blanks skipped, then the
// digits up to the first other character. A build comes back only for a text whose leading
// digits fit in 32 bits, and it is their value; a text without them gives none.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>

#include "BuildNumberText.h"
#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  uint32_t build = 0xA5A5A5A5;
  bool converted = _server_build_number(text, &build);

  size_t at = 0;
  while (at < text.size() && isspace(static_cast<unsigned char>(text[at]))) ++at;
  size_t end = at;
  while (end < text.size() && isdigit(static_cast<unsigned char>(text[end]))) ++end;
  std::string digits = text.substr(at, end - at);
  // Leading zeros carry no value: what is left must fit in 10 digits to fit in 32 bits.
  std::string significant = digits.substr(std::min(digits.find_first_not_of('0'), digits.size()));
  bool fits = !digits.empty() && (significant.size() < 10 || (significant.size() == 10 && significant <= "4294967295"));
  CHECK(converted == fits);
  if (!converted) {
    CHECK(build == 0xA5A5A5A5);  // left alone
    return 0;
  }
  CHECK(std::to_string(build) == (significant.empty() ? "0" : significant));
  return 0;
}
