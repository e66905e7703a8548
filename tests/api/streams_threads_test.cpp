// Stream subscriptions end to end against the simulated module over TCP on loopback: the
// requests on the wire, cached values and callbacks, entities' streams, refusals and rollback,
// packets the stream filter leaves alone, a reconnect, Links sharing one device link, a callback
// that unsubscribes, and a callback too slow for its stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <vector>

#include "api/Entity.h"
#include "api/Link.h"
#include "api/Module.h"
#include "support/sim_module_fixture.h"
#include "support/stream_sim.h"

using namespace Tarnwick::Quillfern;
using qfsim::SimTransport;
using qftest::CallbackLog;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

namespace {

constexpr uint8_t kAddress = 0x06;
constexpr uint8_t kClass = 0x12;

class StreamsTest : public qftest::SimModuleFixture<qftest::StreamSim> {
 protected:
  void SetUp() override {
    qfsim::SimStreamSettings settings;
    settings.intervalMs = 2;
    ASSERT_NO_FATAL_FAILURE(StartSim(qftest::SimModuleWith(kAddress), settings));
    link = ConnectedLink("streams");
  }

  // Stops publishing and lets everything published reach the link.
  void StopPublishing() {
    sim->module.setTickInterval(milliseconds(0));
    ASSERT_EQ(qftest::Settle(*link), aErrNone);
  }

  // Declared first, so that they outlive every Link whose callbacks write into them.
  CallbackLog log, firstLog, secondLog;
  std::unique_ptr<Link> link;
};

TEST_F(StreamsTest, ASubscriptionCallsBackAndCachesTheLatestValue) {
  sim->addSource(kClass, 3, 1, 3, 1000);
  int tag = 0;
  ASSERT_EQ(link->registerStreamCallback(kAddress, kClass, 3, 1, true, log.callback(), &tag), aErrNone);
  EXPECT_EQ(Received(0x5D), (std::vector<Bytes>{{0x5D, 0x81, 0x20, kAddress, kClass, 3, 1}}));
  ASSERT_TRUE(log.waitFor(3));
  EXPECT_EQ(log.refs().front(), &tag);
  uint32_t value = 0;
  StopPublishing();
  const uint32_t last = 1000 + sim->streams->record().samplesSent - 1;
  const aErr first = link->getStreamValue(kAddress, kClass, 3, 1, 0, &value);
  EXPECT_TRUE(first == aErrNone || first == aErrStreamStale) << first;
  EXPECT_EQ(value, last);
  value = 0;
  EXPECT_EQ(link->getStreamValue(kAddress, kClass, 3, 1, 0, &value), aErrStreamStale) << "read before";
  EXPECT_EQ(value, last);
  EXPECT_EQ(link->getStreamValue(kAddress, kClass, 3, 1, 7, &value), aErrNotFound) << "another subindex";

  ASSERT_EQ(log.waitFor(sim->streams->record().samplesSent), true) << "every sample called back";
  const Bytes sample = log.packets().back();
  ASSERT_EQ(sample.size(), 17u);
  EXPECT_EQ(sample[2], 0x41);

  ASSERT_EQ(link->registerStreamCallback(kAddress, kClass, 3, 1, false, {}, nullptr), aErrNone);
  EXPECT_EQ(Received(0x5D).back(), (Bytes{0x5D, 0x82, 0x20, kAddress, kClass, 3, 1}));
  EXPECT_EQ(link->getStreamValue(kAddress, kClass, 3, 1, 0, &value), aErrNotFound);
  EXPECT_TRUE(link->filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF).empty());
  EXPECT_TRUE(sim->streams->running().empty());
}

