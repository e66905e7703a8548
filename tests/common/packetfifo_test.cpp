#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "common/packetfifo.h"
#include "support/test_fifo.h"
#include "support/test_packets.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Runs in a freshly started copy of the test program, where no FIFO was made yet.
TEST(PacketFifoIdDeathTest, TheProcessCountsFromOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const aPacketFifoID first = aPacketFifo_Create();
        const aPacketFifoID second = aPacketFifo_Create();
        std::exit(first == 1 && second == 2 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(PacketFifoId, IdsAreNeverReused) {
  aPacketFifoID first = aPacketFifo_Create();
  const aPacketFifoID saved = first;
  ASSERT_EQ(aPacketFifo_Destroy(&first), aErrNone);
  EXPECT_EQ(first, 0u);
  aPacketFifoID second = aPacketFifo_Create();
  EXPECT_GT(second, saved);
  aPacketFifo_Destroy(&second);
}

TEST_F(FifoTest, KeepsArrivalOrder) {
  PutTags({5, 1, 4, 2, 3});
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 5u);
  EXPECT_EQ(TakeAll(), (std::vector<uint8_t>{5, 1, 4, 2, 3}));
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

TEST_F(FifoTest, StoresAndHandsOutCopies) {
  OwnedPacket mine = MakeTagged(7);
  ASSERT_EQ(aPacketFifo_Put(fifo, mine.get()), aErrNone);
  mine->data[0] = 8;
  OwnedPacket taken{aPacketFifo_Get(fifo)};
  ASSERT_TRUE(taken);
  EXPECT_NE(taken.get(), mine.get());
  EXPECT_EQ(Tag(taken), 7);
  EXPECT_TRUE(aPacket_IsComplete(taken.get()));
}

TEST_F(FifoTest, RefusesInvalidPackets) {
  aPacket stale{};
  EXPECT_EQ(aPacketFifo_Put(fifo, nullptr), aErrParam);
  EXPECT_EQ(aPacketFifo_Put(fifo, &stale), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

TEST_F(FifoTest, ThePutPastOneThousandDiscardsTheWholeBacklog) {
  for (size_t i = 0; i < aPACKETFIFO_MAX_ENTRIES; ++i) PutTags({static_cast<uint8_t>(i)});
  EXPECT_EQ(aPacketFifo_GetLength(fifo), aPACKETFIFO_MAX_ENTRIES);
  PutTags({0xE1});
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
  PutTags({0xE2});
  EXPECT_EQ(TakeAll(), std::vector<uint8_t>{0xE2});
}

// A queue whose every packet must go out refuses the put past one thousand and keeps its backlog.
TEST_F(FifoTest, AFifoRefusingOverflowKeepsItsBacklog) {
  aPacketFifo_Destroy(&fifo);
  fifo = aPacketFifo_CreateRefusingOverflow();
  ASSERT_NE(fifo, 0u);
  for (size_t i = 0; i < aPACKETFIFO_MAX_ENTRIES; ++i) PutTags({static_cast<uint8_t>(i)});
  EXPECT_EQ(aPacketFifo_Put(fifo, MakeTagged(0xE1).get()), aErrResource);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), aPACKETFIFO_MAX_ENTRIES);
  EXPECT_EQ(Tag(OwnedPacket(aPacketFifo_Get(fifo))), 0);
  PutTags({0xE2});
  const std::vector<uint8_t> tags = TakeAll();
  ASSERT_EQ(tags.size(), aPACKETFIFO_MAX_ENTRIES);
  EXPECT_EQ(tags.front(), 1);
  EXPECT_EQ(tags.back(), 0xE2);
}

// A batch goes in whole and in order, nothing of it when one packet is invalid, and into a full
// FIFO that refuses overflow only as far as there is room.
TEST_F(FifoTest, PutSeveralKeepsTheBatchInOrderAndStopsWhereRoomEnds) {
  PutTags({1});
  const OwnedPacket two = MakeTagged(2), three = MakeTagged(3), bad;
  const aPacket* batch[] = {two.get(), three.get()};
  ASSERT_EQ(aPacketFifo_PutSeveralWaiting(fifo, batch, 2, 0), aErrNone);
  const aPacket* withInvalid[] = {two.get(), bad.get()};
  EXPECT_EQ(aPacketFifo_PutSeveralWaiting(fifo, withInvalid, 2, 0), aErrParam);
  EXPECT_EQ(TakeAll(), (std::vector<uint8_t>{1, 2, 3}));

  aPacketFifo_Destroy(&fifo);
  fifo = aPacketFifo_CreateRefusingOverflow();
  for (size_t i = 0; i + 1 < aPACKETFIFO_MAX_ENTRIES; ++i) PutTags({0});
  EXPECT_EQ(aPacketFifo_PutSeveralWaiting(fifo, batch, 2, 20), aErrResource);
  const std::vector<uint8_t> tags = TakeAll();
  ASSERT_EQ(tags.size(), aPACKETFIFO_MAX_ENTRIES);
  EXPECT_EQ(tags.back(), 2) << "the packets that fitted stay queued";
}

TEST_F(FifoTest, AwaitWithoutTimeOutNeverSleeps) {
  const auto start = Clock::now();
  EXPECT_EQ(OwnedPacket(aPacketFifo_Await(fifo, 0)), nullptr);
  EXPECT_LT(Clock::now() - start, milliseconds(100));
  PutTags({1, 2});
  EXPECT_EQ(Tag(OwnedPacket(aPacketFifo_Await(fifo, 0))), 1);
}

TEST_F(FifoTest, AwaitGivesUpAtItsDeadline) {
  const auto start = Clock::now();
  EXPECT_EQ(OwnedPacket(aPacketFifo_Await(fifo, 60)), nullptr);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, milliseconds(60));
  EXPECT_LT(waited, milliseconds(2000));
}

TEST_F(FifoTest, GetFirstTakesTheOldestMatchAndKeepsTheRestInOrder) {
  PutTags({1, 2, 3, 2, 4});
  const TagPicker picker{{2, 4}};
  EXPECT_EQ(Tag(OwnedPacket(aPacketFifo_GetFirst(fifo, TagPicker::Pick, &picker))), 2);
  EXPECT_EQ(picker.offered, (std::vector<uint8_t>{1, 2}));
  const TagPicker none{{9}};
  EXPECT_EQ(OwnedPacket(aPacketFifo_GetFirst(fifo, TagPicker::Pick, &none)), nullptr);
  EXPECT_EQ(OwnedPacket(aPacketFifo_GetFirst(fifo, nullptr, nullptr)), nullptr);
  EXPECT_EQ(TakeAll(), (std::vector<uint8_t>{1, 3, 2, 4}));
}

// The final test after the deadline must not offer the same packets again.
TEST_F(FifoTest, AwaitFirstOffersEachPacketOnceBeforeItTimesOut) {
  PutTags({1, 2, 3});
  const TagPicker picker{{9}};
  EXPECT_EQ(OwnedPacket(aPacketFifo_AwaitFirst(fifo, TagPicker::Pick, &picker, 30)), nullptr);
  EXPECT_EQ(picker.offered, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 3u);
}

TEST_F(FifoTest, DrainOffersEveryPacketOnceAndRemovesTheAccepted) {
  struct Case {
    std::set<uint8_t> accepted;
    size_t removed;
    std::vector<uint8_t> left;
  };
  const Case cases[] = {
      {{1, 2, 3, 4, 5}, 5, {}},
      {{}, 0, {1, 2, 3, 4, 5}},
      {{2, 4}, 2, {1, 3, 5}},
  };
  for (const Case& c : cases) {
    PutTags({1, 2, 3, 4, 5});
    const TagPicker picker{c.accepted};
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, TagPicker::Pick, &picker), c.removed);
    EXPECT_EQ(picker.offered, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(TakeAll(), c.left);
  }
  PutTags({1});
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, nullptr, nullptr), 0u);
}

