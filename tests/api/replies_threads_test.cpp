// Every reply answers its own request, against a simulated module that misbehaves the way the
// object layer must survive: stream samples that look like get replies (a module that streams on
// after a stop, or from before the host came), acknowledgements and replies that come late or
// twice, and stream callbacks that must not run once their subscription is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "api/Entity.h"
#include "api/Link.h"
#include "api/Module.h"
#include "support/eventually.h"
#include "support/sim_module_fixture.h"
#include "support/stream_sim.h"

using namespace Tarnwick::Quillfern;
using qfsim::SimOption;
using qfsim::SimStreamSettings;
using qfsim::SimTransport;
using qftest::CallbackLog;
using std::chrono::milliseconds;

namespace {

constexpr uint8_t kAddress = 0x04;
constexpr uint8_t kClass = 0x14;
constexpr uint8_t kIndex = 1;
constexpr uint8_t kStreamed = 3;  // the option the module streams and the host also reads
constexpr uint32_t kReadValue = 0xC0FFEE;

class RepliesTest : public qftest::SimModuleFixture<qftest::StreamSim> {
 protected:
  void StartStreaming(SimStreamSettings settings) {
    ASSERT_NO_FATAL_FAILURE(StartSim(qftest::SimModuleWith(kAddress), settings));
    sim->entities->define(kClass, kIndex, kStreamed, SimOption::u32(kReadValue));
    qfsim::SimEntities::attach(sim->entities, sim->module);  // the entity class is new
    sim->addSource(kClass, kStreamed, kIndex, 3, 1);
    module = std::make_unique<Module>(kAddress, false, 0);
    ASSERT_EQ(qftest::ConnectDirectly(*module, sim->spec(SimTransport::tcp)), aErrNone);
    entity.init(module.get(), kClass, kIndex);
  }

  // Reads the streamed option the given number of times; each get must give the module's value.
  void ExpectGetsReadTheModulesValue(int gets, const char* what) {
    for (int i = 0; i < gets; ++i) {
      uint32_t value = 0;
      ASSERT_EQ(entity.getUEI32(kStreamed, &value), aErrNone) << what << ", get " << i;
      ASSERT_EQ(value, kReadValue) << what << ", get " << i;
    }
  }

  Link& link() { return *module->getLink(); }

