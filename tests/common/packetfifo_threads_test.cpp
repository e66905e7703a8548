#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <thread>
#include <vector>

#include "common/packetfifo.h"
#include "support/eventually.h"
#include "support/sleeping_threads.h"
#include "support/test_fifo.h"
#include "support/test_packets.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a woken waiter may take to return; far below every deadline the tests give.
constexpr auto kPrompt = milliseconds(3000);

class FifoThreadsTest : public FifoTest {
 protected:
  // Puts the tags from another thread once the waiter is asleep.
  void PutLater(std::vector<uint8_t> tags) {
    producer_ = std::thread([this, tags] {
      EXPECT_TRUE(qftest::Eventually([this] { return waiters.asleep() == 1; })) << "the waiter is not asleep";
      for (uint8_t tag : tags) aPacketFifo_Put(fifo, MakeTagged(tag).get());
    });
  }

  void TearDown() override {
    if (producer_.joinable()) producer_.join();
    FifoTest::TearDown();
  }

  // The waiter's packet once it returned; a waiter that is not back in time is released by
  // destroying the FIFO, so a failing test still ends.
  OwnedPacket Outcome(std::future<OwnedPacket>& waiter) {
    if (waiter.wait_for(kPrompt) != std::future_status::ready) {
      ADD_FAILURE() << "the waiter did not return";
      aPacketFifo_Destroy(&fifo);
    }
    return waiter.get();
  }

  qftest::SleepingThreads waiters;
  std::thread producer_;
};

TEST_F(FifoThreadsTest, AWaiterIsWokenByAnotherThreadsPut) {
  for (uint64_t timeout : {uint64_t{60000}, UINT64_MAX}) {
    const auto start = Clock::now();
    waiters.clear();
    auto waiter = std::async(std::launch::async, [&] {
      waiters.enter();
      return OwnedPacket(aPacketFifo_Await(fifo, timeout));
    });
    PutLater({42});
    EXPECT_EQ(Tag(Outcome(waiter)), 42) << "time-out " << timeout;
    EXPECT_LT(Clock::now() - start, kPrompt);
    producer_.join();
  }
}

