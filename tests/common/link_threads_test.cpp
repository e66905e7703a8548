// The link engine against an in-memory transport that plays the module byte by byte: framing
// and synchronisation, heartbeat answers, the user filter, pooled writes, the controls, and how
// much the reader costs while nothing happens.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aLinkServing.h"
#include "common/aPacketLog.h"
#include "common/internal/aLinkRegistry.h"
#include "common/internal/aLink_internal.h"
#include "support/eventually.h"
#include "support/pipe_transport.h"
#include "support/test_packets.h"

namespace {

using qftest::Eventually;
using qftest::PipeTransport;

using namespace std::chrono_literals;
using Bytes = PipeTransport::Bytes;
using Clock = std::chrono::steady_clock;

const Bytes kBurstFrame{0xAD, 0x00};
const Bytes kRouteOn{0xAF, 0x01, 0x01};
const Bytes kRouteOff{0xAF, 0x01, 0x00};
constexpr auto kSoon = 3s;      // for what must happen
constexpr auto kQuiet = 150ms;  // how long nothing is awaited

int CountBursts(const std::vector<Bytes>& writes) {
  return static_cast<int>(std::count(writes.begin(), writes.end(), kBurstFrame)) / 6;
}

std::vector<Bytes> Without(std::vector<Bytes> writes, const Bytes& frame) {
  writes.erase(std::remove(writes.begin(), writes.end(), frame), writes.end());
  return writes;
}

// A started link over the pipe; the force-route-on frame it writes first is awaited and cleared.
struct PipeLink {
  bool Open() {
    id = aLink_Create(pipe.MakeStream(waitBeforeRead));
    if (!id || !AwaitWriteCount(1)) return false;
    const bool routed = pipe.Writes() == std::vector<Bytes>{kRouteOn};
    pipe.ClearWrites();
    return routed;
  }
  ~PipeLink() {
    if (id) aLink_Destroy(&id);
  }
  aLink* Engine() const { return aLink_Lookup(id); }
  bool AwaitWriteCount(size_t count, std::chrono::milliseconds timeout = kSoon) {
    return pipe.AwaitWrites([count](auto& writes) { return writes.size() >= count; }, timeout);
  }
  // The packet received next, within kSoon.
  OwnedPacket Received() { return OwnedPacket(aLink_AwaitPacket(id, 3000)); }

