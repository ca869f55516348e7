#include "SerialText.h"

#include <cstdio>

std::string SerialText(uint32_t serial) {
  char text[9];
  snprintf(text, sizeof(text), "%08X", serial);
  return text;
}
