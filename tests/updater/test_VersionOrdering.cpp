#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Log.h"
#include "LogCapture.h"
#include "UpdateServerRequest.h"

namespace {

using Entries = std::vector<UpdateServerRequest::BuildEntry>;

std::vector<std::string> Keys(const Entries& entries) {
  std::vector<std::string> keys;
  for (const auto& e : entries) keys.push_back(e.first);
  return keys;
}

}  // namespace

TEST(VersionOrdering, Split) {
  using Parts = std::vector<std::string>;
  EXPECT_EQ(UpdateServerRequest::SplitCorvantisVersion("2.12.5"), (Parts{"2", "12", "5"}));
  EXPECT_EQ(UpdateServerRequest::SplitCorvantisVersion("1..2"), (Parts{"1", "", "2"}));
  EXPECT_EQ(UpdateServerRequest::SplitCorvantisVersion(".."), (Parts{"", "", ""}));
  EXPECT_TRUE(UpdateServerRequest::SplitCorvantisVersion("2.12").empty());
  EXPECT_TRUE(UpdateServerRequest::SplitCorvantisVersion("2.12.5.1").empty());
  EXPECT_TRUE(UpdateServerRequest::SplitCorvantisVersion("").empty());
}

TEST(VersionOrdering, NewestFirstNumerically) {
  Entries sorted = UpdateServerRequest::SortBuildsByVersion({{"100", "2.9.0"}, {"101", "2.10.1"}, {"102", "2.10.0"}});
  EXPECT_EQ(Keys(sorted), (std::vector<std::string>{"101", "102", "100"}));
  EXPECT_EQ(sorted[0].second, "2.10.1");
}

TEST(VersionOrdering, EightBitCutAndLeadingDigits) {
  // 300 compares as 44; "12abc" reads as 12.
  Entries sorted = UpdateServerRequest::SortBuildsByVersion(
      {{"a", "2.12.300"}, {"b", "2.12.45"}, {"c", "2.12.43"}, {"d", "2.12abc.50"}});
  EXPECT_EQ(Keys(sorted), (std::vector<std::string>{"d", "b", "a", "c"}));
}

TEST(VersionOrdering, UnreadableVersionsLastInKeyOrder) {
  LogCapture capture(DEBUG_ServerComm);
  Entries sorted = UpdateServerRequest::SortBuildsByVersion({{"1", "2.1"},
                                                             {"2", "3.0.0"},
                                                             {"3", "x.y.z"},
                                                             {"4", "1.0.0"},
                                                             {"5", ""},
                                                             {"6", "3.0.0"},
                                                             {"7", "1..2"}});
  EXPECT_EQ(Keys(sorted), (std::vector<std::string>{"2", "6", "4", "1", "3", "5", "7"}));
  EXPECT_NE(capture.text().find("_sortVersion: Exception converting version: "), std::string::npos);
}

TEST(VersionOrdering, ManyMixedEntriesStayWellOrdered) {
  // Before the mend, mixing readable and unreadable versions broke the sort's ordering rules.
  UpdateServerRequest::BuildList builds;
  for (int i = 0; i < 600; ++i) {
    std::string version;
    switch (i % 5) {
      case 0: version = std::to_string(i % 7) + "." + std::to_string(i % 13) + "." + std::to_string(i % 300); break;
      case 1: version = "bad" + std::to_string(i); break;
      case 2: version = std::to_string(i % 3) + ".x.1"; break;
      case 3: version = "2." + std::to_string(i % 11) + ".0"; break;
      default: version = std::to_string(i % 4) + "." + std::to_string(i % 4); break;
    }
    builds[std::to_string(100000 + i)] = version;
  }
  Entries sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  ASSERT_EQ(sorted.size(), builds.size());
  auto readable = [](const std::string& v) {
    auto parts = UpdateServerRequest::SplitCorvantisVersion(v);
    if (parts.size() != 3) return false;
    for (const auto& p : parts)
      if (p.empty() || !isdigit(static_cast<unsigned char>(p[0]))) return false;
    return true;
  };
  auto triple = [](const std::string& v) {
    auto parts = UpdateServerRequest::SplitCorvantisVersion(v);
    return std::make_tuple(std::stoi(parts[0]) & 0xFF, std::stoi(parts[1]) & 0xFF, std::stoi(parts[2]) & 0xFF);
  };
  size_t firstUnreadable = 0;
  while (firstUnreadable < sorted.size() && readable(sorted[firstUnreadable].second)) ++firstUnreadable;
  for (size_t i = firstUnreadable; i < sorted.size(); ++i) {
    EXPECT_FALSE(readable(sorted[i].second)) << sorted[i].second;
    if (i > firstUnreadable) {
      EXPECT_LT(sorted[i - 1].first, sorted[i].first);
    }
  }
  for (size_t i = 1; i < firstUnreadable; ++i) {
    auto a = triple(sorted[i - 1].second), b = triple(sorted[i].second);
    EXPECT_GE(a, b);
    if (a == b) {
      EXPECT_LT(sorted[i - 1].first, sorted[i].first);
    }
  }
}