TEST_F(StreamsTest, AnEntityStreamCachesEveryOptionAndGetsReadTheCache) {
  sim->addSource(kClass, 1, 2, 1, 10);
  sim->addSource(kClass, 2, 2, 2, 500);
  sim->addSource(kClass, 2, 2, 6, 900, 4);  // subindex 4
  sim->addSource(kClass, 1, 3, 1, 77);      // another entity: not covered
  Module module(kAddress, false, 0);
  ASSERT_EQ(qftest::ConnectDirectly(module, sim->spec(SimTransport::tcp)), aErrNone);
  EntityClass entity;
  entity.init(&module, kClass, 2);
  ASSERT_EQ(entity.setStreamEnabled(1), aErrNone);
  EXPECT_EQ(sim->streams->running(), (std::vector<qfsim::SimStreamName>{{kAddress, kClass, 0xFF, 2}}));
  ASSERT_TRUE(qftest::SamplesSent(*sim, 9));
  sim->module.setTickInterval(milliseconds(0));
  ASSERT_EQ(qftest::Settle(*module.getLink()), aErrNone);

  Link::StreamStatusEntry entries[4] = {};
  size_t count = 0;
  ASSERT_EQ(entity.getStreamStatus(entries, 4, &count), aErrNone);
  ASSERT_EQ(count, 3u) << "cached values only, never the subscription";
  EXPECT_EQ(entries[0].key, Link::createStreamKey(kAddress, kClass, 1, 2, 0));
  EXPECT_EQ(entries[1].key, Link::createStreamKey(kAddress, kClass, 2, 2, 0));
  EXPECT_EQ(entries[2].key, Link::createStreamKey(kAddress, kClass, 2, 2, 4));
  EXPECT_EQ(entity.getStreamStatus(entries, 2, &count), aErrSize);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(entity.getStreamStatus(nullptr, 2, &count), aErrParam);
  EXPECT_EQ(entity.getStreamStatus(entries, 0, &count), aErrParam);

  sim->module.clearRecord();
  uint16_t value16 = 0;
  const aErr cached = entity.getUEI16(2, &value16);
  EXPECT_TRUE(cached == aErrNone) << cached;
  EXPECT_EQ(value16, entries[1].value);
  EXPECT_EQ(entity.getUEI16(2, &value16), aErrStreamStale);
  uint16_t sub = 0;
  EXPECT_EQ(entity.getUEI16(2, 4, &sub), aErrNone);
  EXPECT_EQ(sub, entries[2].value);
  EXPECT_TRUE(Received(kClass).empty()) << "gets were answered from the cache";

  ASSERT_EQ(entity.setStreamEnabled(0), aErrNone);
  EXPECT_EQ(entity.getStreamStatus(entries, 4, &count), aErrNone);
  EXPECT_EQ(count, 0u);

  EntityClass unbound;
  EXPECT_EQ(unbound.setStreamEnabled(1), aErrResource);
  EXPECT_EQ(unbound.registerOptionCallback(1, true, {}, nullptr), aErrResource);
  EXPECT_EQ(unbound.getStreamStatus(entries, 4, &count), aErrResource);
}

TEST_F(StreamsTest, RefusedOrUnansweredSubscriptionsAreRolledBack) {
  const struct {
    const char* what;
    uint8_t startError;
    bool unanswered;
    aErr expected;
  } cases[] = {
      {"an error reply", 21, false, 21},
      {"no answer", 0, true, aErrTimeout},
  };
  for (const auto& c : cases) {
    qfsim::SimStreamSettings settings = sim->streams->settings();
    settings.startError = c.startError;
    settings.unanswered = c.unanswered;
    sim->streams->setSettings(settings);
    EXPECT_EQ(link->registerStreamCallback(kAddress, kClass, 0xFF, 1, true, log.callback(), nullptr), c.expected)
        << c.what;
    EXPECT_TRUE(link->filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF).empty()) << c.what;
  }
  EXPECT_EQ(link->enableStream(kAddress + 1, kClass, 1, 1, true), aErrParam) << "odd address";
  Link unconnected(sim->spec(SimTransport::tcp), "idle");
  EXPECT_EQ(unconnected.enableStream(kAddress, kClass, 1, 1, true), aErrConnection);
  EXPECT_TRUE(unconnected.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF).empty());
  Link::StreamStatusEntry entry{};
  size_t count = 0;
  EXPECT_EQ(unconnected.getStreamStatus(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, &entry, 1, &count), aErrConnection);

  // The module answers again: the same subscription now holds.
  sim->streams->setSettings(qfsim::SimStreamSettings{});
  EXPECT_EQ(link->enableStream(kAddress, kClass, 0xFF, 1, true), aErrNone);
  uint8_t streaming = 0;
  EXPECT_EQ(link->isLinkStreaming(kAddress, &streaming), aErrNone);
  EXPECT_EQ(streaming, 1);
}

