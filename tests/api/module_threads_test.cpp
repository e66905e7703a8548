// A Module under direct control (networking off) against the simulated module over TCP on
// loopback and over a COBS-framed terminal: its identity through the system entity, writes,
// byte values in chunks both ways, the module's error replies, bounded waits, and the module
// information requests.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "support/sim_module_fixture.h"

using namespace Tarnwick::Quillfern;
using qfsim::SimOption;
using qfsim::SimTransport;
using qftest::EntitySim;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr uint8_t kAddress = 0x06;
constexpr uint8_t kModel = 0x11;
constexpr uint32_t kSerial = 0xCAFE0042;
constexpr uint32_t kVersion = 0x2C000005;
constexpr uint32_t kBuild = 0x00012345;

class ModuleTest : public qftest::SimModuleFixture<EntitySim, testing::TestWithParam<SimTransport>> {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(StartSim(qftest::SimModuleWith(kAddress, kModel, kSerial, GetParam())));
    sim->entities->define(0x03, 0, 7, SimOption::u32(kVersion));
    sim->entities->define(0x03, 0, 43, SimOption::u32(kBuild));
    module = std::make_unique<Module>(0x02, 0);  // the address is learned from the module
    ASSERT_EQ(qftest::ConnectDirectly(*module, sim->spec(GetParam())), aErrNone);
    system.init(module.get(), 0);
  }

  std::unique_ptr<Module> module;
  SystemClass system;
};

TEST_P(ModuleTest, ReadsTheModulesIdentity) {
  EXPECT_TRUE(module->isConnected());
  EXPECT_EQ(module->getModuleAddress(), kAddress) << "learned from the module's answer";
  uint32_t serial = 0, version = 0, build = 0, infoBuild = 0;
  uint8_t model = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, kSerial);
  EXPECT_EQ(system.getModel(&model), aErrNone);
  EXPECT_EQ(model, kModel);
  EXPECT_EQ(system.getVersion(&version), aErrNone);
  EXPECT_EQ(version, kVersion);
  EXPECT_EQ(system.getBuild(&build), aErrNone);
  EXPECT_EQ(build, kBuild);
  EXPECT_EQ(module->getBuild(&infoBuild), aErrNone);
  EXPECT_EQ(infoBuild, kBuild);

  const std::string name = "Bench rack";
  sim->entities->define(0x03, 0, 32, SimOption::bytes(Bytes(name.begin(), name.end())));
  uint8_t buffer[64] = {};
  size_t count = 0;
  ASSERT_EQ(system.getName(buffer, sizeof buffer, &count), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), name);
}

TEST_P(ModuleTest, WritesReachTheModule) {
  ASSERT_EQ(system.setLED(0x2A), aErrNone);
  EXPECT_EQ(sim->entities->option(0x03, 0, 4)->value, Bytes{0x2A});
  uint8_t led = 0;
  EXPECT_EQ(system.getLED(&led), aErrNone);
  EXPECT_EQ(led, 0x2A);
  ASSERT_EQ(system.save(), aErrNone);
  EXPECT_EQ(sim->entities->option(0x03, 0, 10)->writes, 1u);
}

TEST_P(ModuleTest, ByteValuesTravelInChunksBothWays) {
  // 200 chunks run the sequence numbers past 127; more than 1000 bytes waits longer per chunk.
  for (size_t length : {size_t{0}, size_t{1}, size_t{24}, size_t{25}, size_t{48}, size_t{200 * 24}}) {
    SCOPED_TRACE(length);
    const Bytes value = qftest::PatternBytes(length);
    ASSERT_EQ(system.setName(value.data(), value.size()), aErrNone);
    EXPECT_EQ(sim->entities->option(0x03, 0, 32)->value, value);
    Bytes back(value.size() + 1);
    size_t count = 99;
    ASSERT_EQ(system.getName(back.data(), back.size(), &count), aErrNone);
    back.resize(count);
    EXPECT_EQ(back, value);
  }
}

TEST_P(ModuleTest, AByteValueLargerThanTheBufferStopsAtTheLastWholeChunk) {
  sim->entities->define(0x03, 0, 32, SimOption::bytes(qftest::PatternBytes(100), true));  // chunks 24, 24, 24, 24, 4
  Bytes buffer(100);
  size_t count = 0;
  EXPECT_EQ(system.getName(buffer.data(), 50, &count), aErrMemory);
  EXPECT_EQ(count, 48u) << "the chunk that did not fit is not taken at all";
  EXPECT_EQ(system.getName(buffer.data(), 100, &count), aErrNone) << "a value that fills the buffer exactly";
  EXPECT_EQ(count, 100u);
  // The first read broke off with two chunks of the old value still on their way: they must
  // not be taken for the next value's.
  const Bytes renamed(96, 0x33);
  ASSERT_EQ(system.getName(buffer.data(), 50, &count), aErrMemory);
  sim->entities->define(0x03, 0, 32, SimOption::bytes(renamed, true));
  ASSERT_EQ(system.getName(buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count)), renamed);

  sim->entities->update(0x03, 0, 32, [](SimOption& o) { o.script = {{0x03, 32, 0x00}}; });
  EXPECT_EQ(system.getName(buffer.data(), buffer.size(), &count), aErrPacket) << "a chunk without its sequence byte";

  uint32_t words[2] = {};
  sim->entities->define(0x03, 0, 31, SimOption::bytes(Bytes(6, 0x01)));
  EXPECT_EQ(system.getInputPowerBehaviorConfig(words, 2, &count), aErrMemory) << "6 bytes are no whole words";
}

