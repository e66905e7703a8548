#include <gtest/gtest.h>

#include <string>

#include "common/aMutex.h"

namespace {

TEST(Mutex, NamesUpToTheLimit) {
  const std::string longest(aMUTEX_MAX_NAME, 'n');
  const struct {
    const char* name;
    const char* identifier;  // null: creation is refused
  } cases[] = {
      {"registry", "registry"},
      {nullptr, ""},
      {"", ""},
      {longest.c_str(), longest.c_str()},
  };
  for (const auto& c : cases) {
    aMutex* mutex = aMutex_Create(c.name);
    ASSERT_NE(mutex, nullptr) << c.identifier;
    EXPECT_STREQ(aMutex_Identifier(mutex), c.identifier);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
    EXPECT_EQ(mutex, nullptr);
  }
  EXPECT_EQ(aMutex_Create((longest + "n").c_str()), nullptr);
}

TEST(Mutex, LockedMutexIsBusyUntilUnlocked) {
  aMutex* mutex = aMutex_Create("m");
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
  EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);
  ASSERT_EQ(aMutex_Unlock(mutex), aErrNone);
  ASSERT_EQ(aMutex_TryLock(mutex), aErrNone);
  // Destroying it while held is reported, and the handle is gone all the same.
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);
  EXPECT_EQ(mutex, nullptr);
}

TEST(Mutex, NullMutexIsRefused) {
  aMutex* none = nullptr;
  EXPECT_EQ(aMutex_Lock(none), aErrParam);
  EXPECT_EQ(aMutex_TryLock(none), aErrParam);
  EXPECT_EQ(aMutex_Unlock(none), aErrParam);
  EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
  EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
  EXPECT_STREQ(aMutex_Identifier(none), "");
}

}  // namespace