  PipeTransport pipe;  // outlives the link's stream
  aLinkID id = 0;
  bool waitBeforeRead = false;  // what the stream declares, before Open
};

class PipeLinkTest : public testing::Test, protected PipeLink {
 protected:
  void SetUp() override { ASSERT_TRUE(Open()); }
};

TEST(PipeLinkSyncTest, SynchronisationFollowsTheModulesAnswer) {
  struct Case {
    const char* what;
    Bytes received;
    int32_t status;
    uint32_t syncState;
    int bursts;
  } cases[] = {
      {"zero first byte sends a burst", {0x00}, SYNCING, kSyncStateByte1, 1},
      {"odd first byte sends a burst", {0x05}, SYNCING, kSyncStateByte1, 1},
      {"an odd address while waiting resends", {0x05, 0x03}, SYNCING, kSyncStateByte1, 2},
      {"a wrong second address falls back", {0x05, 0x04, 0x00, 0x06}, SYNCING, kSyncStateStart, 1},
      {"the byte after a fallback resends", {0x05, 0x04, 0x00, 0x06, 0x00}, SYNCING, kSyncStateByte1, 2},
      {"a non-zero length falls back", {0x05, 0x04, 0x01}, SYNCING, kSyncStateStart, 1},
      {"the answer brings the link in step", {0x05, 0x04, 0x00, 0x04, 0x00}, RUNNING, kSyncStateIdle, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PipeLink link;
    ASSERT_TRUE(link.Open());
    aLink* engine = link.Engine();
    link.pipe.Feed(c.received);
    EXPECT_TRUE(Eventually([&] {
      return CountBursts(link.pipe.Writes()) >= c.bursts && engine->status == c.status &&
             engine->syncState == c.syncState;
    })) << "status "
        << engine->status << " state " << engine->syncState << " bursts " << CountBursts(link.pipe.Writes());
    EXPECT_EQ(Without(link.pipe.Writes(), kBurstFrame), std::vector<Bytes>{}) << "only bursts are written";
    if (c.status == RUNNING) {
      EXPECT_EQ(engine->syncAddress, 0x04);
    }
  }
}

TEST_F(PipeLinkTest, PacketsAfterSynchronisationAreDelivered) {
  pipe.Feed({0x00, 0x04, 0x00, 0x04, 0x00, 0x04, 0x01, 0x07});
  OwnedPacket packet = Received();
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->address, 0x04);
  EXPECT_EQ(PacketData(packet.get()), Bytes{0x07});
  EXPECT_EQ(aLink_GetStatus(id), RUNNING);
}

TEST_F(PipeLinkTest, HeartbeatsAreAnsweredAndConsumed) {
  struct Case {
    Bytes received;
    Bytes answer;  // empty: none is written
    bool queued;   // reaches the inbound FIFO
  } cases[] = {
      {{0x04, 0x02, 0x00, 0x00}, {0x04, 0x02, 0x00, 0x02}, false},
      {{0x04, 0x02, 0x00, 0x01}, {0x04, 0x02, 0x00, 0x03}, false},
      {{0x06, 0x02, 0x00, 0xFF}, {0x06, 0x02, 0x00, 0x01}, false},
      {{0x04, 0x02, 0x01, 0x00}, {}, true},
      {{0x04, 0x03, 0x00, 0x00, 0x00}, {}, true},
      {{0x04, 0x01, 0x00}, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.received));
    pipe.ClearWrites();
    pipe.Feed(c.received);
    if (!c.answer.empty()) {
      ASSERT_TRUE(AwaitWriteCount(1));
      EXPECT_EQ(pipe.Writes(), std::vector<Bytes>{c.answer});
    }
    OwnedPacket packet(aLink_AwaitPacket(id, c.queued ? 3000 : kQuiet.count()));
    ASSERT_EQ(packet != nullptr, c.queued);
    if (packet) {
      EXPECT_EQ(PacketData(packet.get()), Bytes(c.received.begin() + 2, c.received.end()));
    }
    if (c.answer.empty()) {
      EXPECT_TRUE(pipe.Writes().empty());
    }
  }
}

struct FilterRecord {
  std::vector<Bytes> seen;  // read once the filter is removed
  std::atomic<int> calls{0};
  bool consume = true;
  static bool Filter(const aPacket* packet, void* ref) {
    auto* record = static_cast<FilterRecord*>(ref);
    record->seen.push_back(PacketData(packet));
    ++record->calls;
    return record->consume;
  }
};

TEST_F(PipeLinkTest, UserFilterSeesEveryPacketAndConsumesWhatItTakes) {
  FilterRecord record;
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, FilterRecord::Filter, &record), aErrNone);
  pipe.Feed({0x04, 0x02, 0x00, 0x00, 0x04, 0x01, 0x09});
  ASSERT_TRUE(Eventually([&] { return record.calls == 2; }));
  EXPECT_EQ(aLink_AwaitPacket(id, kQuiet.count()), nullptr);
  EXPECT_TRUE(pipe.Writes().empty()) << "a consumed heartbeat is not answered";
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);  // the filter is done
  EXPECT_EQ(record.seen, (std::vector<Bytes>{{0x00, 0x00}, {0x09}}));

  record.consume = false;
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, FilterRecord::Filter, &record), aErrNone);
  pipe.Feed({0x04, 0x01, 0x0A});
  EXPECT_TRUE(Received());
  EXPECT_EQ(aLink_InstallUserPacketFilter(0xFFFFFF02, nullptr, nullptr), aErrParam);
}