TEST_P(ModuleTest, ErrorRepliesGiveTheModulesCode) {
  // Option 12, the input voltage, answered in each way in turn.
  const struct {
    const char* what;
    std::function<void(SimOption&)> answer;
    aErr expected;
  } cases[] = {
      {"the module's own code", [](SimOption& o) { o.error = aErrUnimplemented; }, aErrUnimplemented},
      {"an error reply without a code",
       [](SimOption& o) {
         o.script = {{0x03, 12, 0x80}};
       },
       aErrUnknown},
      {"an error reply with code 0",
       [](SimOption& o) {
         o.script = {{0x03, 12, 0x80, 0x00}};
       },
       aErrUnknown},
      {"a reply without a value",
       [](SimOption& o) {
         o.script = {{0x03, 12, 0x00}};
       },
       aErrSize},
      {"a reply of no value's width",
       [](SimOption& o) {
         o.script = {{0x03, 12, 0x00, 1, 2, 3}};
       },
       aErrSize},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim->entities->define(0x03, 0, 12, SimOption::u32(0x5555));
    sim->entities->update(0x03, 0, 12, c.answer);
    uint32_t value = 0xFEED;
    EXPECT_EQ(system.getInputVoltage(&value), c.expected);
    EXPECT_EQ(value, 0xFEEDu) << "a failed get stores nothing";
  }
  EXPECT_EQ(system.routeToMe(1), aErrInvalidOption) << "this module does not offer option 20";
  EXPECT_EQ(system.setUEI32(9, 1), aErrPermission) << "the serial number is read-only";
  SystemClass absent;
  absent.init(module.get(), 3);
  uint8_t offset = 0;
  EXPECT_EQ(absent.getModuleSoftwareOffset(&offset), aErrInvalidEntity);
  uint32_t serial = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrNone) << "the link carries on after errors";
}

TEST_P(ModuleTest, WaitsForAModuleThatStoppedAnsweringAreBounded) {
  qfsim::SimFaults faults;
  faults.silent = true;
  sim->module.setFaults(faults);
  uint32_t serial = 0;
  auto start = Clock::now();
  EXPECT_EQ(system.getSerialNumber(&serial), aErrTimeout);
  EXPECT_GE(qftest::MillisecondsSince(start), milliseconds(900));
  EXPECT_LT(qftest::MillisecondsSince(start), milliseconds(2500));
  uint8_t buffer[32];
  size_t count = 0;
  start = Clock::now();
  EXPECT_EQ(system.getName(buffer, sizeof buffer, &count), aErrTimeout);
  EXPECT_LT(qftest::MillisecondsSince(start), milliseconds(2500));
  start = Clock::now();
  EXPECT_EQ(system.reset(), aErrTimeout);
  EXPECT_LT(qftest::MillisecondsSince(start), milliseconds(2500));
}

TEST_P(ModuleTest, AnswersTheInformationRequests) {
  for (uint8_t option : {uint8_t{1}, uint8_t{2}, uint8_t{3}}) sim->entities->define(0x30, 1, option, SimOption::u8(0));
  sim->entities->setGroup(0x30, 1, 5);
  EXPECT_EQ(module->hasUEI(0x03, 4, 0, UEI_SET), aErrNone);
  EXPECT_EQ(module->hasUEI(0x03, 9, 0, UEI_SET), aErrPermission) << "the serial number is read-only";
  EXPECT_EQ(module->hasUEI(0x03, 63, 0, 0), aErrInvalidOption);
  uint8_t n = 0xFF;
  EXPECT_EQ(module->classQuantity(0x30, &n), aErrNone);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(module->subClassQuantity(0x30, 1, &n), aErrNone);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(module->entityGroup(0x30, 1, &n), aErrNone);
  EXPECT_EQ(n, 5);
  const uint8_t echo[3] = {0x10, 0x20, 0x30};
  EXPECT_EQ(module->debug(echo, sizeof echo), aErrNone);
  EXPECT_EQ(Received(0x17), (std::vector<Bytes>{{0x17, 0x10, 0x20, 0x30}}));

  const uint8_t full[28] = {};
  const size_t before = sim->module.record().packets.size();
  EXPECT_EQ(module->hasUEI(0x03, 4, 0, UEI_GET | UEI_SET), aErrParam);
  EXPECT_EQ(module->hasUEI(0x03, 4, 0, 0x01), aErrParam);
  EXPECT_EQ(module->debug(full, sizeof full), aErrParam);
  EXPECT_EQ(sim->module.record().packets.size(), before) << "refused requests send nothing";
}

INSTANTIATE_TEST_SUITE_P(Transports, ModuleTest, testing::Values(SimTransport::tcp, SimTransport::serial),
                         qftest::TransportName);

}  // namespace
