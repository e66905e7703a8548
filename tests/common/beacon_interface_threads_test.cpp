// The beacon interface lock: which texts are accepted, what is set and saved, and when the lock
// is held (seen from another thread). Nothing here starts a beacon.
#include <gtest/gtest.h>

#include <czmq.h>

#include <chrono>
#include <future>
#include <string>

#include "common/zBeaconInterface.h"

namespace {

using std::chrono::milliseconds;

// Another thread that takes the lock and releases it at once. Its destructor waits for that
// thread, so a test that sees the lock held releases it before the probe goes.
class LockProbe {
 public:
  LockProbe()
      : _taken(std::async(std::launch::async, [] {
          zBeaconInterface_getAndLock();
          zBeaconInterface_unlock();
        })) {}
  bool gotItWithin(milliseconds time) { return _taken.wait_for(time) == std::future_status::ready; }

 private:
  std::future<void> _taken;
};

bool _lockIsFree() { return LockProbe().gotItWithin(milliseconds(1000)); }

// Expects this thread to hold the lock, releases it, and expects a waiting thread to get it.
void _expectHeldThenUnlock(const std::string& label) {
  LockProbe probe;
  EXPECT_FALSE(probe.gotItWithin(milliseconds(200))) << label << ": the lock should be held";
  zBeaconInterface_unlock();
  EXPECT_TRUE(probe.gotItWithin(milliseconds(2000))) << label << ": a waiting thread gets it once released";
}

}  // namespace

TEST(BeaconInterface, AcceptsAddressesEmptyAndStarOnly) {
  struct Case {
    const char* text;
    bool accepted;
  };
  const Case cases[] = {
      {"10.1.2.3", true}, {"", true},        {"*", true},          {"255.255.255.255", true},
      {"eth0", false},    {"10.1.2", false}, {"10.1.2.3 ", false}, {"256.1.1.1", false},
      {"::1", false},     {"**", false},     {nullptr, false},
  };
  for (const Case& c : cases) {
    const std::string label = c.text ? std::string("\"") + c.text + "\"" : "null";
    zsys_set_interface("before");
    const int result = zBeaconInterface_setAndLock(c.text);
    EXPECT_EQ(result, c.accepted ? 1 : 0) << label;
    if (result == 1) {
      EXPECT_STREQ(zBeaconInterface_get(), c.text) << label;
      _expectHeldThenUnlock(label);
    } else {
      EXPECT_STREQ(zBeaconInterface_get(), "before") << label << " must set nothing";
      EXPECT_TRUE(_lockIsFree()) << label << " must take no lock";
    }
  }
}

TEST(BeaconInterface, BackupSetAndRestoreRoundTrip) {
  zsys_set_interface("10.0.0.1");
  ASSERT_EQ(zBeaconInterface_backupSetAndLock("*"), 1);
  EXPECT_STREQ(zBeaconInterface_get(), "*");
  EXPECT_STREQ(zBeaconInterface_getBackup(), "10.0.0.1");
  zBeaconInterface_restoreAndUnlock();
  EXPECT_STREQ(zBeaconInterface_get(), "10.0.0.1");
  EXPECT_TRUE(_lockIsFree());

  EXPECT_EQ(zBeaconInterface_backupSetAndLock("eth0"), 0);
  EXPECT_STREQ(zBeaconInterface_getBackup(), "10.0.0.1") << "a refused text saves nothing";
  EXPECT_STREQ(zBeaconInterface_get(), "10.0.0.1");
  EXPECT_TRUE(_lockIsFree());
}

TEST(BeaconInterface, GettersThatLockHoldTheLockUntilUnlocked) {
  zsys_set_interface("10.0.0.2");
  EXPECT_STREQ(zBeaconInterface_getAndLock(), "10.0.0.2");
  _expectHeldThenUnlock("getAndLock");
  const char* backup = zBeaconInterface_getBackupAndLock();
  EXPECT_EQ(backup, zBeaconInterface_getBackup());
  _expectHeldThenUnlock("getBackupAndLock");
}