// A deliverer that holds the stream delivers what comes on its own thread, the user filter
// included, while the reader thread stays out of the stream; what the filter leaves is queued
// inbound as the reader thread would queue it.
TEST_F(PipeLinkTest, ADelivererRunsTheUserFilterOnItsOwnThread) {
  struct ThreadRecord {
    std::atomic<int> calls{0};
    std::thread::id ranOn;  // read after the deliverer is joined
    static bool Filter(const aPacket*, void* ref) {
      auto* record = static_cast<ThreadRecord*>(ref);
      record->ranOn = std::this_thread::get_id();
      ++record->calls;
      return false;
    }
  } record;
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, ThreadRecord::Filter, &record), aErrNone);
  std::atomic<aErr> delivered{aErrBusy};
  std::thread::id delivererId;
  std::thread deliverer([&] {
    delivererId = std::this_thread::get_id();
    // Busy while the reader thread waits in the stream; it steps aside once a deliverer asked.
    for (int turn = 0; turn < 3000 && record.calls == 0; ++turn) {
      delivered = aLink_ReadDelivering(id, 1000);
      if (delivered != aErrNone) std::this_thread::sleep_for(1ms);
    }
  });
  ASSERT_TRUE(Eventually([&] { return Engine()->callerReading.load(); }));
  pipe.Feed({0x04, 0x01, 0x0A});
  deliverer.join();
  EXPECT_EQ(delivered, aErrNone);
  EXPECT_EQ(record.calls, 1);
  EXPECT_EQ(record.ranOn, delivererId);
  const OwnedPacket left = Received();
  ASSERT_TRUE(left);
  EXPECT_EQ(PacketData(left.get()), Bytes{0x0A});
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
  EXPECT_EQ(aLink_ReadDelivering(0xFFFFFF02, 0), aErrParam);
}

TEST_F(PipeLinkTest, PooledWritesGatherWhatIsQueued) {
  ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
  pipe.HoldWrites();
  OwnedPacket gate = MakePacket(0x04, {0x01});
  ASSERT_EQ(aLink_PutPacket(id, gate.get()), aErrNone);
  ASSERT_TRUE(pipe.AwaitHeldWrite(kSoon));  // the writer is inside the gate's write
  const OwnedPacket full = MakePacket(0x04, Bytes(aPACKET_MAX_DATA, 0x5A));
  for (int i = 0; i < 200; ++i) ASSERT_EQ(aLink_PutPacket(id, full.get()), aErrNone);
  pipe.Release();
  ASSERT_TRUE(AwaitWriteCount(3));
  std::vector<size_t> sizes;
  for (const Bytes& write : pipe.Writes()) sizes.push_back(write.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{3, 136 * 30, 64 * 30}));

  ASSERT_EQ(aLink_EnablePooledPackets(id, false), aErrNone);
  pipe.ClearWrites();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(aLink_PutPacket(id, full.get()), aErrNone);
  ASSERT_TRUE(AwaitWriteCount(3));
  EXPECT_EQ(pipe.Writes().size(), 3u);
}