TEST_F(StreamsTest, PacketsWithoutAKindAreRepliesAndByteValuesOnlyCallBack) {
  // Command 0x30 answers with a stream-like packet of kind 0 and a byte-value stream chunk.
  const Bytes noKind{kClass, 3, 0x41, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00};
  const Bytes byteValue{kClass, 3, 0x41, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x81};
  sim->module.setHandler(0x30, [&](qfsim::SimContext& context, const qfsim::SimPacket&) {
    context.reply({kAddress, byteValue});
    context.reply({kAddress, noKind});
  });
  ASSERT_EQ(link->registerStreamCallback(kAddress, kClass, 3, 1, true, log.callback(), nullptr), aErrNone);
  ASSERT_EQ(link->sendPacket(kAddress, 0x30, 0, nullptr), aErrNone);
  uint8_t length = 1;
  const uint8_t match[] = {kClass};
  uint8_t reply[aPACKET_MAX_DATA] = {};
  ASSERT_EQ(link->receivePacket(kAddress, match, &length, reply), aErrNone);
  EXPECT_EQ(Bytes(reply, reply + length), noKind) << "a packet without a kind is left to the replies";
  ASSERT_TRUE(log.waitFor(1));
  EXPECT_EQ(log.packets().front(), byteValue);
  uint32_t value = 0;
  EXPECT_EQ(link->getStreamValue(kAddress, kClass, 3, 1, 0, &value), aErrNotFound) << "a byte value is not cached";
  length = 1;
  EXPECT_EQ(link->receivePacket(kAddress, match, &length, reply), aErrTimeout) << "the byte value was consumed";
}

TEST_F(StreamsTest, AReconnectStartsWithoutTheOldValues) {
  sim->addSource(kClass, 1, 1, 1, 5);
  ASSERT_EQ(link->enableStream(kAddress, kClass, 1, 1, true), aErrNone);
  ASSERT_TRUE(qftest::SamplesSent(*sim, 2));
  ASSERT_EQ(qftest::Settle(*link), aErrNone);
  uint32_t value = 0;
  ASSERT_EQ(link->getStreamValue(kAddress, kClass, 1, 1, 0, &value), aErrNone);
  sim->module.setTickInterval(milliseconds(0));

  ASSERT_EQ(link->disconnect(), aErrNone);
  ASSERT_EQ(link->connect(), aErrNone);
  EXPECT_EQ(link->getStreamValue(kAddress, kClass, 1, 1, 0, &value), aErrNotFound)
      << "a value of the link given up is not this link's";
  EXPECT_TRUE(link->filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF).empty());
}

TEST_F(StreamsTest, ALinkWhoseModuleWentAwayStillEndsItsCallbackThread) {
  sim->addSource(kClass, 1, 1);
  ASSERT_EQ(link->registerStreamCallback(kAddress, kClass, 1, 1, true, log.callback(), nullptr), aErrNone);
  ASSERT_TRUE(log.waitFor(1));
  sim->module.stop();
  EXPECT_NE(link->enableStream(kAddress, kClass, 2, 1, true), aErrNone) << "nobody answers";
  link.reset();  // waits for the callback thread: a thread left running would end the process
}

TEST_F(StreamsTest, LinksOnOneDeviceLinkKeepEachOthersStreams) {
  sim->addSource(kClass, 1, 1);
  sim->addSource(kClass, 2, 1);
  auto second = qftest::DirectLink(sim->spec(SimTransport::tcp), "second");
  ASSERT_EQ(second->connectThroughLinkModule(*link), aErrNone);
  ASSERT_EQ(second->registerStreamCallback(kAddress, kClass, 2, 1, true, secondLog.callback(), nullptr), aErrNone);
  ASSERT_EQ(link->registerStreamCallback(kAddress, kClass, 1, 1, true, firstLog.callback(), nullptr), aErrNone);
  ASSERT_TRUE(firstLog.waitFor(3));
  const size_t before = secondLog.runs();
  ASSERT_TRUE(secondLog.waitFor(before + 3)) << "the other Link's subscription did not replace this one's";
  for (const Bytes& packet : firstLog.packets()) EXPECT_EQ(packet[1], 1) << "only what it subscribed to";

  ASSERT_EQ(link->registerStreamCallback(kAddress, kClass, 1, 1, false, {}, nullptr), aErrNone);
  const size_t after = secondLog.runs();
  EXPECT_TRUE(secondLog.waitFor(after + 3)) << "the other Link's unsubscription did not remove this one's";
}

TEST_F(StreamsTest, ACallbackMayUnsubscribeItsOwnStream) {
  sim->addSource(kClass, 1, 1);
  std::promise<aErr> unsubscribed;
  std::atomic<bool> once{false};
  Link* self = link.get();
  auto callback = [&](const aPacket*, void*) -> uint8_t {
    if (!once.exchange(true))
      unsubscribed.set_value(self->registerStreamCallback(kAddress, kClass, 1, 1, false, {}, nullptr));
    return 0;
  };
  ASSERT_EQ(link->registerStreamCallback(kAddress, kClass, 1, 1, true, callback, nullptr), aErrNone);
  auto result = unsubscribed.get_future();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(result.get(), aErrNone);
  EXPECT_TRUE(sim->streams->running().empty());
  // The Link can subscribe again from outside, and its end waits for the callback thread.
  ASSERT_EQ(link->registerStreamCallback(kAddress, kClass, 1, 1, true, log.callback(), nullptr), aErrNone);
  EXPECT_TRUE(log.waitFor(2));
  link.reset();
}

