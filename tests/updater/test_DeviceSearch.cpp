// The search for a device that has restarted or come up, with each workflow's plan: what it
// tries in each try, where it refreshes the USB context, how it pauses and how it ends. The
// connect attempt and the refresh are the search's own seams; pauses go through the sleep seam.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "DeviceSearch.h"
#include "Log.h"
#include "LogCapture.h"
#include "UpgradeRigs.h"

namespace {

constexpr uint32_t kSerial = 0x2181F0EE;
constexpr uint32_t kPlaceholder = 0xDEADDEAD;
const char* const kRefresh = "Failed enumeration after 3 tries, refreshing libusb context.\n";

struct Row {
  const char* name;
  DeviceSearch::Plan plan;
  int foundAtTry;  // 0: never
  uint32_t foundSerial;
  // Expected:
  int tries;
  std::vector<uint32_t> serialsPerTry;  // every try but a finding one tries these
  std::set<int> refreshedBefore;
  std::vector<uint32_t> pauses;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

std::vector<uint32_t> Pauses(int count, uint32_t ms) { return std::vector<uint32_t>(count, ms); }

// What the search did, try by try.
struct Transcript {
  std::vector<std::vector<uint32_t>> serials;  // per try
  std::vector<linkType> types;
  std::set<int> refreshedBefore;
  std::vector<int> pausesAfterTry;  // the try each pause followed
};

class DeviceSearchPlans : public ::testing::TestWithParam<Row> {};

TEST_P(DeviceSearchPlans, TriesPausesAndRefreshesAsPlanned) {
  const Row& row = GetParam();
  Transcript seen;
  int tryNumber = 0;
  SleepRecorder sleeps(false, [&](uint32_t) { seen.pausesAfterTry.push_back(tryNumber); });
  LogCapture log(DEBUG_APP);
  // Every failure but the very last is aErrNotFound: the search must give back the last one.
  auto connect = [&](const DeviceSearch::Attempt& a) {
    if (a.tryNumber != tryNumber) {
      EXPECT_EQ(a.tryNumber, tryNumber + 1);
      tryNumber = a.tryNumber;
      seen.serials.emplace_back();
    }
    EXPECT_EQ(a.tries, row.plan.tries);
    seen.serials.back().push_back(a.serial);
    seen.types.push_back(a.type);
    if (a.tryNumber == row.foundAtTry && a.serial == row.foundSerial) return aErrNone;
    bool last = a.tryNumber == a.tries && a.serial == row.plan.serials.back();
    return last ? aErrTimeout : aErrNotFound;
  };
  auto refresh = [&] { seen.refreshedBefore.insert(tryNumber + 1); };

  DeviceSearch::Result result = DeviceSearch(row.plan, connect, refresh).Run();

  ASSERT_EQ(seen.serials.size(), static_cast<size_t>(row.tries));
  for (int t = 1; t <= row.tries; ++t) {
    SCOPED_TRACE(t);
    std::vector<uint32_t> expected = row.serialsPerTry;
    if (t == row.foundAtTry) {
      while (expected.back() != row.foundSerial) expected.pop_back();
    }
    EXPECT_EQ(seen.serials[t - 1], expected);
  }
  for (linkType type : seen.types) EXPECT_EQ(type, row.plan.type);
  EXPECT_EQ(seen.refreshedBefore, row.refreshedBefore);
  EXPECT_EQ(log.count(kRefresh), row.refreshedBefore.size());
  EXPECT_EQ(sleeps.pauses(), row.pauses);
  for (size_t i = 0; i < seen.pausesAfterTry.size(); ++i) EXPECT_EQ(seen.pausesAfterTry[i], static_cast<int>(i) + 1);
  EXPECT_EQ(result.tries, row.tries);
  if (row.foundAtTry != 0) {
    EXPECT_EQ(result.end, DeviceSearch::End::kFound);
    EXPECT_EQ(result.error, aErrNone);
    EXPECT_EQ(result.serial, row.foundSerial);
  } else {
    EXPECT_EQ(result.end, DeviceSearch::End::kTriesRanOut);
    EXPECT_EQ(result.error, aErrTimeout);
  }
}

const std::vector<uint32_t> kOwn{kSerial};
const std::vector<uint32_t> kLinksOwn{DeviceSearch::kOwnDevice};
const std::vector<uint32_t> kBoth{kPlaceholder, kSerial};
const std::vector<uint32_t> kPlaceholderOnly{kPlaceholder};

INSTANTIATE_TEST_SUITE_P(
    Workflows, DeviceSearchPlans,
    ::testing::Values(
        Row{"UpdateOverUsbNeverBack", DeviceSearch::UpdateLoader(USB, kSerial), 0, 0, 15, kOwn, {3, 6, 9, 12, 15},
            Pauses(14, 1000)},
        Row{"UpdateOverUsbBackAtTheSixthTry", DeviceSearch::UpdateLoader(USB, kSerial), 6, kSerial, 6, kOwn, {3, 6},
            Pauses(5, 1000)},
        Row{"UpdateOverTcpipNeverBack", DeviceSearch::UpdateLoader(TCPIP, kSerial), 0, 0, 15, kOwn, {},
            Pauses(14, 1000)},
        Row{"FingerprintBackUnderItsSerialAtTheFourthTry", DeviceSearch::RecoveryLoader(kSerial, true), 4, kSerial, 4,
            kBoth, {3}, Pauses(3, 1000)},
        Row{"FingerprintUnderThePlaceholderNeverBack", DeviceSearch::RecoveryLoader(kPlaceholder, true), 0, 0, 15,
            kPlaceholderOnly, {3, 6, 9, 12, 15}, Pauses(14, 1000)},
        Row{"RecoveryNeverBack", DeviceSearch::RecoveryLoader(kSerial, false), 0, 0, 15, kBoth, {}, Pauses(14, 1000)},
        Row{"RecoveryUnderThePlaceholderAtOnce", DeviceSearch::RecoveryLoader(kSerial, false), 1, kPlaceholder, 1,
            kBoth, {}, {}},
        Row{"ReconnectOwnNeverBack", DeviceSearch::ReconnectOwn(500), 0, 0, 5, kLinksOwn, {}, Pauses(5, 500)},
        Row{"ReconnectOwnBackAtTheThirdTry", DeviceSearch::ReconnectOwn(500), 3, DeviceSearch::kOwnDevice, 3, kLinksOwn,
            {}, Pauses(2, 500)},
        Row{"ReconnectPlaceholderNeverBack", DeviceSearch::ReconnectPlaceholder(500), 0, 0, 5, kPlaceholderOnly, {},
            Pauses(5, 500)},
        Row{"ReconnectPlaceholderBackAtTheSecondTry", DeviceSearch::ReconnectPlaceholder(500), 2, kPlaceholder, 2,
            kPlaceholderOnly, {}, Pauses(1, 500)}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