// A batch goes out in order with nothing between its frames: on a quiet link at once, pooled
// into as few writes as fit or one write per frame; behind a write in progress, after it.
TEST_F(PipeLinkTest, ABatchGoesOutWholeAndInOrder) {
  std::vector<OwnedPacket> owned;
  std::vector<const aPacket*> batch;
  Bytes frames;
  for (uint8_t i = 0; i < 150; ++i) {
    owned.push_back(MakePacket(0x04, Bytes(aPACKET_MAX_DATA, i)));
    batch.push_back(owned.back().get());
    frames.push_back(0x04);
    frames.push_back(aPACKET_MAX_DATA);
    frames.insert(frames.end(), aPACKET_MAX_DATA, i);
  }
  const auto writeSizes = [&] {
    std::vector<size_t> sizes;
    for (const Bytes& write : pipe.Writes()) sizes.push_back(write.size());
    return sizes;
  };
  struct Case {
    bool pooled;
    bool behindAWrite;
    std::vector<size_t> sizes;  // of the writes after a gate's, if any
  } cases[] = {
      {true, false, {136 * 30, 14 * 30}},
      {false, false, std::vector<size_t>(150, 30)},
      {true, true, {136 * 30, 14 * 30}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "pooled " << c.pooled << ", behind a write " << c.behindAWrite);
    ASSERT_EQ(aLink_EnablePooledPackets(id, c.pooled), aErrNone);
    pipe.ClearWrites();
    const OwnedPacket gate = MakePacket(0x04, {0x01});
    if (c.behindAWrite) {
      pipe.HoldWrites();
      ASSERT_EQ(aLink_PutPacket(id, gate.get()), aErrNone);
      ASSERT_TRUE(pipe.AwaitHeldWrite(kSoon));
    }
    ASSERT_EQ(aLink_PutPackets(id, batch.data(), batch.size()), aErrNone);
    if (c.behindAWrite) pipe.Release();
    const size_t gateWrites = c.behindAWrite ? 1 : 0;
    ASSERT_EQ(aLink_AwaitOutboundWritten(id, 3000), aErrNone);
    ASSERT_TRUE(AwaitWriteCount(gateWrites + c.sizes.size()));
    std::vector<size_t> sizes = writeSizes();
    sizes.erase(sizes.begin(), sizes.begin() + static_cast<long>(gateWrites));
    EXPECT_EQ(sizes, c.sizes);
    Bytes written = pipe.Written();
    written.erase(written.begin(), written.begin() + static_cast<long>(gateWrites * 3));
    EXPECT_EQ(written, frames);
  }
  const aPacket* invalid[] = {batch[0], nullptr};
  EXPECT_EQ(aLink_PutPackets(id, invalid, 2), aErrParam);
  EXPECT_EQ(aLink_PutPackets(0xFFFFFF02, batch.data(), 1), aErrParam);
}

// Callers that write on their own threads and the writer thread never split or reorder frames:
// every thread's packets arrive whole and in the order it put them.
TEST_F(PipeLinkTest, PacketsFromManyThreadsGoOutWholeAndInOrder) {
  constexpr int kThreads = 4, kEach = 300;
  std::vector<std::thread> putters;
  for (int t = 0; t < kThreads; ++t)
    putters.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i)
        EXPECT_EQ(aLink_PutPacket(id, MakePacket(0x04, {uint8_t(t), uint8_t(i >> 8), uint8_t(i)}).get()), aErrNone);
    });
  for (std::thread& putter : putters) putter.join();
  constexpr size_t kFrame = 5;
  ASSERT_TRUE(pipe.AwaitWrites(
      [&](const std::vector<Bytes>& writes) {
        size_t bytes = 0;
        for (const Bytes& write : writes) bytes += write.size();
        return bytes >= kThreads * kEach * kFrame;
      },
      kSoon));
  const Bytes written = pipe.Written();
  ASSERT_EQ(written.size(), kThreads * kEach * kFrame);
  int next[kThreads] = {};
  for (size_t at = 0; at < written.size(); at += kFrame) {
    ASSERT_EQ(written[at], 0x04) << at;
    ASSERT_EQ(written[at + 1], 3) << at;
    const int thread = written[at + 2];
    ASSERT_LT(thread, kThreads);
    EXPECT_EQ(written[at + 3] << 8 | written[at + 4], next[thread]++) << "thread " << thread;
  }
}

uint8_t AcceptAll(const aPacket*, const void*) { return 1; }