// Three packets present and rejected, more rejected ones arriving, then the wanted one: every
// packet reaches the predicate exactly once however often the waiter wakes, and the search stops
// at the match.
TEST_F(FifoThreadsTest, AwaitFirstOffersEachPacketOnceWhileItWaits) {
  PutTags({1, 2, 3});
  const TagPicker picker{{9}};
  auto waiter = std::async(std::launch::async, [&] {
    waiters.enter();
    return OwnedPacket(aPacketFifo_AwaitFirst(fifo, TagPicker::Pick, &picker, 60000));
  });
  PutLater({4, 5, 9, 6});
  EXPECT_EQ(Tag(Outcome(waiter)), 9);
  producer_.join();
  EXPECT_EQ(picker.offered, (std::vector<uint8_t>{1, 2, 3, 4, 5, 9}));
  EXPECT_EQ(TakeAll(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(FifoThreadsTest, DestroyReleasesEveryWaiterAtOnce) {
  const TagPicker never{{}};
  std::vector<std::future<OwnedPacket>> futures;
  for (uint64_t timeout : {uint64_t{60000}, UINT64_MAX}) {
    futures.push_back(std::async(std::launch::async, [&, timeout] {
      waiters.enter();
      return OwnedPacket(aPacketFifo_Await(fifo, timeout));
    }));
    futures.push_back(std::async(std::launch::async, [&, timeout] {
      waiters.enter();
      return OwnedPacket(aPacketFifo_AwaitFirst(fifo, TagPicker::Pick, &never, timeout));
    }));
  }
  PutTags({1});  // one Await takes it; the other three waiters stay asleep
  EXPECT_TRUE(qftest::Eventually([&] { return aPacketFifo_GetLength(fifo) == 0; }, kPrompt));
  EXPECT_TRUE(qftest::Eventually([&] { return waiters.asleep() == 3; }, kPrompt));
  const auto start = Clock::now();
  ASSERT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
  size_t released = 0, handedOut = 0;
  for (auto& waiter : futures) {
    ASSERT_EQ(waiter.wait_for(kPrompt), std::future_status::ready);
    (waiter.get() ? handedOut : released)++;
  }
  EXPECT_LT(Clock::now() - start, kPrompt);
  EXPECT_EQ(handedOut, 1u) << "one Await took the single packet";
  EXPECT_EQ(released, 3u);
}

// Waiting for a packet without taking it: woken by a put, leaving the packet where it is; false at
// the deadline and when the FIFO is destroyed.
TEST_F(FifoThreadsTest, AwaitAnyWakesOnAPutAndTakesNothing) {
  EXPECT_FALSE(aPacketFifo_AwaitAny(fifo, 20));
  auto waiter = std::async(std::launch::async, [&] {
    waiters.enter();
    return aPacketFifo_AwaitAny(fifo, 60000);
  });
  PutLater({7});
  ASSERT_EQ(waiter.wait_for(kPrompt), std::future_status::ready);
  EXPECT_TRUE(waiter.get());
  producer_.join();
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 1u);
  EXPECT_TRUE(aPacketFifo_AwaitAny(fifo, 0));
  EXPECT_EQ(TakeAll(), std::vector<uint8_t>{7});
  auto released = std::async(std::launch::async, [&] { return aPacketFifo_AwaitAny(fifo, UINT64_MAX); });
  EXPECT_EQ(released.wait_for(milliseconds(50)), std::future_status::timeout);
  ASSERT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
  ASSERT_EQ(released.wait_for(kPrompt), std::future_status::ready);
  EXPECT_FALSE(released.get());
}

// A producer that must not lose packets: on a full FIFO it waits for a consumer's take, gives up
// at its deadline with nothing lost, and is released by a destroy.
TEST_F(FifoThreadsTest, AWaitingPutGoesOnWhenRoomIsMadeAndNeverDiscards) {
  for (size_t i = 0; i < aPACKETFIFO_MAX_ENTRIES; ++i)
    ASSERT_EQ(aPacketFifo_PutWaiting(fifo, MakeTagged(uint8_t(i)).get(), 0), aErrNone);
  EXPECT_EQ(aPacketFifo_PutWaiting(fifo, MakeTagged(1).get(), 0), aErrResource);
  EXPECT_EQ(aPacketFifo_PutWaiting(fifo, MakeTagged(1).get(), 30), aErrResource);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), aPACKETFIFO_MAX_ENTRIES) << "a refused put discards nothing";

  auto producer =
      std::async(std::launch::async, [&] { return aPacketFifo_PutWaiting(fifo, MakeTagged(0xEE).get(), 60000); });
  EXPECT_EQ(producer.wait_for(milliseconds(50)), std::future_status::timeout) << "no room yet";
  EXPECT_EQ(Tag(OwnedPacket(aPacketFifo_Get(fifo))), 0);
  ASSERT_EQ(producer.wait_for(kPrompt), std::future_status::ready);
  EXPECT_EQ(producer.get(), aErrNone);
  const std::vector<uint8_t> tags = TakeAll();
  ASSERT_EQ(tags.size(), aPACKETFIFO_MAX_ENTRIES);
  EXPECT_EQ(tags.front(), 1);
  EXPECT_EQ(tags.back(), 0xEE);

  for (size_t i = 0; i < aPACKETFIFO_MAX_ENTRIES; ++i) aPacketFifo_PutWaiting(fifo, MakeTagged(2).get(), 0);
  auto released =
      std::async(std::launch::async, [&] { return aPacketFifo_PutWaiting(fifo, MakeTagged(3).get(), UINT64_MAX); });
  EXPECT_EQ(released.wait_for(milliseconds(50)), std::future_status::timeout);
  ASSERT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
  ASSERT_EQ(released.wait_for(kPrompt), std::future_status::ready);
  EXPECT_EQ(released.get(), aErrParam);
}

