// Direct links made by their creators against the simulated module on each real transport: TCP
// on loopback, a COBS-framed serial pseudo-terminal, the kernel driver's node (a pseudo-terminal
// under the node path), and a fake USB device behind the real libusb.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/discover.h"
#include "common/internal/aLinkRegistry.h"
#include "common/internal/aLink_internal.h"
#include "platform/Quillfern-C.h"
#include "platform/qfusb_driver.h"
#include "sim/module/simModule.h"
#include "support/cpu_at_rest.h"
#include "support/eventually.h"
#include "support/loopback_tcp.h"
#include "support/sim_module_start.h"
#include "support/temp_folder.h"
#include "support/test_packets.h"
#include "support/usb_sim_module.h"

namespace {

using namespace std::chrono_literals;
using namespace aLinkInternal;
using qfsim::HeartbeatKind;
using qfsim::SimFaults;
using qfsim::SimRecord;

constexpr uint8_t kAddress = 0x0A;
constexpr uint8_t kModel = 0x13;
constexpr uint32_t kSerial = 0x00C0FFEE;
constexpr uint32_t kBaud = 115200;
constexpr auto kSoon = 5s;  // bounds every wait for what must come (sanitizers are slow)

enum class Road { tcp, serial, node, usb };

struct RoadTraits {
  const char* name;
  linkType type;
  bool resettable;  // a reset can make the stream again
};

RoadTraits Traits(Road road) {
  switch (road) {
    case Road::tcp:
      return {"Tcp", TCPIP, true};
    case Road::serial:
      return {"CobsSerial", SERIAL, false};
    case Road::node:
      return {"KernelNode", USB, true};
    case Road::usb:
      return {"UsbDevice", USB, true};
  }
  return {};
}

// The simulated module on one road, and the links made to it; everything made is released in
// the order the fake USB bus needs (links, libusb context, module, bus).
class DirectLinkTest : public testing::TestWithParam<Road> {
 protected:
  void SetUp() override {
    if (GetParam() == Road::usb && !qftest::UsbFake::available())
      GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
  }
  void TearDown() override {
    for (aLinkID& id : ids)
      if (id) aLink_Destroy(&id);
    Quillfern_libusb_exit();
    usb.reset();
    fake.reset();
    if (sim) sim->stop();
    qfusb_set_kernel_node_format(nullptr);
  }

  void Plug(const SimFaults& faults = {}) {
    if (GetParam() == Road::usb) {
      fake = std::make_unique<qftest::UsbFake>();
      usb = std::make_unique<qftest::UsbSimModule>(
          *fake,
          qftest::UsbSimModuleOptions{.address = kAddress, .model = kModel, .serialNumber = kSerial, .faults = faults});
      return;
    }
    qfsim::SimModuleOptions options = qftest::SimModuleWith(kAddress, kModel, kSerial,
                                                            GetParam() == Road::tcp      ? qfsim::SimTransport::tcp
                                                            : GetParam() == Road::serial ? qfsim::SimTransport::serial
                                                                                         : qfsim::SimTransport::node);
    options.faults = faults;
    if (GetParam() == Road::node) {
      char node[32];
      std::snprintf(node, sizeof node, "quillfern.%08X", kSerial);
      options.linkPath = folder.join(node);
      ASSERT_EQ(qfusb_set_kernel_node_format(folder.join("quillfern.%08X").c_str()), aErrNone);
    }
    sim = qftest::StartedSimModule(options);
    ASSERT_TRUE(sim);
  }

  // Creates a link to the module the way its road does; kept for the tear-down. Elsewhere: at an
  // address or port where no module is (USB has nothing else to give).
  aLinkID Create(bool elsewhere = false) {
    aLinkID id = 0;
    switch (GetParam()) {
      case Road::tcp:
        id = elsewhere ? aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK + 1), 1)
                       : aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), sim->port());
        break;
      case Road::serial:
        id = aLink_CreateSerial(kSerial, elsewhere ? "/nonexistent" : sim->path().c_str(), elsewhere ? 9600 : kBaud);
        break;
      case Road::node:
      case Road::usb:
        id = aLink_CreateUSB(kSerial);
        break;
    }
    std::lock_guard hold(idsMutex);  // two threads may be creating
    ids.push_back(id);
    return id;
  }

  SimRecord Record() const { return sim ? sim->record() : usb->record(); }
  bool AwaitRecord(const std::function<bool(const SimRecord&)>& condition,
                   std::chrono::milliseconds timeout = kSoon) const {
    return sim ? sim->waitUntil(condition, timeout) : usb->waitUntil(condition, timeout);
  }
  bool AwaitRoutes(const std::vector<uint8_t>& routes) const {
    return AwaitRecord([&](const SimRecord& r) { return r.routes == routes; });
  }
  void SendHeartbeat(HeartbeatKind kind) { sim ? sim->sendHeartbeat(kind) : usb->sendHeartbeat(kind); }

  // The module answers both raw queries over the link.
  void ExpectQueriesAnswered(aLinkID id) {
    uint8_t address = 0;
    uint8_t model = 0;
    EXPECT_EQ(_aLink_GetModuleAddress(id, &address), aErrNone);
    EXPECT_EQ(address, kAddress);
    EXPECT_EQ(_aLink_GetModel(id, kAddress, &model), aErrNone);
    EXPECT_EQ(model, kModel);
  }

  qftest::TempFolder folder;
  std::unique_ptr<qfsim::SimModule> sim;
  std::unique_ptr<qftest::UsbFake> fake;
  std::unique_ptr<qftest::UsbSimModule> usb;
  std::mutex idsMutex;
  std::vector<aLinkID> ids;
};