TEST_F(PipeLinkTest, AwaitFirstWaitsOnlyWhileRunning) {
  pipe.Feed({0x04, 0x01, 0x01});
  ASSERT_TRUE(Eventually([&] { return aPacketFifo_GetLength(Engine()->inboundFifo) == 1; }));
  EXPECT_EQ(aLink_AwaitFirst(id, AcceptAll, nullptr, 0), nullptr) << "time-out 0 never looks";

  Engine()->status = SYNCING;  // as a synchronisation request does
  const auto start = Clock::now();
  EXPECT_EQ(aLink_AwaitFirst(id, AcceptAll, nullptr, 2000), nullptr);
  EXPECT_LT(Clock::now() - start, 50ms);

  // The reader finds SYNCING at its next empty read and sends a burst; the answer ends it.
  ASSERT_TRUE(Eventually([&] { return CountBursts(pipe.Writes()) >= 1; }));
  pipe.Feed({0x04, 0x00, 0x04, 0x00});
  ASSERT_TRUE(Eventually([&] { return aLink_GetStatus(id) == RUNNING; }));
  EXPECT_TRUE(OwnedPacket(aLink_AwaitFirst(id, AcceptAll, nullptr, 2000)));
}

TEST_F(PipeLinkTest, AwaitFirstEndsSoonAfterTheLinkLeavesRunning) {
  std::thread leave([this] {
    std::this_thread::sleep_for(50ms);  // how long the await must last
    pipe.Feed({0x00});                  // a framing error: resynchronisation
  });
  const auto start = Clock::now();
  EXPECT_EQ(aLink_AwaitFirst(id, AcceptAll, nullptr, UINT64_MAX), nullptr);  // waits for ever...
  EXPECT_GE(Clock::now() - start, 40ms);
  EXPECT_LT(Clock::now() - start, 1000ms);  // ...but only while the link runs in step
  leave.join();
}

TEST_F(PipeLinkTest, StartAndStopAreIdempotent) {
  EXPECT_EQ(aLink_Start(id), aErrNone);
  EXPECT_FALSE(AwaitWriteCount(1, kQuiet)) << "a second start sent force-route again";
  ASSERT_EQ(aLink_Stop(Engine()), aErrNone);
  EXPECT_EQ(pipe.Writes(), std::vector<Bytes>{kRouteOff});
  EXPECT_EQ(aLink_GetStatus(id), STOPPED);
  EXPECT_EQ(aLink_Stop(Engine()), aErrNone);
  EXPECT_EQ(pipe.Writes(), std::vector<Bytes>{kRouteOff});
  EXPECT_EQ(aLink_Stop(nullptr), aErrParam);

  pipe.ClearWrites();  // a stopped link starts again
  ASSERT_EQ(aLink_Start(id), aErrNone);
  ASSERT_TRUE(AwaitWriteCount(1));
  EXPECT_EQ(pipe.Writes(), std::vector<Bytes>{kRouteOn});
}

TEST_F(PipeLinkTest, DestroyWritesForceRouteOffAfterLeavingTheRegistry) {
  OwnedPacket late = MakePacket(0x04, {0x11});
  ASSERT_EQ(aLink_PutPacket(id, late.get()), aErrNone);
  const aLinkID gone = id;
  ASSERT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(pipe.Written(), (Bytes{0x04, 0x01, 0x11, 0xAF, 0x01, 0x00}));
  EXPECT_EQ(aLink_GetStatus(gone), INVALID_LINK_STREAM);
  aLinkID again = gone;
  EXPECT_EQ(aLink_Destroy(&again), aErrParam);
}

TEST_F(PipeLinkTest, ReadFailureRecoversThroughSynchronisation) {
  pipe.FeedFailure(aErrIO);
  ASSERT_TRUE(Eventually([&] { return CountBursts(pipe.Writes()) >= 1; })) << "no burst after the read error";
  pipe.Feed({0x04, 0x00, 0x04, 0x00});
  EXPECT_TRUE(Eventually([&] { return aLink_GetStatus(id) == RUNNING; }));
}

struct LogRecord {
  uint8_t tag;
  Bytes bytes;
  auto operator<=>(const LogRecord&) const = default;
};