// A batch larger than the FIFO waits for room while a consumer takes what is queued: the
// consumer must have been woken for the part already in, or both would wait for each other.
// Each packet waits for its own room: the consumer pauses, so that the whole batch takes longer
// than the put's time-out, each wait for room less.
TEST_F(FifoThreadsTest, ABatchLargerThanTheFifoReachesAWaitingConsumerInOrder) {
  constexpr auto kPause = milliseconds(300);
  constexpr uint64_t kRoomWaitMs = 500;
  constexpr size_t kBatch = aPACKETFIFO_MAX_ENTRIES * 3 / 2;
  std::vector<OwnedPacket> owned;
  std::vector<const aPacket*> batch;
  for (size_t i = 0; i < kBatch; ++i) {
    owned.push_back(MakeTagged(uint8_t(i)));
    batch.push_back(owned.back().get());
  }
  auto consumer = std::async(std::launch::async, [&] {
    std::vector<uint8_t> tags;
    while (tags.size() < kBatch) {
      const OwnedPacket packet(aPacketFifo_Await(fifo, 3000));
      if (!packet) break;
      tags.push_back(Tag(packet));
      if (tags.size() % 200 == 0 && tags.size() < kBatch - aPACKETFIFO_MAX_ENTRIES) std::this_thread::sleep_for(kPause);
    }
    return tags;
  });
  EXPECT_EQ(aPacketFifo_PutSeveralWaiting(fifo, batch.data(), batch.size(), kRoomWaitMs), aErrNone);
  ASSERT_EQ(consumer.wait_for(kPrompt), std::future_status::ready);
  const std::vector<uint8_t> tags = consumer.get();
  ASSERT_EQ(tags.size(), kBatch);
  for (size_t i = 0; i < kBatch; ++i) ASSERT_EQ(tags[i], uint8_t(i)) << i;
}

// Several producers and consumers at once: nothing is lost or doubled, and each consumer sees
// any one producer's packets in the order they were put.
TEST_F(FifoThreadsTest, ConcurrentProducersAndConsumersKeepEveryPacketOnce) {
  constexpr int kProducers = 4, kConsumers = 3, kEach = 200;  // below the FIFO's limit in total
  std::atomic<int> taken{0};
  std::vector<std::vector<std::pair<int, int>>> received(kConsumers);
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p)
    threads.emplace_back([this, p] {
      for (int n = 0; n < kEach; ++n)
        aPacketFifo_Put(fifo, MakePacket(0x02, {0x10, uint8_t(p), uint8_t(n >> 8), uint8_t(n)}).get());
    });
  for (int c = 0; c < kConsumers; ++c)
    threads.emplace_back([&, c] {
      const auto deadline = Clock::now() + kPrompt;
      while (taken < kProducers * kEach && Clock::now() < deadline) {
        OwnedPacket packet{aPacketFifo_Await(fifo, 20)};
        if (!packet) continue;
        received[c].emplace_back(packet->data[1], packet->data[2] << 8 | packet->data[3]);
        ++taken;
      }
    });
  for (auto& thread : threads) thread.join();

  std::map<int, std::vector<int>> all;
  for (const auto& consumer : received) {
    std::map<int, int> last;
    for (auto [producer, n] : consumer) {
      if (last.count(producer)) {
        EXPECT_GT(n, last[producer]) << "producer " << producer;
      }
      last[producer] = n;
      all[producer].push_back(n);
    }
  }
  ASSERT_EQ(all.size(), size_t(kProducers));
  for (auto& [producer, numbers] : all) {
    std::sort(numbers.begin(), numbers.end());
    ASSERT_EQ(numbers.size(), size_t(kEach)) << "producer " << producer;
    for (int n = 0; n < kEach; ++n) EXPECT_EQ(numbers[n], n);
  }
}

}  // namespace
