// A thread-safe in-memory transport standing in for a module at the byte level, for link tests
// that need exact byte sequences and write boundaries: the test feeds bytes (or one failed
// read) for the link's reader, and sees every write the link's writer makes. Its wait procedure
// sleeps on a condition variable, as a real transport's poll does. Header-only, so only the
// tests that include it link the device library.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/aStream.h"

namespace qftest {

class PipeTransport {
 public:
  using Bytes = std::vector<uint8_t>;

  // A stream over this transport (get, put, write, wait; the delete leaves the transport, which
  // the test owns and must keep until the stream is gone).
  // With waitBeforeRead the stream declares that its wait may come before a read.
  aStream* MakeStream(bool waitBeforeRead = false) {
    aStream* stream = aStream_Create(Get, Put, Write, Delete, this);
    aStream_SetWaitProc(stream, Wait);
    aStream_SetWaitBeforeRead(stream, waitBeforeRead);
    return stream;
  }

  void Feed(const Bytes& bytes) {
    std::lock_guard hold(mutex_);
    for (uint8_t byte : bytes) input_.push_back({aErrNone, byte});
    changed_.notify_all();
  }
  // The next get (after the bytes fed before) fails with this code.
  void FeedFailure(aErr code) {
    std::lock_guard hold(mutex_);
    input_.push_back({code, 0});
    changed_.notify_all();
  }

  // Every write so far, one entry per write call.
  std::vector<Bytes> Writes() const {
    std::lock_guard hold(mutex_);
    return writes_;
  }
  // Everything written so far, in order.
  Bytes Written() const {
    std::lock_guard hold(mutex_);
    Bytes all;
    for (const Bytes& write : writes_) all.insert(all.end(), write.begin(), write.end());
    return all;
  }
  void ClearWrites() {
    std::lock_guard hold(mutex_);
    writes_.clear();
  }
  // Waits until the condition holds on the writes (checked at every write); false on time-out.
  bool AwaitWrites(const std::function<bool(const std::vector<Bytes>&)>& condition, std::chrono::milliseconds timeout) {
    std::unique_lock hold(mutex_);
    return changed_.wait_for(hold, timeout, [&] { return condition(writes_); });
  }
  // Calls of get and of wait so far: what a reader costs while nothing comes.
  int ReaderCalls() const {
    std::lock_guard hold(mutex_);
    return getCalls_ + waitCalls_;
  }
  // The reader-side calls the thread made so far, in order: 'b' a get that delivered, 'e' one
  // that found nothing, 'w' a wait.
  std::string ReaderCallsOn(std::thread::id thread) const {
    std::lock_guard hold(mutex_);
    std::string calls;
    for (const auto& [caller, call] : readerLog_)
      if (caller == thread) calls += call;
    return calls;
  }
  // Waits until the thread has made more than `after` reader-side calls and its last is a wait.
  bool AwaitWaitOn(std::thread::id thread, size_t after, std::chrono::milliseconds timeout) const {
    std::unique_lock hold(mutex_);
    return changed_.wait_for(hold, timeout, [&] {
      size_t count = 0;
      char last = 0;
      for (const auto& [caller, call] : readerLog_)
        if (caller == thread) ++count, last = call;
      return count > after && last == 'w';
    });
  }
  // While held, a write call blocks until Release (for the test to queue packets behind it).
  void HoldWrites() {
    std::lock_guard hold(mutex_);
    held_ = true;
  }
  // True once a write is blocked by HoldWrites, within the time-out.
  bool AwaitHeldWrite(std::chrono::milliseconds timeout) {
    std::unique_lock hold(mutex_);
    return changed_.wait_for(hold, timeout, [&] { return blockedWrites_ > 0; });
  }
  void Release() {
    std::lock_guard hold(mutex_);
    held_ = false;
    changed_.notify_all();
  }

 private:
  struct Step {
    aErr result;
    uint8_t byte;
  };

  static PipeTransport* Self(void* ref) { return static_cast<PipeTransport*>(ref); }

  static aErr Get(char* byte, void* ref) {
    PipeTransport* self = Self(ref);
    std::lock_guard hold(self->mutex_);
    ++self->getCalls_;
    self->readerLog_.emplace_back(std::this_thread::get_id(), self->input_.empty() ? 'e' : 'b');
    if (self->input_.empty()) return aErrNotReady;
    const Step step = self->input_.front();
    self->input_.pop_front();
    *byte = static_cast<char>(step.byte);
    return step.result;
  }
  static aErr Put(const char* byte, void* ref) { return Write(byte, 1, ref); }
  static aErr Write(const char* data, size_t length, void* ref) {
    PipeTransport* self = Self(ref);
    std::unique_lock hold(self->mutex_);
    ++self->blockedWrites_;
    self->changed_.notify_all();
    self->changed_.wait(hold, [self] { return !self->held_; });
    --self->blockedWrites_;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    self->writes_.emplace_back(bytes, bytes + length);
    self->changed_.notify_all();
    return aErrNone;
  }
  static aErr Delete(void*) { return aErrNone; }
  static aErr Wait(uint32_t timeoutMs, void* ref) {
    PipeTransport* self = Self(ref);
    std::unique_lock hold(self->mutex_);
    ++self->waitCalls_;
    self->readerLog_.emplace_back(std::this_thread::get_id(), 'w');
    self->changed_.notify_all();
    const bool ready =
        self->changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [self] { return !self->input_.empty(); });
    return ready ? aErrNone : aErrTimeout;
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<Step> input_;
  std::vector<Bytes> writes_;
  int getCalls_ = 0;
  int waitCalls_ = 0;
  std::vector<std::pair<std::thread::id, char>> readerLog_;
  bool held_ = false;
  int blockedWrites_ = 0;
};

}  // namespace qftest
