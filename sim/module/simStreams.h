// The simulated module's streams, written from the wire format alone: the stream command 0x5D
// that starts and stops them, and the stream packets it then publishes on its own at a settable
// rate for every source a started stream covers.
//
//   [5D 81 20 address command option index]  start the stream(s) named (0xFF: any), answered
//                                             [5D C1 00], or [5D C1 80 code] on failure
//   [5D 82 20 address command option index]  stop the stream(s) started under exactly that name,
//                                             answered [5D C2 00] / [5D C2 80 code]
//   [5D 41 20]                                answered [5D 01 00 n], n 1 while any stream runs
// A stream packet, from the module's address:
//   [command][option][index | 0x40][kind][subindex (kinds 5-7)][timestamp: high32, low32]
//   [value, big-endian: 1, 2 or 4 bytes by kind][0x00]
// kinds: 1 u8, 2 u16, 3 u32; 5, 6, 7 the same with a subindex.
//
// Contracts: every member may be called from any thread (one lock of its own, taken inside the
// handler and the ticker, which run under the module's lock, and by tests).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/module/simProtocol.h"

namespace qfsim {

inline constexpr std::uint8_t kSimCommandStream = 0x5D;

// One value the module can stream.
struct SimStreamSource {
  std::uint8_t command = 0;
  std::uint8_t option = 0;
  std::uint8_t index = 0;
  std::uint8_t kind = 1;  // 1-3, or 5-7 with the subindex
  std::uint8_t subindex = 0;
  std::uint32_t value = 0;  // its low 8, 16 or 32 bits are sent
  bool counting = false;    // the value goes up by one after every sample
};

// A started stream: its name as the host sent it.
struct SimStreamName {
  std::uint8_t address = 0, command = 0, option = 0, index = 0;
  bool operator==(const SimStreamName&) const = default;
};

struct SimStreamSettings {
  std::uint32_t intervalMs = 10;     // the publishing period; 0 publishes nothing on its own
  std::uint32_t samplesPerTick = 1;  // samples of each covered source every period
  std::uint8_t startError = 0;       // non-zero: every start is answered with this error code
  std::uint8_t stopError = 0;        // non-zero: every stop is answered with this error code
  bool unanswered = false;           // start and stop requests get no answer at all (but take effect)
  // Hostile modes.
  std::uint32_t answerDelayMs = 0;  // start and stop answers go out this late (at the first
                                    // period after; a period must run)
  bool ignoreStops = false;         // stops are acknowledged, but the streams go on
};

struct SimStreamRecord {
  std::vector<SimStreamName> started;  // every start request taken, in order
  std::vector<SimStreamName> stopped;  // every stop request taken, in order
  std::uint32_t samplesSent = 0;
  std::uint32_t answersSent = 0;  // start and stop answers sent
};

class SimStreams {
 public:
  explicit SimStreams(SimStreamSettings settings = {});

  // Installs the stream handler and the publishing ticker on a SimModule.
  template <class Module>
  static void attach(const std::shared_ptr<SimStreams>& streams, Module& module) {
    module.setHandler(kSimCommandStream,
                      [streams](SimContext& context, const SimPacket& packet) { streams->handle(context, packet); });
    module.setTicker(std::chrono::milliseconds(streams->settings().intervalMs),
                     [streams](SimContext& context) { streams->publish(context); });
  }

  // Adds a source or replaces the one with the same command, option, index and subindex.
  void setSource(const SimStreamSource& source);
  void setSettings(const SimStreamSettings& settings);  // the interval: SimModule::setTickInterval
  SimStreamSettings settings() const;
  std::vector<SimStreamName> running() const;
  // Starts a stream unasked, as a module left streaming by an earlier host.
  void startStream(const SimStreamName& name);
  SimStreamRecord record() const;

  void handle(SimContext& context, const SimPacket& packet);
  // One sample of every source a running stream covers.
  void publish(SimContext& context);
  // The stream packet of one sample of a source, timestamped.
  static std::vector<std::uint8_t> sample(const SimStreamSource& source, std::uint64_t timestamp);

 private:
  bool _covers(const SimStreamName& name, std::uint8_t address, const SimStreamSource& source) const;

  struct LateAnswer {
    std::chrono::steady_clock::time_point due;
    std::vector<std::uint8_t> data;
  };
  void _answer(SimContext& context, std::uint8_t option, std::uint8_t error);
  void _sendDueAnswers(SimContext& context);

  mutable std::mutex _lock;
  SimStreamSettings _settings;
  std::vector<LateAnswer> _late;  // in the order they are due
  SimStreamRecord _record;
  std::vector<SimStreamSource> _sources;
  std::vector<SimStreamName> _running;
  std::uint64_t _clock = 0;  // the timestamp of the next sample, in ticks of the module
};

}  // namespace qfsim
