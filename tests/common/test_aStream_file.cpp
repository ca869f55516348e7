#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "FileText.h"
#include "PacketHelpers.h"
#include "TempDir.h"
#include "aStream.h"

namespace {

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

StreamPtr Input(const std::string& path) {
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateFileInput(path.c_str(), &stream), aErrNone);
  return StreamPtr(stream);
}

}  // namespace

TEST(aStreamFile, ReadsToTheEnd) {
  TempDir dir;
  WriteFile(dir / "two", "ab");
  StreamPtr stream = Input(dir / "two");
  ASSERT_NE(stream, nullptr);
  uint8_t out[4] = {0, 0, 9, 9};
  EXPECT_EQ(aStream_Read(stream.get(), out, 4), aErrEOF);
  EXPECT_EQ(std::string(out, out + 4), std::string("ab\x09\x09"));
  EXPECT_EQ(aStream_Read(stream.get(), out, 1), aErrEOF);
  EXPECT_EQ(aStream_Write(stream.get(), out, 1), aErrMode);  // input only
}

TEST(aStreamFile, CStrings) {
  TempDir dir;
  WriteFile(dir / "long", std::string("abcdefghij\0", 11));
  WriteFile(dir / "empty", "");
  WriteFile(dir / "unterminated", "ab");
  char text[8];
  StreamPtr longer = Input(dir / "long");
  EXPECT_EQ(aStream_ReadCString(longer.get(), text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "abcdefg");
  EXPECT_EQ(aStream_ReadCString(longer.get(), text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "hij");
  EXPECT_EQ(aStream_ReadCString(longer.get(), text, sizeof text), aErrEOF);

  EXPECT_EQ(aStream_ReadCString(Input(dir / "empty").get(), text, sizeof text), aErrEOF);
  EXPECT_EQ(aStream_ReadCString(Input(dir / "unterminated").get(), text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "ab");
}

TEST(aStreamFile, OutputAndFlush) {
  TempDir dir;
  std::string content;
  std::mt19937 random(7);
  for (int i = 0; i < 5000; ++i) content.push_back(static_cast<char>(random()));
  WriteFile(dir / "source", content);

  aStream* copy = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput((dir / "copy").c_str(), &copy), aErrNone);
  StreamPtr source = Input(dir / "source");
  EXPECT_EQ(aStream_Flush(source.get(), copy), aErrNone);
  uint8_t out;
  EXPECT_EQ(aStream_Read(copy, &out, 1), aErrMode);  // output only
  EXPECT_EQ(aStream_Destroy(&copy), aErrNone);
  EXPECT_EQ(ReadText(dir / "copy"), content);

  // Single bytes and blocks both land, in order; an existing file is truncated.
  aStream* out2 = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput((dir / "copy").c_str(), &out2), aErrNone);
  ASSERT_EQ(aStream_WriteCString(out2, "hello"), aErrNone);
  ASSERT_EQ(aStream_Write(out2, HexBytes("41").data(), 1), aErrNone);
  EXPECT_EQ(aStream_Destroy(&out2), aErrNone);
  EXPECT_EQ(ReadText(dir / "copy"), std::string("hello\0A", 7));
}

TEST(aStreamFile, CreatorsRefuse) {
  TempDir dir;
  aStream* stream = reinterpret_cast<aStream*>(0x1);
  EXPECT_EQ(aStream_CreateFileInput((dir / "missing").c_str(), &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
  stream = reinterpret_cast<aStream*>(0x1);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateFileInput((dir / "missing").c_str(), nullptr), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput((dir / "no/such/folder").c_str(), &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput(dir.path().c_str(), &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput(nullptr, &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput((dir / "x").c_str(), nullptr), aErrResource);
  EXPECT_EQ(stream, nullptr);
}
