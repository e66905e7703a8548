// The main of every test program. A test that cannot run on this host (no network namespace,
// no umockdev preload, no peer tool) skips, and ctest counts a skip as anything but a failure.
// Where QF_FAIL_SKIPS is set to a value other than "0" (CI sets it), every skip fails instead: a
// check that did not run must not pass unseen. Elsewhere a skip stays a skip, named in the
// test's output and in ctest's summary.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

bool SkipsFail() {
  const char* value = std::getenv("QF_FAIL_SKIPS");
  return value != nullptr && *value != '\0' && std::string(value) != "0";
}

// The reason the test gave for its skip.
std::string SkipReason(const testing::TestResult& result) {
  for (int i = 0; i < result.total_part_count(); ++i) {
    const testing::TestPartResult& part = result.GetTestPartResult(i);
    if (part.skipped()) return part.message();
  }
  return "";
}

// Turns a skip into a failure of the same test. Its OnTestEnd runs before the printer's (end
// events go to the listeners in reverse order), so the test is reported as failed, and a
// failure may be added there: the test is still the current one.
class SkipsFailListener : public testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo& info) override {
    const testing::TestResult& result = *info.result();
    if (!result.Skipped()) return;
    ADD_FAILURE() << "skipped (" << SkipReason(result) << "), and QF_FAIL_SKIPS is set: here every test must run";
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (SkipsFail()) testing::UnitTest::GetInstance()->listeners().Append(new SkipsFailListener);
  return RUN_ALL_TESTS();
}
