#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"

namespace {

class LogTest : public testing::Test {
 protected:
  qftest::LogCapture log{0};
  std::string written() { return log.text(); }
};

struct Gate {
  uint32_t active;
  uint32_t package;
  bool written;
};

TEST_F(LogTest, WritesOnlyPackagesThatAreActive) {
  const Gate gates[] = {
      {0x10, 0x100, false}, {0x110, 0x100, true},           {0, 0, true}, {0xFFFFFFFF, 0, true}, {0x1, 0x101, true},
      {0x8, 0x4, false},    {0x10000000, 0x10000000, true},
  };
  for (const Gate& gate : gates) {
    Log::DeactivatePackage(0xFFFFFFFFu);
    Log::ActivatePackage(gate.active);
    std::string before = written();
    Log::log(gate.package, "line %u\n", gate.package);
    std::string line = written().substr(before.size());
    EXPECT_EQ(line, gate.written ? "line " + std::to_string(gate.package) + "\n" : "")
        << "active " << gate.active << " package " << gate.package;
  }
}

TEST_F(LogTest, DeactivatingOneBitLeavesTheOthers) {
  Log::ActivatePackage(0x8 | 0x4);
  Log::DeactivatePackage(0x8);
  Log::log(0x8, "bird\n");
  Log::log(0x4, "attributes\n");
  EXPECT_EQ(written(), "attributes\n");
}

TEST_F(LogTest, AddsNothingAndCutsAt2047Characters) {
  std::string longText(3000, 'y');
  Log::log(0, "%s", longText.c_str());
  Log::log(0, "no newline");
  EXPECT_EQ(written(), std::string(2047, 'y') + "no newline");
}

TEST_F(LogTest, NullStreamDropsLines) {
  Log::SetOutput(nullptr);
  Log::log(0, "dropped\n");
  Log::SetOutput(log.file());
  Log::log(0, "kept\n");
  EXPECT_EQ(written(), "kept\n");
}

}  // namespace