  CallbackLog log, otherLog;  // before the module: they outlive its callbacks
  std::unique_ptr<Module> module;
  EntityClass entity;
};

SimStreamSettings Rate(uint32_t samplesPerMs) {
  SimStreamSettings settings;
  settings.intervalMs = 1;
  settings.samplesPerTick = samplesPerMs;
  return settings;
}

TEST_F(RepliesTest, SamplesAfterAnUnsubscribeAreNeverGetReplies) {
  SimStreamSettings settings = Rate(10);
  settings.ignoreStops = true;  // the module acknowledges the stop and streams on
  ASSERT_NO_FATAL_FAILURE(StartStreaming(settings));
  ASSERT_EQ(entity.registerOptionCallback(kStreamed, true, log.callback(), nullptr), aErrNone);
  ASSERT_TRUE(log.waitFor(20));
  ASSERT_EQ(entity.registerOptionCallback(kStreamed, false, {}, nullptr), aErrNone);
  const uint32_t sent = sim->streams->record().samplesSent;
  ASSERT_TRUE(qftest::SamplesSent(*sim, sent + 200));
  ExpectGetsReadTheModulesValue(30, "streaming on after the stop");
}

TEST_F(RepliesTest, AModuleStreamingWithNoSubscriptionDoesNotAnswerGets) {
  ASSERT_NO_FATAL_FAILURE(StartStreaming(Rate(1)));
  sim->streams->startStream({kAddress, kClass, 0xFF, kIndex});  // left on by an earlier host
  ASSERT_TRUE(qftest::SamplesSent(*sim, 50));
  ExpectGetsReadTheModulesValue(30, "streaming from an earlier session");
}

TEST_F(RepliesTest, AStreamStopsBeforeItsFilterGoes) {
  ASSERT_NO_FATAL_FAILURE(StartStreaming(Rate(10)));
  ASSERT_EQ(entity.registerOptionCallback(kStreamed, true, log.callback(), nullptr), aErrNone);
  ASSERT_TRUE(log.waitFor(50));
  ASSERT_EQ(entity.registerOptionCallback(kStreamed, false, {}, nullptr), aErrNone);
  // Everything the module sent up to its acknowledgement was the stream filter's.
  const uint8_t match[] = {kClass, kStreamed};
  uint8_t length = sizeof match;
  uint8_t packet[aPACKET_MAX_DATA] = {};
  EXPECT_EQ(link().receivePacket(kAddress, match, &length, packet), aErrTimeout)
      << "a sample of the stopped stream reached the replies";
  ExpectGetsReadTheModulesValue(5, "after a clean stop");
}

TEST_F(RepliesTest, ALateAcknowledgementIsNotTheNextRequestsAnswer) {
  SimStreamSettings settings = Rate(1);
  settings.answerDelayMs = 1500;
  ASSERT_NO_FATAL_FAILURE(StartStreaming(settings));
  EXPECT_EQ(link().enableStream(kAddress, kClass, kStreamed, kIndex, true), aErrTimeout);
  ASSERT_TRUE(
      sim->module.waitUntil([&](const auto&) { return sim->streams->record().answersSent == 1; }, milliseconds(5000)));
  ASSERT_EQ(qftest::Settle(link()), aErrNone) << "the late acknowledgement is in";

  settings.answerDelayMs = 0;
  settings.startError = 21;
  sim->streams->setSettings(settings);
  EXPECT_EQ(link().enableStream(kAddress, kClass, kStreamed, kIndex, true), 21) << "the module refused this one";
  EXPECT_TRUE(link().filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF).empty());
}

TEST_F(RepliesTest, AReplySentTwiceIsNotTheNextGetsAnswer) {
  ASSERT_NO_FATAL_FAILURE(StartStreaming(SimStreamSettings{}));
  sim->entities->update(kClass, kIndex, 5, [](SimOption& option) {
    option = SimOption::u32(7);
    option.after = {{kClass, 5, kIndex, 0, 0, 0, 9}};  // the same reply again, with a stale value
  });
  uint32_t value = 0;
  ASSERT_EQ(entity.getUEI32(5, &value), aErrNone);
  ASSERT_EQ(qftest::Settle(link()), aErrNone) << "the second reply is in";
  sim->entities->update(kClass, kIndex, 5, [](SimOption& option) { option = SimOption::u32(8); });
  ASSERT_EQ(entity.getUEI32(5, &value), aErrNone);
  EXPECT_EQ(value, 8u);
}

// How a subscription ends while its callback's runs are queued.
enum class Ending { unsubscribed, unsubscribedBesideAnother, rolledBack };

class CallbackEndTest : public RepliesTest, public testing::WithParamInterface<Ending> {};

