#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "PacketHelpers.h"
#include "PeerFraming.h"
#include "cobs.h"
#include "crc8.h"

namespace {

std::vector<uint8_t> Encode(const std::vector<uint8_t>& input) {
  std::vector<uint8_t> out(input.size() + 2 + input.size() / 254, 0xEE);
  out.resize(cobs_encode(input.data(), input.size(), out.data()));
  return out;
}

// Decodes into a buffer exactly as long as the input, so that the sanitizer sees any write
// past it.
std::vector<uint8_t> Decode(const std::vector<uint8_t>& encoded, size_t* length) {
  std::vector<uint8_t> out(encoded.size());
  *length = cobs_decode(encoded.data(), encoded.size(), out.data());
  out.resize(*length);
  return out;
}

std::vector<uint8_t> Random(std::mt19937& random, size_t n) {
  std::vector<uint8_t> bytes(n);
  // Zeros often enough to matter.
  for (uint8_t& b : bytes) b = random() % 4 == 0 ? 0 : static_cast<uint8_t>(random());
  return bytes;
}

}  // namespace

TEST(crc8, CheckValues) {
  const std::string digits = "123456789";
  EXPECT_EQ(crc8_create(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0xA1);
  EXPECT_EQ(crc8_create(nullptr, 0), 0);
  std::vector<uint8_t> frame = HexBytes("02 00");
  EXPECT_EQ(crc8_create(frame.data(), frame.size()), 0x91);
  EXPECT_TRUE(crc8_check(frame.data(), frame.size(), 0x91));
  EXPECT_FALSE(crc8_check(frame.data(), frame.size(), 0x92));
  // Against the bitwise oracle for every single byte after a prefix.
  for (int b = 0; b < 256; ++b) {
    std::vector<uint8_t> bytes = {0x5A, static_cast<uint8_t>(b)};
    ASSERT_EQ(crc8_create(bytes.data(), bytes.size()), PeerCrc8(bytes)) << b;
  }
}

TEST(cobs, EncodeVectors) {
  std::vector<uint8_t> nonZero(254);
  for (size_t i = 0; i < nonZero.size(); ++i) nonZero[i] = static_cast<uint8_t>(i % 255 + 1);
  std::vector<uint8_t> expected = {0xFF};
  expected.insert(expected.end(), nonZero.begin(), nonZero.end());
  expected.push_back(0x01);

  EXPECT_EQ(HexText(Encode({})), "01");
  EXPECT_EQ(HexText(Encode(HexBytes("00"))), "01 01");
  EXPECT_EQ(HexText(Encode(HexBytes("11 22 00 33"))), "03 11 22 02 33");
  EXPECT_EQ(Encode(nonZero), expected);
  size_t length = 0;
  EXPECT_EQ(Decode(expected, &length), nonZero);
}

TEST(cobs, RoundTripsAndMatchesThePeer) {
  std::mt19937 random(8);
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> input = Random(random, random() % 301);
    std::vector<uint8_t> encoded = Encode(input);
    ASSERT_EQ(encoded, PeerCobsEncode(input)) << HexText(input);
    ASSERT_EQ(std::count(encoded.begin(), encoded.end(), 0), 0);
    size_t length = 0;
    ASSERT_EQ(Decode(encoded, &length), input) << HexText(input);
  }
}

TEST(cobs, EncodeInPlaceEqualsEncode) {
  auto check = [](const std::vector<uint8_t>& input) {
    std::vector<uint8_t> buffer = input;
    std::vector<uint8_t> expected = Encode(input);
    buffer.resize(expected.size());  // exactly the room the encoding needs
    size_t length = cobs_encode_inplace(buffer.data(), input.size());
    buffer.resize(length);
    EXPECT_EQ(buffer, expected) << HexText(input);
  };
  for (size_t n = 0; n <= 31; ++n) {
    std::vector<uint8_t> input(n);
    for (size_t i = 0; i < n; ++i) input[i] = static_cast<uint8_t>(0xA0 + i);
    check(input);
    for (size_t zero = 0; zero < n; ++zero) {
      std::vector<uint8_t> withZero = input;
      withZero[zero] = 0;
      check(withZero);
    }
  }
  // Long inputs, where the output runs further and further ahead of the input.
  std::mt19937 random(31);
  check(std::vector<uint8_t>(254 * 12 + 7, 0x33));
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> input(random() % 3000, 0x77);
    for (uint8_t& b : input) {
      if (random() % 400 == 0) b = 0;
    }
    check(input);
  }
}

TEST(cobs, DecodeRefusesBrokenInput) {
  struct Case {
    const char* encoded;
    size_t decoded;  // 0: refused (or nothing to give)
  };
  const Case cases[] = {
      {"", 0},
      {"01", 0},               // one empty last block
      {"00", 0},               // a zero where a code byte belongs
      {"03 11 22 00 33", 0},   // zero code byte after a block
      {"05 11 22", 0},         // code promises more than remains
      {"02 11 05 22 33", 0},   // second code overruns
      {"02 11 01", 2},         // 11 00
      {"01 01 01", 2},         // 00 00
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> encoded = HexBytes(c.encoded);
    size_t length = 99;
    Decode(encoded, &length);
    EXPECT_EQ(length, c.decoded) << c.encoded;
    std::vector<uint8_t> inPlace = encoded;
    EXPECT_EQ(cobs_decode_inplace(inPlace.data(), inPlace.size()), c.decoded) << c.encoded;
  }
}