TEST_F(FifoTest, ADestroyedIdNamesNothing) {
  PutTags({1, 2});
  aPacketFifoID saved = fifo;
  ASSERT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
  EXPECT_EQ(fifo, 0u);
  for (aPacketFifoID gone : {saved, aPacketFifoID{0}}) {
    const TagPicker all{{1, 2, 3}};
    EXPECT_EQ(aPacketFifo_Put(gone, MakeTagged(3).get()), aErrParam);
    EXPECT_EQ(OwnedPacket(aPacketFifo_Get(gone)), nullptr);
    EXPECT_EQ(OwnedPacket(aPacketFifo_Await(gone, 10)), nullptr);
    EXPECT_EQ(OwnedPacket(aPacketFifo_GetFirst(gone, TagPicker::Pick, &all)), nullptr);
    EXPECT_EQ(OwnedPacket(aPacketFifo_AwaitFirst(gone, TagPicker::Pick, &all, 10)), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(gone, TagPicker::Pick, &all), 0u);
    EXPECT_EQ(aPacketFifo_GetLength(gone), 0u);
    EXPECT_TRUE(all.offered.empty());
  }
  EXPECT_EQ(aPacketFifo_Destroy(&saved), aErrNotFound);
  EXPECT_NE(saved, 0u) << "an unknown id is left as it was";
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
}

}  // namespace
