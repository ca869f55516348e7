#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base64.h"

namespace {

// Decodes into a string; "<null>" when the decoder rejects the text.
std::string Decode(const std::string& text) {
  size_t length = 12345;
  Base64Bytes out(base64_decode(text.data(), text.size(), &length));
  if (!out) return "<null>";
  EXPECT_EQ(out.get()[length], 0) << "the extra zero byte is missing";
  return std::string(reinterpret_cast<const char*>(out.get()), length);
}

std::string Encode(const std::string& bytes) {
  size_t length = 0;
  Base64Bytes out(reinterpret_cast<unsigned char*>(base64_encode(bytes.data(), bytes.size(), &length)));
  EXPECT_EQ(strlen(reinterpret_cast<const char*>(out.get())), length);
  return std::string(reinterpret_cast<const char*>(out.get()), length);
}

}  // namespace

TEST(Base64, Rfc4648VectorsBothWays) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    SCOPED_TRACE(encoded);
    EXPECT_EQ(Encode(plain), encoded);
    EXPECT_EQ(Decode(encoded), plain);
  }
}

TEST(Base64, EmptyTextGivesEmptyNonNullOutput) {
  size_t length = 99;
  Base64Bytes out(base64_decode("", 0, &length));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(out.get()[0], 0);
}

TEST(Base64, HighBytesRoundTrip) {
  std::string bytes;
  for (int i = 0x80; i < 0x100; ++i) bytes += static_cast<char>(i);
  bytes += std::string("\0\xff\xfe", 3);
  EXPECT_EQ(Decode(Encode(bytes)), bytes);
  EXPECT_EQ(Decode("/w=="), "\xff");
  EXPECT_EQ(Decode("gICA"), "\x80\x80\x80");
}

TEST(Base64, RejectedTexts) {
  const char* rejected[] = {
      "QQ=",        // the length is not a multiple of 4
      "QUJDR",      // nor here
      "Q=Q=",       // "=" before the last two places
      "====",       // the same, four times
      "Q===",       // three "="
      "QQ=Q",       // "=" followed by another character
      "QUJD QQ==",  // blank
      "QUJD\rQ==",  // carriage return inside
      "QUJDRA==\r", // a line end left on the text
      "QU\x80=",    // a byte >= 0x80 is no Base64 character
      "QU-_",       // the URL-safe alphabet is not this one
  };
  for (const char* text : rejected) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Decode(text), "<null>");
  }
}

TEST(Base64, OneByteFromQQ) {
  size_t length = 0;
  Base64Bytes out(base64_decode("QQ==", 4, &length));
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(length, 1u);
  EXPECT_EQ(out.get()[0], 0x41);
}
