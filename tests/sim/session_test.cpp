// The module's timers on a clock the test holds: late replies leave in the order they fall due,
// periodic heartbeats keep their period, and nothing is scheduled without a host.
#include <gtest/gtest.h>

#include <functional>

#include "sim/module/simSession.h"
#include "sim/module/simStreams.h"
#include "support/raw_peer.h"

using namespace qfsim;
using namespace std::chrono_literals;
using qftest::Bytes;
using qftest::hex;

namespace {

TEST(SimSessionTest, TimersFollowTheOwnersClock) {
  const SimSession::Clock::time_point start{};
  SimState initial;
  initial.address = 0x04;
  SimSession session(initial, simMakeRawFramer());
  session.setHeartbeatInterval(100ms, start);
  session.connect(start);
  auto receive = [&](std::uint32_t delayMs, Bytes bytes, std::chrono::milliseconds at) {
    session.state().faults.replyDelayMs = delayMs;
    EXPECT_TRUE(session.receive(bytes.data(), bytes.size(), start + at));
    session.state().faults.replyDelayMs = 0;  // it holds every frame sent, heartbeats too
  };

  struct Step {
    const char* name;
    std::chrono::milliseconds at;
    std::function<void()> action;
    const char* output;                            // all sent so far
    std::optional<std::chrono::milliseconds> due;  // nextDue() afterwards
  };
  const Step steps[] = {
      {"connected", 0ms, [] {}, "", 100ms},
      {"a reply held 50 ms", 0ms,
       [&] {
         receive(50, {0xAD, 0x00}, 0ms);
       },
       "", 50ms},
      {"a later reply held less overtakes it", 10ms,
       [&] {
         receive(20, {0x04, 0x03, 0x03, 0x48, 0x20}, 10ms);
       },
       "", 30ms},
      {"the second falls due", 30ms, {}, "04 04 03 08 00 04", 50ms},
      {"then the first", 60ms, {}, "04 04 03 08 00 04 04 00", 100ms},
      {"the heartbeat period", 100ms, {}, "04 04 03 08 00 04 04 00 04 02 00 00", 200ms},
      {"the host leaves", 150ms, [&] { session.disconnect(); }, "", std::nullopt},
      {"nothing goes out without one", 250ms, [&] { session.sendHeartbeat(HeartbeatKind::up, start + 250ms); }, "",
       std::nullopt},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.action) step.action();
    session.advance(start + step.at);
    EXPECT_EQ(hex(session.output()), step.output);
    std::optional<std::chrono::milliseconds> due;
    if (auto next = session.nextDue()) due = std::chrono::duration_cast<std::chrono::milliseconds>(*next - start);
    EXPECT_EQ(due, step.due);
  }
  EXPECT_EQ(session.state().record.heartbeatsSent, 1u);
}

// A started stream publishes on the ticker while a host is connected, one sample per covered
// source and tick, and a late tick sends one sample, not the ones it missed.
TEST(SimSessionTest, StreamsPublishOnTheTickerWhileConnected) {
  const SimSession::Clock::time_point start{};
  SimState initial;
  initial.address = 0x04;
  SimSession session(initial, simMakeRawFramer());
  auto streams = std::make_shared<SimStreams>();
  SimStreamSource source;
  source.command = 0x12;
  source.option = 1;
  source.index = 2;
  source.kind = 2;
  source.value = 0xBEEF;
  streams->setSource(source);
  session.protocol().setHandler(kSimCommandStream,
                                [streams](SimContext& c, const SimPacket& p) { streams->handle(c, p); });
  session.setTicker(
      10ms, [streams](SimContext& c) { streams->publish(c); }, start);
  session.connect(start);
  session.advance(start + 10ms);
  EXPECT_EQ(hex(session.output()), "") << "no stream started";
  const Bytes startAll{0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x12, 0xFF, 0x02};
  ASSERT_TRUE(session.receive(startAll.data(), startAll.size(), start + 12ms));
  EXPECT_EQ(hex(session.output()), "04 03 5D C1 00");
  session.output().clear();
  session.advance(start + 55ms);  // four ticks late
  EXPECT_EQ(hex(session.output()), "04 0F 12 01 42 02 00 00 00 00 00 00 00 00 BE EF 00");
  EXPECT_EQ(streams->record().samplesSent, 1u);
  session.disconnect();
  EXPECT_EQ(session.nextDue(), std::nullopt) << "no ticks without a host";
}

}  // namespace
