#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "common/aMutex.h"
#include "common/aThread.h"
#include "common/aTime.h"
#include "support/eventually.h"

namespace {

// Shared by the counting threads: a plain counter that only the mutex protects.
struct Counter {
  aMutex* mutex = nullptr;
  long value = 0;
  int rounds = 0;
  std::atomic<int> lockFailures{0};
};

void* CountUnderLock(void* argument) {
  auto* counter = static_cast<Counter*>(argument);
  for (int i = 0; i < counter->rounds; ++i) {
    if (aMutex_Lock(counter->mutex) != aErrNone) counter->lockFailures++;
    ++counter->value;
    if (aMutex_Unlock(counter->mutex) != aErrNone) counter->lockFailures++;
    if (i % 1000 == 0) aThread_Yield();
  }
  return nullptr;
}

TEST(Threads, MutexKeepsConcurrentUpdatesApart) {
  Counter counter;
  counter.mutex = aMutex_Create("counter");
  counter.rounds = 20000;
  ASSERT_NE(counter.mutex, nullptr);
  std::vector<aThread*> threads;
  for (int i = 0; i < 4; ++i) {
    threads.push_back(aThread_Create(CountUnderLock, &counter));
    ASSERT_NE(threads.back(), nullptr);
  }
  for (aThread*& thread : threads) {
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_EQ(thread, nullptr);
  }
  EXPECT_EQ(counter.value, 4L * counter.rounds);
  EXPECT_EQ(counter.lockFailures, 0);
  EXPECT_EQ(aMutex_Destroy(&counter.mutex), aErrNone);
}

// Holds a mutex until told to let go.
struct Holder {
  aMutex* mutex = nullptr;
  std::atomic<bool> holding{false};
  std::atomic<bool> release{false};
};

void* HoldUntilReleased(void* argument) {
  auto* holder = static_cast<Holder*>(argument);
  aMutex_Lock(holder->mutex);
  holder->holding = true;
  while (!holder->release) aThread_Yield();
  aMutex_Unlock(holder->mutex);
  return nullptr;
}

bool WaitFor(const std::atomic<bool>& flag) {
  return qftest::Eventually([&] { return flag.load(); }, std::chrono::milliseconds(5000));
}

TEST(Threads, MutexHeldByAnotherThreadIsBusy) {
  Holder holder;
  holder.mutex = aMutex_Create("held");
  ASSERT_NE(holder.mutex, nullptr);
  aThread* thread = aThread_Create(HoldUntilReleased, &holder);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(WaitFor(holder.holding));
  EXPECT_EQ(aMutex_TryLock(holder.mutex), aErrBusy);
  holder.release = true;
  EXPECT_EQ(aThread_Destroy(&thread), 0);
  EXPECT_EQ(aMutex_TryLock(holder.mutex), aErrNone);
  EXPECT_EQ(aMutex_Unlock(holder.mutex), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&holder.mutex), aErrNone);
}

// Finishes a little later than it starts, leaving a mark that the join must have waited for.
void* FinishLate(void* argument) {
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the lateness the join must wait out
  static_cast<std::atomic<int>*>(argument)->store(42);
  return reinterpret_cast<void*>(1);
}

TEST(Threads, DestroyWaitsForTheProcedureToReturn) {
  std::atomic<int> mark{0};
  aThread* thread = aThread_Create(FinishLate, &mark);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(aThread_Destroy(&thread), 0);
  EXPECT_EQ(mark, 42);
  EXPECT_EQ(thread, nullptr);
  EXPECT_EQ(aThread_Destroy(&thread), EINVAL);
  EXPECT_EQ(aThread_Destroy(nullptr), EINVAL);
  EXPECT_EQ(aThread_Create(nullptr, &mark), nullptr);
}

}  // namespace
