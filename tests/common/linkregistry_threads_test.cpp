// Uses of one link counted from many threads at once: each release sees the count it left, so
// exactly one holder ever tears the link down.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "common/internal/aLinkRegistry.h"

namespace {

constexpr int kThreads = 8;

TEST(RegistryThreadsTest, ConcurrentReleasesHaveExactlyOneLast) {
  const aLinkID id = sCreate(0x7E570001, 0, 1);
  ASSERT_NE(id, 0u);
  for (int i = 0; i < kThreads; ++i) ASSERT_EQ(sAddUse(id), aErrNone);

  std::atomic<int> lasts{0};
  std::latch going(kThreads);
  std::vector<std::thread> holders;
  for (int i = 0; i < kThreads; ++i) {
    holders.emplace_back([&] {
      going.arrive_and_wait();  // release together
      aLinkEntry* last = nullptr;
      EXPECT_EQ(sReleaseUse(id, &last), aErrNone);
      if (last) {
        ++lasts;
        sFreeEntry(&last);
      }
    });
  }
  for (std::thread& holder : holders) holder.join();
  EXPECT_EQ(lasts, 1);
  EXPECT_EQ(sLookupEntryByID(id), nullptr);
}

TEST(RegistryThreadsTest, UsesTakenAndDroppedMeanwhileNeverEndTheLink) {
  const aLinkID id = sCreate(0x7E570002, 0, 1);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(sAddUse(id), aErrNone);  // the creator's use, dropped at the end

  std::atomic<int> early{0};
  std::vector<std::thread> holders;
  for (int i = 0; i < kThreads; ++i) {
    holders.emplace_back([&] {
      for (int round = 0; round < 500; ++round) {
        aLinkID found = 0;
        ASSERT_EQ(sAddUseByIdentifier(0x7E570002, 1, true, &found), aErrNone);
        aLinkEntry* last = nullptr;
        ASSERT_EQ(sReleaseUse(found, &last), aErrNone);
        if (last) ++early;
      }
    });
  }
  for (std::thread& holder : holders) holder.join();
  EXPECT_EQ(early, 0);
  aLinkEntry* last = nullptr;
  EXPECT_EQ(sReleaseUse(id, &last), aErrNone);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->useCount, 0);
  sFreeEntry(&last);
}

}  // namespace
