// The logger thread writing a real file through its callback, and the controls called from
// inside that callback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "common/aFile.h"
#include "common/aLogger.h"
#include "common/aTime.h"
#include "support/eventually.h"
#include "support/temp_folder.h"

namespace {

using namespace std::chrono_literals;
using qftest::ReadWholeFile;
using qftest::TempFolder;
using qftest::WriteWholeFile;

// What the callback sees of the test: it gets only the file and the id.
struct CallbackState {
  std::atomic<aLogger*> logger{nullptr};
  std::atomic<int> calls{0};
  std::atomic<bool> tryControls{false};
  std::atomic<aErr> disableResult{aErrUnknown};
  std::atomic<aErr> destroyResult{aErrUnknown};
};
CallbackState gState;

void WriteLine(void* file, uint32_t id) {
  aFile_Printf(static_cast<aFile*>(file), "call %d of %u\n", gState.calls.load(), id);
  if (gState.tryControls.exchange(false)) {
    aLogger* self = gState.logger.load();
    gState.disableResult = aLogger_Disable(self);
    gState.destroyResult = aLogger_Destroy(&self);
  }
  ++gState.calls;
  aTime_MSSleep(1);  // a callback waits by itself when it has nothing to do
}

bool AwaitCalls(int calls, std::chrono::milliseconds timeout = 5s) {
  return qftest::Eventually([calls] { return gState.calls >= calls; }, timeout);
}

class LoggerTest : public testing::Test {
 protected:
  void SetUp() override {
    gState.calls = 0;
    logger = aLogger_Create(7, WriteLine, path.c_str());
    ASSERT_NE(logger, nullptr);
    gState.logger = logger;
  }
  void TearDown() override { EXPECT_EQ(aLogger_Destroy(&logger), aErrNone); }

  TempFolder folder;
  std::string path = folder.join("traffic.log");
  aLogger* logger = nullptr;
};

TEST_F(LoggerTest, ThreadAppendsToTheFileUntilDisabled) {
  WriteWholeFile(path, "earlier\n");
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  EXPECT_EQ(aLogger_Enable(logger), aErrNone);  // already running: one thread still
  ASSERT_TRUE(AwaitCalls(3));
  ASSERT_EQ(aLogger_Disable(logger), aErrNone);
  const int calls = gState.calls;
  const std::string content = ReadWholeFile(path);  // unbuffered: everything is there
  EXPECT_EQ(content.rfind("earlier\ncall 0 of 7\ncall 1 of 7\n", 0), 0u) << content;
  EXPECT_EQ(static_cast<int>(std::count(content.begin(), content.end(), '\n')), calls + 1);
  EXPECT_FALSE(AwaitCalls(calls + 1, 50ms)) << "the callback ran after the logger was disabled";
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);  // and once more
  EXPECT_TRUE(AwaitCalls(calls + 2));
}

TEST_F(LoggerTest, ControlsFromItsOwnCallbackLeaveItRunning) {
  gState.disableResult = aErrUnknown;
  gState.destroyResult = aErrUnknown;
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  gState.tryControls = true;
  // The callback stores the destroy's answer last: once it is there, both are.
  ASSERT_TRUE(qftest::Eventually([] { return gState.destroyResult != aErrUnknown; }, 5s))
      << "the callback never tried the controls";
  EXPECT_EQ(gState.disableResult, aErrNone);
  EXPECT_EQ(gState.destroyResult, aErrBusy);
  const int calls = gState.calls;
  EXPECT_TRUE(AwaitCalls(calls + 3)) << "the logger stopped";
}

TEST(LoggerCreateTest, RefusesWhatCannotWork) {
  TempFolder folder;
  EXPECT_EQ(aLogger_Create(1, WriteLine, folder.join("missing/traffic.log").c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(1, nullptr, folder.join("traffic.log").c_str()), nullptr);
  EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
  EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
  aLogger* none = nullptr;
  EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
}

}  // namespace
