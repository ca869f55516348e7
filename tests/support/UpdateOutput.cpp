#include "UpdateOutput.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> OutputAfterVersion(const std::string& out, bool timed) {
  std::vector<std::string> lines = SplitLines(out);
  EXPECT_FALSE(lines.empty());
  if (lines.empty()) return lines;
  EXPECT_EQ(lines[0].rfind("Updater (Version: ", 0), 0u) << lines[0];
  lines.erase(lines.begin());
  if (timed) {
    static const std::regex time(R"(^Update time: [0-9]+\.[0-9]{4} sec$)");
    EXPECT_TRUE(!lines.empty() && std::regex_match(lines.back(), time)) << out;
    if (!lines.empty()) lines.pop_back();
  }
  return lines;
}

std::vector<std::string> UpdateTransferLines() {
  return {"Transferring loader to device",
          "Transferring loader block 1 of 1, 2052 bytes",
          "Transferred 1 blocks, 2052 total bytes",
          "Starting Load on Device",
          "Transferring firmware block 1 of 2, 131076 bytes",
          "Transferring firmware block 2 of 2, 131076 bytes",
          "Transferred 2 blocks, 262152 total bytes"};
}

bool IsTimeStamp(const std::string& text) {
  static const std::regex stamp(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4})");
  return std::regex_match(text, stamp);
}

std::string SettingsValue(const std::string& settings, const std::string& key) {
  for (const std::string& line : SplitLines(settings))
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "<none>";
}