// The callback thread cannot wait for itself: it outlives the Link it destroyed, touches nothing
// of it, and runs nothing more. Another Link's callbacks on the same stream give a stray run of
// the first the time to show (and the sanitizers a use of freed memory).
TEST_F(StreamsTest, ACallbackMayDestroyItsOwnLink) {
  sim->addSource(kClass, 1, 1);
  std::promise<void> registered, destroyed;
  std::shared_future<void> subscribed = registered.get_future().share();
  std::atomic<int> runs{0};
  auto callback = [&](const aPacket*, void*) -> uint8_t {
    if (runs.fetch_add(1) == 0) {
      subscribed.wait();  // the subscribing call has returned: nobody else uses the Link
      link.reset();
      destroyed.set_value();
    }
    return 0;
  };
  const aErr subscribing = link->registerStreamCallback(kAddress, kClass, 1, 1, true, callback, nullptr);
  registered.set_value();
  ASSERT_EQ(subscribing, aErrNone);
  auto done = destroyed.get_future();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);

  auto second = ConnectedLink("second");
  ASSERT_EQ(second->registerStreamCallback(kAddress, kClass, 1, 1, true, log.callback(), nullptr), aErrNone);
  EXPECT_TRUE(log.waitFor(3));
  EXPECT_EQ(runs.load(), 1) << "a run of the destroyed Link's callback";
}

TEST_F(StreamsTest, ASlowCallbackCostsRunsNotTheLink) {
  sim->addSource(kClass, 1, 1, 3, 0);
  sim->module.setTickInterval(milliseconds(1));
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  // However the test ends, the callback is let go before the Link waits for its thread.
  struct Releaser {
    std::promise<void>& promise;
    bool done = false;
    void operator()() {
      if (!done) promise.set_value();
      done = true;
    }
    ~Releaser() { (*this)(); }
  } releaser{release};
  auto record = log.callback();
  auto slow = [record, released](const aPacket* packet, void* ref) -> uint8_t {
    record(packet, ref);
    released.wait();
    return 0;
  };
  ASSERT_EQ(link->registerStreamCallback(kAddress, kClass, 1, 1, true, slow, nullptr), aErrNone);
  ASSERT_TRUE(log.waitFor(1));
  ASSERT_TRUE(qftest::SamplesSent(*sim, 700, milliseconds(10000)));
  StopPublishing();
  const uint32_t stoppedAt = sim->streams->record().samplesSent;

  // The link still serves requests while its callback thread is stuck.
  uint32_t value = 0;
  EXPECT_EQ(link->getStreamValue(kAddress, kClass, 1, 1, 0, &value), aErrNone);
  EXPECT_EQ(value, stoppedAt - 1) << "the value is stored whether or not its run fits";
  // Read while nothing is published: a sample that comes after the release may find the ring
  // still full on a loaded machine and be dropped as well.
  const uint64_t droppedWhileStuck = link->getDroppedStreamRuns();

  releaser();
  sim->module.setTickInterval(milliseconds(2));
  // Runs are delivered in order: once a sample published after the stop comes back, every run
  // queued before it has been made.
  ASSERT_TRUE(qftest::SamplesSent(*sim, stoppedAt + 1));
  const auto sampleValue = [](const Bytes& data) {
    return static_cast<uint32_t>(data[12] << 24 | data[13] << 16 | data[14] << 8 | data[15]);
  };
  std::vector<Bytes> packets;
  for (size_t seen = 0; packets.empty() || sampleValue(packets.back()) < stoppedAt;) {
    ASSERT_TRUE(log.waitFor(seen + 1));
    packets = log.packets();
    seen = packets.size();
  }
  const size_t beforeStop = static_cast<size_t>(
      std::count_if(packets.begin(), packets.end(), [&](const Bytes& data) { return sampleValue(data) < stoppedAt; }));
  EXPECT_EQ(beforeStop, 500u) << "the run in progress and a full ring of 499; the rest were dropped";
  EXPECT_EQ(droppedWhileStuck, stoppedAt - beforeStop) << "every dropped run is counted";
}

}  // namespace