// Once the call that ends a subscription returns, none of its callback's runs starts, however
// many were queued; the stream that stays (or one started later) goes on.
TEST_P(CallbackEndTest, NoRunStartsOnceTheSubscriptionIsGone) {
  ASSERT_NO_FATAL_FAILURE(StartStreaming(Rate(5)));
  sim->addSource(kClass, 9, kIndex, 1, 0);
  auto record = log.callback();
  // Slow enough that runs pile up in the ring.
  auto slow = [record](const aPacket* packet, void* ref) -> uint8_t {
    record(packet, ref);
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    return 0;
  };
  if (GetParam() == Ending::unsubscribedBesideAnother) {
    ASSERT_EQ(entity.registerOptionCallback(9, true, otherLog.callback(), nullptr), aErrNone);
  }
  if (GetParam() == Ending::rolledBack) {
    SimStreamSettings settings = sim->streams->settings();
    settings.unanswered = true;  // the stream starts, its acknowledgement never comes
    sim->streams->setSettings(settings);
    ASSERT_EQ(entity.registerOptionCallback(kStreamed, true, slow, nullptr), aErrTimeout);
  } else {
    ASSERT_EQ(entity.registerOptionCallback(kStreamed, true, slow, nullptr), aErrNone);
    ASSERT_TRUE(log.waitFor(100));
    ASSERT_EQ(entity.registerOptionCallback(kStreamed, false, {}, nullptr), aErrNone);
  }
  const size_t atReturn = log.runs();
  ASSERT_GT(atReturn, 0u) << "runs were made while the subscription stood";

  // The other stream goes on, or a new one starts its own callback thread; either way the
  // callback thread runs hundreds of times more.
  if (GetParam() != Ending::unsubscribedBesideAnother) {
    sim->streams->setSettings(Rate(5));
    ASSERT_EQ(entity.registerOptionCallback(9, true, otherLog.callback(), nullptr), aErrNone);
  }
  const size_t other = otherLog.runs();
  ASSERT_TRUE(otherLog.waitFor(other + 300));
  EXPECT_EQ(log.runs(), atReturn) << "runs of the ended subscription started after its end returned";
}

INSTANTIATE_TEST_SUITE_P(Endings, CallbackEndTest,
                         testing::Values(Ending::unsubscribed, Ending::unsubscribedBesideAnother, Ending::rolledBack),
                         [](const testing::TestParamInfo<Ending>& ending) {
                           switch (ending.param) {
                             case Ending::unsubscribed:
                               return "Unsubscribed";
                             case Ending::unsubscribedBesideAnother:
                               return "UnsubscribedBesideAnother";
                             default:
                               return "RolledBack";
                           }
                         });

TEST_F(RepliesTest, AnUnsubscribeWaitsForTheRunInProgress) {
  ASSERT_NO_FATAL_FAILURE(StartStreaming(Rate(1)));
  // Another subscription keeps the callback thread going.
  sim->addSource(kClass, 9, kIndex, 1, 0);
  ASSERT_EQ(entity.registerOptionCallback(9, true, otherLog.callback(), nullptr), aErrNone);
  std::atomic<bool> inRun{false}, runEnded{false};
  auto callback = [&](const aPacket* packet, void*) -> uint8_t {
    if (packet->data[1] != kStreamed || inRun.exchange(true)) return 0;
    std::this_thread::sleep_for(milliseconds(300));
    runEnded = true;
    return 0;
  };
  ASSERT_EQ(entity.registerOptionCallback(kStreamed, true, callback, nullptr), aErrNone);
  ASSERT_TRUE(qftest::Eventually([&] { return inRun.load(); }));
  ASSERT_EQ(entity.registerOptionCallback(kStreamed, false, {}, nullptr), aErrNone);
  EXPECT_TRUE(runEnded) << "the unsubscribe returned while its callback still ran";
}

TEST_F(RepliesTest, SamplesOfSubindex255RunEachCallbackOnceAndAreNotCached) {
  ASSERT_NO_FATAL_FAILURE(StartStreaming(Rate(1)));
  sim->addSource(kClass, 6, kIndex, 5, 10, 255);  // an 8-bit value of subindex 255
  ASSERT_EQ(entity.registerOptionCallback(6, true, log.callback(), nullptr), aErrNone);
  ASSERT_TRUE(log.waitFor(20));
  sim->module.setTickInterval(milliseconds(0));
  ASSERT_EQ(qftest::Settle(link()), aErrNone);
  // Only option 6 is streamed: every sample the module sent ran the callback once.
  const uint32_t samples = sim->streams->record().samplesSent;
  ASSERT_TRUE(log.waitFor(samples));
  EXPECT_EQ(log.runs(), samples);
  uint32_t value = 0;
  EXPECT_NE(link().getStreamValue(kAddress, kClass, 6, kIndex, 255, &value), aErrNone)
      << "a sample is not stored in the subscription";
  EXPECT_EQ(value, 0u);
}

}  // namespace
