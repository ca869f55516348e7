#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "aVersion.h"

TEST(aVersion, ParsesBothLayouts) {
  struct Row {
    aVersionPacked packed;
    bool legacy;
    int major, minor;
    uint32_t patch;
    const char* text;
  };
  const Row rows[] = {
      {0x2F020F00, false, 2, 15, 0, "2.15.0"},
      {0x2E0A1234, true, 2, 14, 0x0A1234, "2.14.660020"},
      {0x1F000001, true, 1, 15, 1, "1.15.1"},
      {0x30000000, false, 0, 0, 0, "0.0.0"},
      {0x2C000005, true, 2, 12, 5, "2.12.5"},
      {0xFF0A0B0C, false, 10, 11, 12, "10.11.12"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(aVersion_IsLegacyFormat(r.packed), r.legacy);
    EXPECT_EQ(aVersion_ParseMajor(r.packed), r.major);
    EXPECT_EQ(aVersion_ParseMinor(r.packed), r.minor);
    EXPECT_EQ(aVersion_ParsePatch(r.packed), r.patch);
    char buffer[32];
    aVersion_ParseString(r.packed, buffer, sizeof(buffer));
    EXPECT_STREQ(buffer, r.text);
  }
  char small[4];
  aVersion_ParseString(0x2F020F00, small, sizeof(small));
  EXPECT_STREQ(small, "2.1");  // cut like snprintf, always terminated
}

TEST(aVersion, PackVectors) {
  EXPECT_EQ(aVersion_Pack(2, 15, 0), 0x2F020F00u);
  EXPECT_EQ(aVersion_Pack(2, 14, 3), 0x2E000003u);
  EXPECT_EQ(aVersion_Pack(3, 0, 0), 0x2F030000u);
  EXPECT_EQ(aVersion_Pack(1, 20, 5), 0x14000005u);  // the minor keeps its low four bits
}

TEST(aVersion, PackParseRoundTripOverEveryMajorAndMinor) {
  for (int major = 0; major <= 255; ++major) {
    for (int minor = 0; minor <= 255; ++minor) {
      bool representable = major > 2 || (major == 2 && minor >= 15) || minor < 16;
      if (!representable) continue;
      for (int patch : {0, 1, 200, 255}) {
        aVersionPacked v = aVersion_Pack(major, minor, patch);
        ASSERT_EQ(aVersion_ParseMajor(v), major) << major << "." << minor << "." << patch;
        ASSERT_EQ(aVersion_ParseMinor(v), minor) << major << "." << minor << "." << patch;
        ASSERT_EQ(aVersion_ParsePatch(v), static_cast<uint32_t>(patch)) << major << "." << minor;
      }
    }
  }
}

TEST(aVersion, Comparisons) {
  EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 10, 4, 2, 10, 4));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 9, 200, 2, 10, 0));
  EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 10, 3, 2, 10, 4));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 5));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 99));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 6));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 13, 0));
}

TEST(aVersion, OwnVersionAndText) {
  EXPECT_EQ(aVersion_GetMajor(), 2);
  EXPECT_EQ(aVersion_GetMinor(), 12);
  EXPECT_EQ(aVersion_GetPatch(), 5u);
  // First calls from several threads at once all see the same finished text.
  std::vector<std::thread> threads;
  std::vector<const char*> seen(8, nullptr);
  for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = aVersion_GetString(); });
  for (auto& t : threads) t.join();
  for (const char* s : seen) {
    EXPECT_EQ(s, seen[0]);
    EXPECT_STREQ(s, "2.12.5");
  }
}

TEST(aVersion, Features) {
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature(""));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));
  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
  aVersion_DestroyFeatureList(&list);  // a second release is harmless
  aVersion_DestroyFeatureList(nullptr);
}
