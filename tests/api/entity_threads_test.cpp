// Entity requests on the wire, as the simulated module receives them over TCP: the exact
// request bytes of each kind of operation, unsolicited values, drains, and the I2C bus.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "api/Entity.h"
#include "api/I2CClass.h"
#include "api/Module.h"
#include "api/SystemClass.h"
#include "support/sim_module_fixture.h"

using namespace Tarnwick::Quillfern;
using qfsim::SimContext;
using qfsim::SimOption;
using qfsim::SimPacket;
using qfsim::SimTransport;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint8_t kAddress = 0x02;

// [prefix][bytes from..to][suffix]
Bytes Frame(Bytes prefix, const Bytes& bytes, size_t from, size_t to, Bytes suffix) {
  prefix.insert(prefix.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from),
                bytes.begin() + static_cast<std::ptrdiff_t>(to));
  prefix.insert(prefix.end(), suffix.begin(), suffix.end());
  return prefix;
}

class EntityTest : public qftest::SimModuleFixture<> {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(StartSim(qftest::SimModuleWith(kAddress)));
    module = std::make_unique<Module>(kAddress, false, 0);
    ASSERT_EQ(qftest::ConnectDirectly(*module, sim->spec(SimTransport::tcp)), aErrNone);
    system.init(module.get(), 0);
  }

  // Runs the operation and returns what the module received meanwhile (force-route and
  // synchronisation aside).
  std::vector<Bytes> Sent(const std::function<void()>& operation) {
    sim->module.clearRecord();
    operation();
    std::vector<Bytes> sent;
    for (const SimPacket& packet : sim->module.record().packets)
      if (packet.address == kAddress) sent.push_back(packet.data);
    return sent;
  }

  std::unique_ptr<Module> module;
  SystemClass system;
};

TEST_F(EntityTest, EachOperationSendsItsRequest) {
  sim->entities->define(0x03, 1, 9, SimOption::u32(0, true));
  sim->entities->define(0x03, 0, 39, SimOption::u32(0, true));
  sim->entities->update(0x03, 0, 39, [](SimOption& o) { o.subvalues[2] = {0, 0, 0x12, 0x34}; });
  sim->entities->define(0x03, 0, 32, SimOption::bytes({}, true));
  SystemClass second;
  second.init(module.get(), 1);
  SystemClass third;
  third.init(module.get(), 2);
  const Bytes value = qftest::PatternBytes(48);
  uint8_t byte = 0;
  uint32_t word = 0;

  const struct {
    const char* what;
    std::function<aErr()> operation;
    std::vector<Bytes> request;
    aErr expected;
  } cases[] = {
      {"8-bit get", [&] { return system.getModule(&byte); }, {{0x03, 0x41, 0x20}}, aErrNone},
      {"32-bit get", [&] { return system.getSerialNumber(&word); }, {{0x03, 0x49, 0x20}}, aErrNone},
      {"32-bit set on index 1",
       [&] { return second.setUEI32(9, 0x10); },
       {{0x03, 0x89, 0x21, 0x00, 0x00, 0x00, 0x10}},
       aErrNone},
      {"8-bit set", [&] { return system.routeToMe(1); }, {{0x03, 0x94, 0x20, 0x01}}, aErrInvalidOption},
      {"call", [&] { return system.reset(); }, {{0x03, 0x8B, 0x20}}, aErrNone},
      {"subindexed get", [&] { return system.getUEI32(39, 2, &word); }, {{0x03, 0x67, 0x20, 0x02}}, aErrNone},
      {"subindexed set",
       [&] { return system.setUEI16(39, 5, 0xABCD); },
       {{0x03, 0xA7, 0x20, 0x05, 0xAB, 0xCD}},
       aErrSize},
      {"empty byte value", [&] { return system.setName(value.data(), 0); }, {{0x03, 0xA0, 0x20, 0x00}}, aErrNone},
      {"25 bytes",
       [&] { return system.setName(value.data(), 25); },
       {Frame({0x03, 0xA0, 0x20}, value, 0, 24, {0x80}), Frame({0x03, 0xA0, 0x20}, value, 24, 25, {0x01})},
       aErrNone},
      {"48 bytes",
       [&] { return system.setName(value.data(), 48); },
       {Frame({0x03, 0xA0, 0x20}, value, 0, 24, {0x80}), Frame({0x03, 0xA0, 0x20}, value, 24, 48, {0x01})},
       aErrNone},
      {"saving an entity's settings",
       [&] { return third.saveEntityToStore(); },
       {{0x5C, 0x80, 0x20, 0x00, 0x00, 0x03, 0x02}},
       aErrNone},
      {"loading them",
       [&] { return system.loadEntityFromStore(); },
       {{0x5C, 0x82, 0x20, 0x00, 0x00, 0x03, 0x00}},
       aErrNone},
  };
  for (const auto& c : cases) {
    aErr result = aErrUnknown;
    EXPECT_EQ(Sent([&] { result = c.operation(); }), c.request) << c.what;
    EXPECT_EQ(result, c.expected) << c.what;
  }
  EXPECT_EQ(word, 0x1234u);
  EXPECT_EQ(sim->entities->option(0x03, 1, 9)->number(), 0x10u);
  EXPECT_EQ(sim->entities->option(0x5C, 0, 0)->number(), 0x0302u);
  EXPECT_EQ(sim->entities->option(0x5C, 0, 2)->number(), 0x0300u);
}