// Takes the next record of the link's log, if there is one.
bool TakeLogRecord(aLinkID id, std::vector<LogRecord>& records) {
  uint8_t tag = 0;
  uint32_t length = 64;
  uint8_t buffer[64];
  if (aLink_PacketDebug_Read(id, &tag, &length, buffer) != aErrNone) return false;
  records.push_back({tag, Bytes(buffer, buffer + length)});
  return true;
}

// A log enabled before the start records everything the link carries, force-route on included.
TEST(LinkLogThreadsTest, TrafficIsRecordedWhileTheLogIsEnabled) {
  PipeTransport pipe;
  aLinkID id = sCreate(0xFFFFFFFF, 0, 0);
  ASSERT_EQ(aLink_Init(id, pipe.MakeStream()), id);
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  ASSERT_EQ(aLink_Start(id), aErrNone);
  pipe.Feed({0x04, 0x01, 0x21});
  OwnedPacket sent = MakePacket(0x04, {0x22, 0x23});
  ASSERT_EQ(aLink_PutPacket(id, sent.get()), aErrNone);
  std::vector<LogRecord> records;
  ASSERT_TRUE(Eventually([&] {
    TakeLogRecord(id, records);
    return records.size() >= 3;
  }));
  // Reader and writer record on their own threads: only the order within each is fixed.
  std::sort(records.begin(), records.end());
  EXPECT_EQ(records, (std::vector<LogRecord>{{aPACKETLOG_SENT, {0x04, 0x02, 0x22, 0x23}},
                                             {aPACKETLOG_SENT, kRouteOn},
                                             {aPACKETLOG_RECEIVED, {0x04, 0x01, 0x21}}}));

  ASSERT_EQ(aLink_PacketDebug_Disable(id), aErrNone);  // recording pauses
  pipe.Feed({0x04, 0x01, 0x24});
  EXPECT_TRUE(OwnedPacket(aLink_AwaitPacket(id, 3000)));
  ASSERT_EQ(aLink_PutPacket(id, sent.get()), aErrNone);
  EXPECT_TRUE(pipe.AwaitWrites([](auto& writes) { return writes.size() >= 3; }, kSoon));
  EXPECT_FALSE(Eventually([&] { return TakeLogRecord(id, records); }, 50ms)) << "recorded while disabled";
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

// A caller reading for its reply over a transport that lets a wait come first waits before it
// reads, so that none of its reads finds nothing (on a socket each is a system call of its own);
// over any other transport it reads first, as the transport's wait may need.
TEST(PipeLinkReplyReadTest, TheCallerWaitsBeforeItsFirstReadOnlyWhereTheTransportAllowsIt) {
  const Bytes kReply{0x02, 0x01, 0x07};
  for (const bool declared : {true, false}) {
    SCOPED_TRACE(declared ? "wait before read declared" : "not declared");
    PipeLink link;
    link.waitBeforeRead = declared;
    ASSERT_TRUE(link.Open());
    link.pipe.Feed(kReply);  // the first wait's reply; from then on the caller reads for itself
    ASSERT_TRUE(link.Received());
    // The caller reads while callers have read lately: a machine that stalls the test longer than
    // that lets the reader take the stream back, and the wait is tried again. A try after a
    // missed one begins with a short wait for nothing, which tells the reader thread that a
    // caller reads again.
    const auto caller = std::this_thread::get_id();
    std::string calls;
    for (int attempt = 0; attempt < 10 && calls.empty(); ++attempt) {
      if (attempt > 0) {
        ASSERT_FALSE(OwnedPacket(aLink_AwaitPacket(link.id, 60)));
      }
      const size_t before = link.pipe.ReaderCallsOn(caller).size();
      std::thread module([&] {
        link.pipe.AwaitWaitOn(caller, before, 500ms);  // else it waits on the queue: the reply ends it
        link.pipe.Feed(kReply);
      });
      const OwnedPacket reply = link.Received();
      module.join();
      ASSERT_TRUE(reply);
      calls = link.pipe.ReaderCallsOn(caller).substr(before);
    }
    ASSERT_FALSE(calls.empty()) << "the caller never read for itself";
    if (declared) EXPECT_EQ(calls.find('e'), std::string::npos) << calls;
    else EXPECT_EQ(calls.substr(0, 2), "ew") << calls;
  }
}

// The reader sleeps in the transport's wait while nothing comes: a handful of calls a second,
// where a reader that spins makes millions.
TEST_F(PipeLinkTest, IdleReaderSleeps) {
  const int before = pipe.ReaderCalls();
  std::this_thread::sleep_for(1000ms);  // the window measured
  EXPECT_LE(pipe.ReaderCalls() - before, 30);
}

TEST_F(PipeLinkTest, BurstsKeepABoundedRate) {
  pipe.Feed({0x00});                    // synchronising against silence
  std::this_thread::sleep_for(1000ms);  // the window whose bursts are counted
  const int silent = CountBursts(pipe.Writes());
  EXPECT_GE(silent, 3) << "synchronisation is not retried";
  EXPECT_LE(silent, 12);

  pipe.ClearWrites();  // and against a stream of garbage, every byte of which restarts it
  const auto start = Clock::now();
  for (int i = 0; i < 20; ++i) {
    pipe.Feed(Bytes(500, 0x01));
    std::this_thread::sleep_for(25ms);  // the garbage's pace
  }
  const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_LE(CountBursts(pipe.Writes()), elapsedMs / 100 + 2);
}

// A link whose writer could not be started: its stop still joins the reader and writes
// force-route off itself.
TEST(LinkStopTest, StopOfAHalfStartedLinkJoinsTheReaderAndWritesForceRouteOff) {
  PipeTransport pipe;
  aLinkID id = sCreate(0xFFFFFFFF, 0, 0);
  ASSERT_EQ(aLink_Init(id, pipe.MakeStream()), id);
  aLink* link = aLink_Lookup(id);
  link->writerProc = nullptr;  // the thread maker refuses a thread without a body
  EXPECT_EQ(aLink_Start(id), aErrResource);
  ASSERT_NE(link->readerThread, nullptr);
  EXPECT_TRUE(Eventually([&] { return link->readerReady.load(); }));
  EXPECT_EQ(aLink_Stop(link), aErrNone);
  EXPECT_EQ(link->readerThread, nullptr);
  EXPECT_EQ(aLink_GetStatus(id), STOPPED);
  EXPECT_EQ(pipe.Written(), kRouteOff);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST(LinkControlTest, LinksWithoutAStreamOrAnIdAreRefused) {
  EXPECT_EQ(aLink_Create(nullptr), 0u);
  aLinkID id = sCreate(0xFFFFFFFF, 0, 0);
  ASSERT_EQ(aLink_Init(id, nullptr), id);
  EXPECT_EQ(aLink_GetStatus(id), INVALID_LINK_STREAM);
  EXPECT_EQ(aLink_Init(id, nullptr), 0u) << "initialised twice";
  EXPECT_EQ(aLink_Start(id), aErrParam);
  EXPECT_EQ(aLink_Sync(id), aErrNotReady);
  EXPECT_EQ(aLink_Stop(aLink_Lookup(id)), aErrNone);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);

  const aLinkID none = 0xFFFFFF03;
  EXPECT_EQ(aLink_Init(none, nullptr), 0u);
  EXPECT_EQ(aLink_Start(none), aErrParam);
  EXPECT_EQ(aLink_Sync(none), aErrParam);
  EXPECT_EQ(aLink_ForceRoute(none, 1), aErrNotFound);
  EXPECT_EQ(aLink_EnablePooledPackets(none, true), aErrParam);
  EXPECT_EQ(aLink_GetPacket(none), nullptr);
  EXPECT_EQ(aLink_AwaitFirst(none, AcceptAll, nullptr, 10), nullptr);
  EXPECT_EQ(aLink_DrainPackets(none, AcceptAll, nullptr), 0u);
}

}  // namespace
