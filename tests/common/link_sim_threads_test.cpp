// The link engine against the simulated module over its real transports: raw frames over TCP
// on loopback, COBS frames over a pseudo-terminal, and raw frames over a pseudo-terminal that
// stands for the kernel driver's node.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "common/aLink.h"
#include "common/aStream.h"
#include "common/aStreamsocket.h"
#include "common/aTransports.h"
#include "common/internal/aLink_internal.h"
#include "sim/module/simModule.h"
#include "support/cpu_at_rest.h"
#include "support/sim_module_start.h"
#include "support/test_packets.h"

namespace {

using namespace std::chrono_literals;
using qfsim::SimModule;
using qfsim::SimRecord;
using qfsim::SimTransport;

constexpr uint8_t kAddress = 0x06;
constexpr uint8_t kModel = 0x11;
constexpr int32_t kBaud115200 = 6;
constexpr auto kReply = 3s;

struct ModelReplyFilter {
  static uint8_t Accept(const aPacket* packet, const void*) {
    return packet->address == kAddress && packet->dataSize == 4 && packet->data[0] == 0x03;
  }
};

aStream* Connect(const SimModule& module, SimTransport transport) {
  aStream* stream = nullptr;
  switch (transport) {
    case SimTransport::tcp:
      aStream_CreateSocket(htonl(INADDR_LOOPBACK), module.port(), &stream);
      break;
    case SimTransport::serial:
      aStream_CreateSerial_Packetized(module.path().c_str(), kBaud115200, 0, 0, 0, &stream);
      break;
    case SimTransport::node:
      aStream_CreateSerial(module.path().c_str(), kBaud115200, 0, 0, 0, &stream);
      break;
  }
  return stream;
}

std::string Name(const testing::TestParamInfo<SimTransport>& info) {
  switch (info.param) {
    case SimTransport::tcp:
      return "Tcp";
    case SimTransport::serial:
      return "CobsTerminal";
    case SimTransport::node:
      return "RawTerminal";
  }
  return "Unknown";
}

class LinkSimTest : public testing::TestWithParam<SimTransport> {
 protected:
  void SetUp() override {
    module = qftest::StartedSimModule(qftest::SimModuleWith(kAddress, kModel, 0, GetParam()));
    ASSERT_TRUE(module);
    aStream* stream = Connect(*module, GetParam());
    ASSERT_NE(stream, nullptr);
    id = aLink_Create(stream);
    ASSERT_NE(id, 0u);
  }
  void TearDown() override {
    if (id) aLink_Destroy(&id);
    if (module) module->stop();
  }

  bool Await(const std::function<bool(const SimRecord&)>& condition) { return module->waitUntil(condition, kReply); }

  // The module's model, asked with the system entity's model query; 0 without an answer.
  uint8_t AskModel() {
    const OwnedPacket query = MakePacket(kAddress, {0x03, 0x48, 0x20});
    if (aLink_PutPacket(id, query.get()) != aErrNone) return 0;
    OwnedPacket reply(aLink_AwaitFirst(id, ModelReplyFilter::Accept, nullptr, 3000));
    if (!reply) return 0;
    EXPECT_EQ(PacketData(reply.get()), (std::vector<uint8_t>{0x03, 0x08, 0x00, kModel}));
    return reply->data[3];
  }

  std::unique_ptr<SimModule> module;
  aLinkID id = 0;
};

TEST_P(LinkSimTest, RequestsAreAnswered) {
  EXPECT_TRUE(Await([](const SimRecord& r) { return r.routes == std::vector<uint8_t>{1}; }))
      << "force-route on comes first";
  for (int round = 0; round < 5; ++round) ASSERT_EQ(AskModel(), kModel) << "round " << round;
}

TEST_P(LinkSimTest, SynchronisationLeavesNothingBehind) {
  ASSERT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_EQ(aLink_Lookup(id)->syncAddress, kAddress);
  EXPECT_GE(module->record().syncRequests, 2u);
  EXPECT_EQ(OwnedPacket(aLink_GetPacket(id)), nullptr) << "late answers to the burst were not discarded";
  EXPECT_EQ(AskModel(), kModel);
}

TEST_P(LinkSimTest, HeartbeatsAreAnsweredByTheEngine) {
  module->sendHeartbeat(qfsim::HeartbeatKind::up);
  module->sendHeartbeat(qfsim::HeartbeatKind::down);
  ASSERT_TRUE(Await([](const SimRecord& r) { return r.heartbeatAnswers.size() == 2; }));
  for (const auto& answer : module->record().heartbeatAnswers) EXPECT_TRUE(answer.ok) << int(answer.answer);
  EXPECT_EQ(OwnedPacket(aLink_AwaitPacket(id, 100)), nullptr);
}

TEST_P(LinkSimTest, DestroyDeliversForceRouteOff) {
  ASSERT_EQ(AskModel(), kModel);  // the link is up and idle
  ASSERT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_TRUE(Await([](const SimRecord& r) { return r.routes == std::vector<uint8_t>{1, 0}; }));
}

TEST_P(LinkSimTest, SynchronisationFailsAgainstAModuleThatAnswersWrongly) {
  struct Case {
    const char* what;
    qfsim::SimFaults faults;
  } cases[] = {
      {"silent", {.silent = true}},
      {"wrong second address", {.wrongSecondSyncAddress = true}},
      {"odd first byte", {.firstByte = qfsim::FirstByteFault::odd}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    module->setFaults(c.faults);
    EXPECT_EQ(aLink_Sync(id), aErrNotReady);
    EXPECT_EQ(aLink_GetStatus(id), SYNCING);
    module->setFaults({});
    EXPECT_EQ(aLink_Sync(id), aErrNone) << "the link does not recover";
  }
}

TEST_P(LinkSimTest, IdleLinkUsesNoMeasurableCpu) {
  ASSERT_EQ(AskModel(), kModel);
  EXPECT_LT(qftest::QuietestCpuUse(333ms), 10ms);  // 3% of a core
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkSimTest,
                         testing::Values(SimTransport::tcp, SimTransport::serial, SimTransport::node), Name);

}  // namespace