TEST_F(EntityTest, RefusedRequestsSendNothing) {
  EntityClass unbound;
  uint8_t byte = 0;
  size_t count = 0;
  uint8_t buffer[4];
  const struct {
    const char* what;
    std::function<aErr()> operation;
    aErr expected;
  } cases[] = {
      {"null value", [&] { return system.getUEI8(1, static_cast<uint8_t*>(nullptr)); }, aErrParam},
      {"null record", [&] { return system.getUEI(1, nullptr); }, aErrParam},
      {"option beyond 6 bits", [&] { return system.getUEI8(64, &byte); }, aErrParam},
      {"no buffer", [&] { return system.getUEIBytes(32, nullptr, 4, &count); }, aErrParam},
      {"empty buffer", [&] { return system.getUEIBytes(32, buffer, 0, &count); }, aErrParam},
      {"no data to set", [&] { return system.setUEIBytes(32, nullptr, 3); }, aErrParam},
      {"no module", [&] { return unbound.getUEI8(1, &byte); }, aErrResource},
      {"I2C count above 23",
       [&] {
         I2CClass bus;
         bus.init(module.get(), 0);
         return bus.write(0x50, 24, qftest::PatternBytes(24).data());
       },
       aErrSize},
  };
  for (const auto& c : cases) {
    aErr result = aErrNone;
    EXPECT_TRUE(Sent([&] { result = c.operation(); }).empty()) << c.what;
    EXPECT_EQ(result, c.expected) << c.what;
  }
  module->disconnect();
  EXPECT_EQ(system.getUEI8(1, &byte), aErrConnection);
}

TEST_F(EntityTest, UnsolicitedValuesAreAwaitedAndLeftoversDrained) {
  // A call whose acknowledgement is followed by a value the module sends on its own.
  sim->entities->update(0x03, 0, 24, [](SimOption& o) {
    o = SimOption::call();
    o.after = {{0x03, 0x05, 0x00, 0x00, 0x00, 0x01, 0x02}};
  });
  ASSERT_EQ(system.logEvents(), aErrNone);
  uint32_t value = 0;
  EXPECT_EQ(system.awaitUEI32Val(5, &value, 0), aErrNone);
  EXPECT_EQ(value, 0x102u);
  EXPECT_EQ(system.awaitUEI32Val(5, &value, 0), aErrTimeout) << "taken once";

  // Three answers to one get: the get takes the first, the drain the other two, even though
  // one of those is an error reply.
  sim->entities->update(0x03, 0, 22, [](SimOption& o) {
    o.script = {{0x03, 22, 0x00, 0, 0, 0, 7}, {0x03, 22, 0x80, 0x05}, {0x03, 22, 0x00, 0, 0, 0, 8}};
  });
  ASSERT_EQ(system.getUptime(&value), aErrNone);
  EXPECT_EQ(value, 7u);
  uint8_t model = 0;  // a round trip: the module's frames come in order, so the other two are in
  ASSERT_EQ(system.getModel(&model), aErrNone);
  EXPECT_EQ(system.drainUEI(22), aErrNone);
  EXPECT_EQ(system.awaitUEI32Val(22, &value, 0), aErrTimeout) << "nothing of option 22 is left";
}

TEST_F(EntityTest, I2CTransfersCarryTheSpeedAndReportTheStatus) {
  sim->entities->updateBus(0, [](qfsim::SimI2CBus& bus) {
    bus.devices[0x28].memory = {0xAA, 0xBB};
    bus.devices[0x30].status = 0x85;
    bus.devices[0x31].status = 0x80;
  });
  I2CClass bus;
  bus.init(module.get(), 0);
  ASSERT_EQ(bus.setSpeed(3), aErrNone);
  uint8_t read[2] = {};
  EXPECT_EQ(Sent([&] { EXPECT_EQ(bus.read(0x50, 2, read), aErrNone); }),
            (std::vector<Bytes>{{0x08, 0x00, 0x51, 0x02, 0x03}}));
  EXPECT_EQ(Bytes(read, read + 2), (Bytes{0xAA, 0xBB}));

  const Bytes bytes = qftest::PatternBytes(23);
  const auto sent = Sent([&] { EXPECT_EQ(bus.write(0x50, 23, bytes.data()), aErrNone); });
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].size(), 28u);
  EXPECT_EQ(sim->entities->bus(0).devices.at(0x28).written, bytes);
  EXPECT_EQ(sim->entities->bus(0).lastSpeed, 3);

  EXPECT_EQ(Sent([&] { EXPECT_EQ(bus.setPullup(1), aErrNone); }), (std::vector<Bytes>{{0x08, 0x00, 0x01, 0x01}}));
  EXPECT_TRUE(sim->entities->bus(0).pullups);

  const struct {
    const char* what;
    uint8_t address;
    aErr expected;
  } failures[] = {
      {"the module's code", 0x60, aErrBusy},
      {"a failure without a code", 0x62, aErrUnknown},
      {"no device", 0x70, aErrNotFound},
  };
  for (const auto& f : failures) {
    EXPECT_EQ(bus.read(f.address, 1, read), f.expected) << f.what;
    EXPECT_EQ(bus.write(f.address, 1, read), f.expected) << f.what;
  }

  // A reply that stops before its status byte.
  sim->module.setHandler(0x08, [](SimContext& context, const SimPacket&) {
    context.reply(SimPacket{kAddress, {0x08, 0x00, 0x51, 0x02}});
  });
  EXPECT_EQ(bus.read(0x50, 2, read), aErrPacket);
}

}  // namespace
