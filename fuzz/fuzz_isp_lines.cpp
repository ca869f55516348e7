// The input as a line from an LPC ISP boot loader: byte 0 is the capacity of the heap buffer
// uudecode writes into, the rest the line.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzCheck.h"
#include "FuzzLog.h"
#include "NXPSerialClass.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzLogToNull(DEBUG_NXPSerial | DEBUG_NXPSerial_E | DEBUG_NXPSerial_SR);
  if (size == 0) return 0;
  unsigned capacity = data[0];
  std::string line(reinterpret_cast<const char*>(data + 1), size - 1);

  // Exactly the capacity on the heap: a write past it is a crash.
  std::unique_ptr<uint8_t[]> out(new uint8_t[capacity == 0 ? 1 : capacity]);
  unsigned decoded = NXPSerialClass::uudecode(out.get(), capacity, line.c_str());
  CHECK(decoded <= capacity);
  if (decoded > 0) CHECK(decoded == ((static_cast<unsigned>(line[0] - 0x20)) & 0x3F));

  unsigned long code = 0;
  if (NXPSerialClass::ParseReturnCode(line.data(), line.size(), &code)) {
    CHECK(line.size() >= 3 && line[line.size() - 2] == '\r' && line.back() == '\n');
    CHECK(code <= 999999999ul);
  }
  unsigned long long value = 0;
  if (NXPSerialClass::ParseNumberLine(line.data(), line.size(), &value)) {
    CHECK(line[0] >= '0' && line[0] <= '9');
    CHECK(line[line.size() - 2] == '\r' && line.back() == '\n');
  }
  const char* text = NXPSerialClass::GetErrorText(line.c_str());
  CHECK(text != nullptr && strlen(text) > 0);
  return 0;
}
