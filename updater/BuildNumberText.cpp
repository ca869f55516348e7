#include "BuildNumberText.h"

#include <cctype>

bool _leading_number(const std::string& text, uint64_t* value) {
  uint64_t v = 0;
  size_t i = 0;
  for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
    unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  if (i == 0) return false;
  *value = v;
  return true;
}

bool _server_build_number(const std::string& text, uint32_t* build) {
  size_t first = 0;
  while (first < text.size() && isspace(static_cast<unsigned char>(text[first]))) ++first;
  uint64_t value = 0;
  if (!_leading_number(text.substr(first), &value) || value > UINT32_MAX) return false;
  *build = static_cast<uint32_t>(value);
  return true;
}
