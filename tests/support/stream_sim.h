// The simulated module with its entities and its streams, and a record of stream callback runs
// that tests wait on. Header-only: the object layer's types are used only by the tests that
// include it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "api/Link.h"
#include "sim/module/simStreams.h"
#include "support/entity_sim.h"

namespace qftest {

class StreamSim : public EntitySim {
 public:
  explicit StreamSim(qfsim::SimModuleOptions options = {}, qfsim::SimStreamSettings settings = {})
      : EntitySim(options), streams(std::make_shared<qfsim::SimStreams>(settings)) {
    qfsim::SimStreams::attach(streams, module);
  }

  // A counting source: its value goes up by one with every sample, from start.
  void addSource(uint8_t command, uint8_t option, uint8_t index, uint8_t kind = 3, uint32_t start = 100,
                 uint8_t subindex = 0) {
    qfsim::SimStreamSource source;
    source.command = command;
    source.option = option;
    source.index = index;
    source.kind = kind;
    source.value = start;
    source.subindex = subindex;
    source.counting = true;
    streams->setSource(source);
  }

  std::shared_ptr<qfsim::SimStreams> streams;
};

// The runs of one stream callback: the packets it was given (as data bytes) and its refs.
class CallbackLog {
 public:
  Tarnwick::Quillfern::Link::StreamCallback callback() {
    return [this](const aPacket* packet, void* ref) -> uint8_t {
      std::lock_guard lock(_mutex);
      _packets.emplace_back(packet->data, packet->data + packet->dataSize);
      _refs.push_back(ref);
      _changed.notify_all();
      return 0;
    };
  }

  bool waitFor(size_t runs, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, timeout, [&] { return _packets.size() >= runs; });
  }
  size_t runs() const {
    std::lock_guard lock(_mutex);
    return _packets.size();
  }
  std::vector<std::vector<uint8_t>> packets() const {
    std::lock_guard lock(_mutex);
    return _packets;
  }
  std::vector<void*> refs() const {
    std::lock_guard lock(_mutex);
    return _refs;
  }

 private:
  mutable std::mutex _mutex;
  std::condition_variable _changed;
  std::vector<std::vector<uint8_t>> _packets;
  std::vector<void*> _refs;
};

// Waits until the module has published at least n samples since it started.
inline bool SamplesSent(StreamSim& sim, uint32_t n,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  return sim.module.waitUntil([&](const qfsim::SimRecord&) { return sim.streams->record().samplesSent >= n; }, timeout);
}

// One round trip on the link: the module's frames come in order, so every stream packet it sent
// before its answer has been through the link's reader thread when this returns aErrNone.
inline aErr Settle(Tarnwick::Quillfern::Link& link) {
  uint8_t address = 0;
  return link.getModuleAddress(&address);
}

}  // namespace qftest