TEST_P(DirectLinkTest, ALinkCarriesTheModulesTrafficUntilItIsDestroyed) {
  Plug();
  aLinkID id = Create();
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_GetStatus(id), RUNNING);
  if (Traits(GetParam()).type == USB) {
    EXPECT_GE(Record().syncRequests, 1u) << "handed out before synchronising";
  }
  ExpectQueriesAnswered(id);

  SendHeartbeat(HeartbeatKind::up);
  SendHeartbeat(HeartbeatKind::down);
  ASSERT_TRUE(AwaitRecord([](const SimRecord& r) { return r.heartbeatAnswers.size() == 2; }));
  for (const auto& answer : Record().heartbeatAnswers) EXPECT_TRUE(answer.ok) << int(answer.answer);

  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(id, 0u);
  EXPECT_TRUE(AwaitRoutes({1, 0})) << "force-route off did not reach the module";
  EXPECT_EQ(sLookupEntryByIdentifier(kSerial, Traits(GetParam()).type), nullptr);
}

TEST_P(DirectLinkTest, CreatingAgainSharesTheLinkUntilItsLastUseGoes) {
  Plug();
  aLinkID first = Create();
  ASSERT_NE(first, 0u);
  aLinkID second = Create(true);
  EXPECT_EQ(second, first) << "the module's link is shared whatever address is given";

  ASSERT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(first, 0u);
  ExpectQueriesAnswered(second);  // still running for its other holder
  EXPECT_EQ(Record().routes, std::vector<uint8_t>{1});

  const aLinkID gone = second;
  ASSERT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_TRUE(AwaitRoutes({1, 0}));
  aLinkID third = gone;
  EXPECT_EQ(aLink_Destroy(&third), aErrParam);
  EXPECT_EQ(third, 0u);
}

TEST_P(DirectLinkTest, ResetMakesTheStreamAgainUnderTheSameId) {
  Plug();
  aLinkID id = Create();
  ASSERT_NE(id, 0u);
  if (!Traits(GetParam()).resettable) {
    EXPECT_EQ(aLink_Reset(id), aErrParam);
    EXPECT_EQ(aLink_GetStatus(id), RUNNING);
    ExpectQueriesAnswered(id);  // left as it was
    EXPECT_EQ(Record().routes, std::vector<uint8_t>{1});
    return;
  }
  ASSERT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_TRUE(AwaitRoutes({1, 0, 1})) << "the old stream was not stopped, or the new one not started";
  EXPECT_EQ(aLink_GetStatus(id), RUNNING);
  ExpectQueriesAnswered(id);
  EXPECT_EQ(sLookupEntryByID(id)->useCount, 1);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_TRUE(AwaitRoutes({1, 0, 1, 0}));
}

// A stop does not wait out a read: the reader looks at the stop at least every 100 ms on every
// road (the bound here leaves room for slow sanitizer builds and a loaded machine).
TEST_P(DirectLinkTest, AStopEndsPromptly) {
  Plug();
  aLinkID id = Create();
  ASSERT_NE(id, 0u);
  ExpectQueriesAnswered(id);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_Stop(aLink_Lookup(id)), aErrNone);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 400ms);
  EXPECT_TRUE(AwaitRoutes({1, 0}));
}

// Each creator's result, and the link's status at the moment it got it.
struct Created {
  aLinkID id = 0;
  int32_t status = INVALID_LINK_STREAM;
};

TEST_P(DirectLinkTest, TwoThreadsCreatingAtOnceGetOneLink) {
  Plug();
  Created made[2];
  auto create = [this](Created& result) {
    result.id = Create();
    result.status = aLink_GetStatus(result.id);
  };
  std::thread other(create, std::ref(made[1]));
  create(made[0]);
  other.join();
  ASSERT_NE(made[0].id, 0u);
  EXPECT_EQ(made[1].id, made[0].id);
  for (const Created& result : made) EXPECT_EQ(result.status, RUNNING) << "handed out before it was ready";
  EXPECT_EQ(sLookupEntryByID(made[0].id)->useCount, 2);
  EXPECT_TRUE(AwaitRoutes({1}));
  EXPECT_FALSE(AwaitRecord([](const SimRecord& r) { return r.routes.size() > 1; }, 100ms))
      << "a second link was started";
}

