// The i.MX ROM's serial downloader on a UART, simulated on a pseudo-terminal: the program under
// test opens path() as its serial port. Its own thread reads the line, runs the SimSdpRom and
// writes the ROM's words back without report ids.
//
// Line protocol: bytes are 16-byte commands, and after a WRITE_FILE the promised number of data
// bytes; the association key 23 45 45 23 is answered with the same four bytes where a command
// would start (no command begins with 0x23). Where the commands are counted from is the
// framing: from the key (until associated the ROM drops every byte but the key), or from the
// first byte the ROM received (bytes before the key begin a command, and the key is seen only
// where a command would start).
//
// Every member may be called from any thread. The thread sleeps in poll() (at most 2 ms at a time
// while it paces its reading), never spins; flooding is the one knob that keeps it busy.
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/sdp/simSdpRom.h"

namespace qfsim {

class SimChannel;

enum class SimSdpFraming {
  afterKey,       // everything before the association key is dropped
  fromFirstByte,  // commands are counted from the first byte received
};

struct SimSdpLineFaults {
  SimSdpFraming framing = SimSdpFraming::afterKey;
  bool ignoreAssociation = false;               // the key goes unanswered (the ROM is not listening)
  std::uint32_t bytesPerSecond = 0;             // the ROM reads the line no faster than this; 0 = at once
  std::size_t hangUpAfterDataBytes = SIZE_MAX;  // the line drops once this many data bytes came
  bool flood = false;                           // the ROM sends bytes without pause, as fast as the line takes them
};

class SimSdpSerial {
 public:
  SimSdpSerial();
  ~SimSdpSerial();  // stops
  SimSdpSerial(const SimSdpSerial&) = delete;
  SimSdpSerial& operator=(const SimSdpSerial&) = delete;

  // Opens the terminal and starts the thread; false with a reason when it cannot.
  bool start(std::string* error = nullptr);
  void stop();

  std::string path() const;
  SimSdpRom& rom() { return _rom; }
  void setLineFaults(const SimSdpLineFaults& faults);
  // The line settings the program under test set on its side.
  termios lineSettings() const;

  // Observations: every byte that came over the line, associations answered.
  std::vector<std::uint8_t> received() const;
  unsigned associations() const;

 private:
  void _run();
  void _take(const std::uint8_t* bytes, std::size_t length);
  void _takeCommandByte(std::uint8_t byte);
  void _answerKey();
  void _send(const std::vector<SimSdpReply>& replies);
  // whatFits: writes only what the line takes now, else waits until all is written (or stop).
  void _sendBytes(const std::uint8_t* bytes, std::size_t length, bool whatFits);
  std::size_t _readBudget();

  SimSdpRom _rom;
  mutable std::mutex _lock;  // guards everything below but the thread's own parsing state
  std::unique_ptr<SimChannel> _channel;
  SimSdpLineFaults _faults;
  std::vector<std::uint8_t> _received;
  unsigned _associations = 0;
  std::size_t _dataBytes = 0;
  bool _associated = false;
  std::thread _thread;
  std::atomic<bool> _stopping{false};

  // The thread's own.
  std::vector<std::uint8_t> _pending;  // the command (or key) being assembled
  double _budget = 0;
  std::chrono::steady_clock::time_point _budgetAt = std::chrono::steady_clock::now();
};

}  // namespace qfsim
