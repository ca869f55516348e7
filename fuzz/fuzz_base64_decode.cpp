// Arbitrary text never breaks the decoder; what it accepts is well-formed Base64; and the
// encoding of the input always decodes back to the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base64.h"

namespace {

const char sAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void sCheck(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  size_t length = 0;
  Base64Bytes out(base64_decode(text, size, &length));
  if (out) {
    sCheck(size % 4 == 0);
    size_t pads = 0;
    for (size_t i = 0; i < size; ++i) {
      if (text[i] == '=') {
        ++pads;
        continue;
      }
      sCheck(text[i] != '\0' && strchr(sAlphabet, text[i]) != nullptr);
      sCheck(pads == 0);  // "=" only at the end
    }
    sCheck(pads <= 2);
    sCheck(length == size / 4 * 3 - pads);
    sCheck(out.get()[length] == 0);
  }

  size_t encodedLength = 0;
  Base64Bytes encoded(reinterpret_cast<unsigned char*>(base64_encode(text, size, &encodedLength)));
  sCheck(encoded != nullptr);
  sCheck(encodedLength == 4 * ((size + 2) / 3));
  size_t backLength = 0;
  Base64Bytes back(base64_decode(reinterpret_cast<const char*>(encoded.get()), encodedLength, &backLength));
  sCheck(back != nullptr);
  sCheck(backLength == size);
  sCheck(size == 0 || memcmp(back.get(), data, size) == 0);
  return 0;
}
