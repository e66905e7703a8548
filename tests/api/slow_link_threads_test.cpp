// A byte value of 64 KiB set through a slow link (a TCP path of 20 KB/s, a serial line at 115200
// baud): the module acknowledges it once it has the last packet, which is long after the object
// layer queued it, and a set of the same option afterwards is answered for itself.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "api/Entity.h"
#include "api/Module.h"
#include "support/sim_module_fixture.h"
#include "support/slow_link.h"

using namespace Tarnwick::Quillfern;
using qfsim::SimOption;

namespace {

constexpr uint8_t kAddress = 0x02;
constexpr uint8_t kClass = 0x30;
constexpr uint8_t kOption = 1;
constexpr size_t kLargest = 65535;

using qftest::SlowLink;

class SlowLinkTest : public qftest::SimModuleFixture<>, public testing::WithParamInterface<SlowLink> {
 protected:
  void SetUp() override {
    const SlowLink& slow = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartSim(qftest::SimModuleWith(kAddress, 0, 0, slow.transport)));
    sim->entities->define(kClass, 0, kOption, SimOption::bytes({}, true));
    qfsim::SimEntities::attach(sim->entities, sim->module);
    linkSpec spec = sim->spec(slow.transport);
    relay = qftest::RelayInFront(*sim, slow, spec);
    ASSERT_TRUE(relay->started());
    module = std::make_unique<Module>(kAddress, false, 0);
    ASSERT_EQ(qftest::ConnectDirectly(*module, spec), aErrNone);
    entity.init(module.get(), kClass, 0);
  }

  std::vector<uint8_t> Stored() const { return sim->entities->option(kClass, 0, kOption)->value; }

  std::unique_ptr<qftest::ThrottledRelay> relay;
  std::unique_ptr<Module> module;
  EntityClass entity;
};

TEST_P(SlowLinkTest, ALargeByteValueIsAcknowledgedOnceItArrived) {
  const std::vector<uint8_t> first = qftest::PatternBytes(kLargest);
  ASSERT_EQ(entity.setUEIBytes(kOption, first.data(), first.size()), aErrNone);
  EXPECT_EQ(Stored(), first);
  EXPECT_GE(relay->bytesToModule(), kLargest) << "it went through the slow link";

  // The next set of the option is acknowledged for itself, not by anything left of the first.
  std::vector<uint8_t> second(2000);
  for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<uint8_t>(first[i] ^ 0xA5);
  ASSERT_EQ(entity.setUEIBytes(kOption, second.data(), second.size()), aErrNone);
  EXPECT_EQ(Stored(), second);
}

INSTANTIATE_TEST_SUITE_P(Links, SlowLinkTest, qftest::SlowLinks(), qftest::SlowLinkName);

}  // namespace
