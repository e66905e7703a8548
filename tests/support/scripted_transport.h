// A scripted transport for stream tests: get delivers a script of bytes and results, put and
// write record what they are given, and the stream operations above can be watched call by call.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "common/aStream.h"

namespace qftest {

// get delivers the script in order, then aErrNotReady once it is used up.
struct ScriptedTransport {
  struct Step {
    aErr result;
    char byte;
  };
  std::deque<Step> gets;
  int getCalls = 0;
  int putCalls = 0;
  int writeCalls = 0;
  int waitCalls = 0;
  uint32_t waitTimeout = 0;
  aErr putResult = aErrNone;
  int putFailsAt = -1;  // the put call (counted from 0) that gives putResult
  aErr deleteResult = aErrNone;
  aErr waitResult = aErrTimeout;
  std::string written;
  std::vector<std::string> writes;  // one entry per write call

  void feed(const std::string& bytes) {
    for (char byte : bytes) gets.push_back({aErrNone, byte});
  }
  void then(aErr result) { gets.push_back({result, 0}); }

  static aErr get(char* byte, void* ref) {
    auto* script = static_cast<ScriptedTransport*>(ref);
    ++script->getCalls;
    if (script->gets.empty()) return aErrNotReady;
    const Step step = script->gets.front();
    script->gets.pop_front();
    if (step.result == aErrNone) *byte = step.byte;
    return step.result;
  }
  static aErr put(const char* byte, void* ref) {
    auto* script = static_cast<ScriptedTransport*>(ref);
    if (script->putCalls++ == script->putFailsAt) return script->putResult;
    script->written += *byte;
    return aErrNone;
  }
  static aErr write(const char* data, size_t length, void* ref) {
    auto* script = static_cast<ScriptedTransport*>(ref);
    ++script->writeCalls;
    script->written.append(data, length);
    script->writes.emplace_back(data, length);
    return aErrNone;
  }
  static aErr remove(void* ref) { return static_cast<ScriptedTransport*>(ref)->deleteResult; }
  static aErr wait(uint32_t timeoutMs, void* ref) {
    auto* script = static_cast<ScriptedTransport*>(ref);
    ++script->waitCalls;
    script->waitTimeout = timeoutMs;
    return script->waitResult;
  }
};

// A stream over a scripted transport (with the procedures chosen), destroyed with the test.
class ScriptedStream {
 public:
  explicit ScriptedStream(ScriptedTransport* script, bool withGet = true, bool withPut = true, bool withWrite = true)
      : stream_(aStream_Create(withGet ? ScriptedTransport::get : nullptr, withPut ? ScriptedTransport::put : nullptr,
                               withWrite ? ScriptedTransport::write : nullptr, ScriptedTransport::remove, script)) {}
  ~ScriptedStream() { aStream_Destroy(&stream_); }
  aStream* get() const { return stream_; }

 private:
  aStream* stream_;
};

}  // namespace qftest
