// The process-wide beacon interface setting and its lock.
#include <czmq.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "Eventually.h"
#include "aBeaconInterface.h"

namespace {

// Takes the lock on another thread and keeps it until released; tells when it got it.
class OtherHolder {
 public:
  OtherHolder() : thread_([this] {
    zBeaconInterface_getAndLock();
    holding_ = true;
    while (!release_) aTime_MSSleep(1);
    zBeaconInterface_unlock();
  }) {}
  ~OtherHolder() {
    release_ = true;
    thread_.join();
  }
  bool holding() const { return holding_; }

 private:
  std::atomic<bool> holding_{false};
  std::atomic<bool> release_{false};
  std::thread thread_;
};

}  // namespace

TEST(BeaconInterface, AcceptedTextsHoldTheLockAndChangeTheSetting) {
  zsys_set_interface("");
  struct Row {
    const char* text;
    bool accepted;
  };
  const Row rows[] = {{"eth0", false}, {"192.0.2", false}, {nullptr, false},
                      {"", true},      {"*", true},        {"192.0.2.5", true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text != nullptr ? row.text : "NULL");
    zsys_set_interface("before");
    EXPECT_EQ(zBeaconInterface_setAndLock(row.text), row.accepted);
    EXPECT_STREQ(zBeaconInterface_get(), row.accepted ? row.text : "before");
    {
      OtherHolder other;
      // Free: the other thread gets it; held: not while we keep it, only after the unlock.
      if (row.accepted) {
        EXPECT_FALSE(Eventually([&] { return other.holding(); }, 300));
        zBeaconInterface_unlock();
      }
      EXPECT_TRUE(Eventually([&] { return other.holding(); }, 5000));
    }
    EXPECT_FALSE(zBeaconInterface_backupSetAndLock(row.accepted ? "eth0" : row.text));
  }
}

TEST(BeaconInterface, ASecondSetterWaitsForTheUnlock) {
  ASSERT_TRUE(zBeaconInterface_setAndLock("192.0.2.1"));
  std::atomic<bool> set{false};
  std::thread second([&] {
    EXPECT_TRUE(zBeaconInterface_setAndLock("192.0.2.2"));
    set = true;
    zBeaconInterface_unlock();
  });
  aTime_MSSleep(200);
  EXPECT_FALSE(set.load());
  EXPECT_STREQ(zBeaconInterface_get(), "192.0.2.1");
  zBeaconInterface_unlock();
  second.join();
  EXPECT_TRUE(set.load());
  EXPECT_STREQ(zBeaconInterface_get(), "192.0.2.2");
}

TEST(BeaconInterface, BackupAndRestoreKeepASettingOfAnyLength) {
  const std::string longSetting(300, 'x');
  zsys_set_interface(longSetting.c_str());
  ASSERT_TRUE(zBeaconInterface_backupSetAndLock("192.0.2.5"));
  EXPECT_STREQ(zBeaconInterface_get(), "192.0.2.5");
  EXPECT_EQ(std::string(zBeaconInterface_getBackup()), longSetting);
  zBeaconInterface_restoreAndUnlock();
  EXPECT_EQ(std::string(zBeaconInterface_get()), longSetting);
  // The getters that lock leave it held for the caller.
  EXPECT_EQ(std::string(zBeaconInterface_getBackupAndLock()), longSetting);
  {
    OtherHolder other;
    EXPECT_FALSE(Eventually([&] { return other.holding(); }, 200));
    zBeaconInterface_unlock();
    EXPECT_TRUE(Eventually([&] { return other.holding(); }, 5000));
  }
  zsys_set_interface("");
}
