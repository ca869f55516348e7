#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "aDefs.h"
#include "aError.h"

TEST(aError, NamesEqualTheirEnumerators) {
  struct Row {
    aErr code;
    const char* name;
  };
#define ROW(name, text) {name, #name},
  const Row rows[] = {aERR_LIST(ROW)};
#undef ROW
  ASSERT_EQ(sizeof(rows) / sizeof(rows[0]), 35u);
  for (size_t i = 0; i < 35; ++i) {
    EXPECT_EQ(static_cast<size_t>(rows[i].code), i);
    EXPECT_STREQ(aError_GetErrorText(rows[i].code), rows[i].name);
  }
  EXPECT_STREQ(aError_GetErrorText(aErrTimeout), "aErrTimeout");
}

TEST(aError, DescriptionsAndOutOfRangeCodes) {
  EXPECT_STREQ(aError_GetErrorDescription(aErrNone), "Success, no error");
  EXPECT_STREQ(aError_GetErrorDescription(aErrTimeout), "Timeout occurred");
  EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Corvantis command to short");
  EXPECT_STREQ(aError_GetErrorDescription(aErrUnknown), "Unknown error");
  for (int code : {35, 1000, -1}) {
    SCOPED_TRACE(code);
    EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(code)), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(static_cast<aErr>(code)), "Unknown error");
  }
}

TEST(aDefs, ModelNameSet) {
  std::set<std::string> names;
  for (uint32_t model = 0; model <= 40; ++model) {
    SCOPED_TRACE(model);
    const char* name = aDefs_GetModelName(model);
    bool named = model == 4 || model == 5 || (model >= 13 && model <= 27);
    if (!named) {
      EXPECT_STREQ(name, "Unknown");
      continue;
    }
    EXPECT_STRNE(name, "Unknown");
    EXPECT_LE(strlen(name), 12u);
    names.insert(name);
  }
  EXPECT_STREQ(aDefs_GetModelName(0xFFFFFFFFu), "Unknown");
  EXPECT_EQ(names.size(), 17u);  // distinct
  for (const auto& a : names)
    for (const auto& b : names)
      if (a != b) {
        EXPECT_NE(b.rfind(a, 0), 0u) << a << " is a prefix of " << b;
      }
}