std::string RoadName(const testing::TestParamInfo<Road>& info) { return Traits(info.param).name; }

INSTANTIATE_TEST_SUITE_P(Roads, DirectLinkTest, testing::Values(Road::tcp, Road::serial, Road::node, Road::usb),
                         RoadName);

// The USB roads hand a link out only once the module has answered the burst.
using SynchronisedLinkTest = DirectLinkTest;

TEST_P(SynchronisedLinkTest, AModuleThatNeverAnswersIsRefusedAndLeavesNothingBehind) {
  Plug({.silent = true});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Create(), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(sLookupEntryByIdentifier(kSerial, USB), nullptr);
  EXPECT_GE(Record().syncRequests, 6u);
  EXPECT_TRUE(AwaitRoutes({1, 0})) << "the refused link was not stopped";
}

// The second creator must not pick up the first one's link before it is refused.
TEST_P(SynchronisedLinkTest, TwoThreadsCreatingAtOnceForAModuleThatNeverAnswersGetNothing) {
  Plug({.silent = true});
  aLinkID made[2] = {1, 1};
  std::thread other([&] { made[1] = Create(); });
  made[0] = Create();
  other.join();
  EXPECT_EQ(made[0], 0u);
  EXPECT_EQ(made[1], 0u);
  EXPECT_EQ(sLookupEntryByIdentifier(kSerial, USB), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Roads, SynchronisedLinkTest, testing::Values(Road::node, Road::usb), RoadName);

// A module on the kernel driver's node re-enumerates (it rebooted): its old node hangs up, and
// the new one appears under the same path.
using NodeLinkTest = DirectLinkTest;

TEST_P(NodeLinkTest, ANodeThatHangsUpEndsRunningWithoutSpinningAndAResetFindsTheNewOne) {
  Plug();
  aLinkID id = Create();
  ASSERT_NE(id, 0u);
  sim->closeConnection();
  EXPECT_TRUE(qftest::Eventually([&] { return aLink_GetStatus(id) != RUNNING; }, kSoon))
      << "the hang-up went unnoticed";
  EXPECT_LT(qftest::QuietestCpuUse(250ms, 2), 30ms) << "the reader spins on the dead node";
  EXPECT_NE(aLink_GetStatus(id), RUNNING);
  ASSERT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), RUNNING);
  ExpectQueriesAnswered(id);
}

INSTANTIATE_TEST_SUITE_P(Roads, NodeLinkTest, testing::Values(Road::node), RoadName);

// Creators that cannot reach a module give 0 and leave no entry for it.
TEST(DirectLinkFailureTest, AnUnreachableModuleLeavesNothingRegistered) {
  std::unique_ptr<qftest::UsbFake> bus;  // an empty bus, where the fake is available
  if (qftest::UsbFake::available()) bus = std::make_unique<qftest::UsbFake>();
  qftest::TempFolder folder;
  qftest::LoopbackListener closed;
  const uint16_t refusedPort = closed.port();
  closed.close();
  struct Case {
    const char* what;
    uint32_t serial;
    linkType type;
    std::function<aLinkID(uint32_t serial)> create;
  } cases[] = {
      {"missing serial port", 0x5E41, SERIAL,
       [&](uint32_t serial) { return aLink_CreateSerial(serial, folder.join("no-such-port").c_str(), 9600); }},
      {"serial port without a path", 0x5E42, SERIAL,
       [](uint32_t serial) { return aLink_CreateSerial(serial, nullptr, 9600); }},
      {"TCP module refusing", 0x7C91, TCPIP,
       [&](uint32_t serial) { return aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), refusedPort); }},
      {"USB module absent", 0x05B1, USB, [](uint32_t serial) { return aLink_CreateUSB(serial); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.create(c.serial), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(c.serial, c.type), nullptr);
  }
  Quillfern_libusb_exit();
}

// Only the rates of the table are accepted; a refused rate leaves nothing that a later creation
// with a good rate would find.
TEST(DirectLinkFailureTest, SerialRatesOutsideTheTableAreRefused) {
  qfsim::SimModuleOptions options;
  options.transport = qfsim::SimTransport::serial;
  qfsim::SimModule module(options);
  ASSERT_TRUE(module.start());
  const std::string port = module.path();
  for (uint32_t rate : {0u, 1200u, 14400u, 76800u, 460800u}) {
    SCOPED_TRACE(rate);
    EXPECT_EQ(aLink_CreateSerial(0x5E43, port.c_str(), rate), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(0x5E43, SERIAL), nullptr);
  }
  for (uint32_t rate : {2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u, 230400u}) {
    SCOPED_TRACE(rate);
    aLinkID id = aLink_CreateSerial(0x5E43, port.c_str(), rate);
    ASSERT_NE(id, 0u);
    uint8_t address = 0;
    EXPECT_EQ(_aLink_GetModuleAddress(id, &address), aErrNone);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  }
}

}  // namespace
