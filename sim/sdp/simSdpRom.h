// The ROM side of the i.MX serial download protocol, without a transport: 16-byte commands and
// data bytes in, replies out, with simulated memory, fuse registers and fault knobs. Written from
// the protocol's wire format alone. The serial simulator (simSdpSerial.h) and the tests' fake
// USB HID device carry it.
//
// Commands (multi-byte fields big-endian): [0..1] type, both bytes equal (01 READ_REGISTER,
// 04 WRITE_FILE, 05 ERROR_STATUS, 0B JUMP_ADDRESS), [2..5] address, [6] format, [7..10] count,
// [11..14] data, [15] reserved.
//
// Every answer is the security word, then (for most commands) a response; words little-endian:
// - ERROR_STATUS: security word, then the status word (statusWord).
// - READ_REGISTER: security word, then `count` bytes from the fuse registers or memory.
// - WRITE_FILE: nothing until `count` data bytes came; then the security word and the
//   completion status (0x88888888). An early error (fault) answers while data is still due.
// - JUMP_ADDRESS: the security word; then the ROM is gone (the loader runs) and answers nothing.
//   A jump to memory nobody wrote answers the security word and kJumpRefused, and stays.
// - anything else: the security word and kUnknownCommand.
//
// Thread-safe: every member takes the ROM's lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace qfsim {

constexpr std::uint32_t kSdpSecurityOpen = 0x56787856;
constexpr std::uint32_t kSdpWriteComplete = 0x88888888;
constexpr std::uint32_t kSdpTransferError = 0x0BAD0BAD;  // early error during a WRITE_FILE
constexpr std::uint32_t kSdpJumpRefused = 0x0BAD1234;
constexpr std::uint32_t kSdpUnknownCommand = 0x0BADC0DE;
constexpr std::size_t kSdpCommandBytes = 16;

struct SimSdpFaults {
  bool silent = false;                      // answers nothing at all
  std::size_t answeredCommands = SIZE_MAX;  // answers the first N commands only, then is silent
  unsigned ignoreStatusRequests = 0;        // the first N ERROR_STATUS commands go unanswered
  // The status after a complete WRITE_FILE; none: the ROM says nothing.
  std::optional<std::uint32_t> completionStatus = kSdpWriteComplete;
  bool shortReply = false;                     // replies lack their security word
  std::size_t abortAfterDataBytes = SIZE_MAX;  // early error once this many data bytes came
  // WRITE_FILE is answered at once with this status and takes no data (a write refused).
  std::optional<std::uint32_t> refuseWrite;
};

struct SimSdpReply {
  enum class Kind { Security, Response };
  Kind kind;
  std::vector<std::uint8_t> bytes;
};

struct SimSdpJump {
  std::uint32_t address;
  bool accepted;
};

class SimSdpRom {
 public:
  void setFaults(const SimSdpFaults& faults);
  void setRegister(std::uint32_t address, std::uint32_t value);
  void setStatusWord(std::uint32_t status);

  // A command of kSdpCommandBytes bytes (shorter ones are ignored); the replies it causes.
  std::vector<SimSdpReply> command(std::span<const std::uint8_t> bytes);
  // Data bytes of the running WRITE_FILE: takes at most the bytes still due and says how many it
  // took in *taken; the replies they cause.
  std::vector<SimSdpReply> data(std::span<const std::uint8_t> bytes, std::size_t* taken);
  // Data bytes still due for the running WRITE_FILE (0: the ROM waits for a command).
  std::size_t dataDue() const;

  // Observations.
  std::vector<std::uint8_t> memory(std::uint32_t address, std::size_t length) const;  // unwritten: 0
  std::size_t bytesWritten() const;                         // data bytes stored in memory, all transfers
  std::vector<std::vector<std::uint8_t>> commands() const;  // as received
  std::vector<std::chrono::steady_clock::time_point> commandTimes() const;  // when each came
  std::vector<SimSdpJump> jumps() const;
  bool running() const;  // false once a jump was accepted
  // Waits until a jump was accepted (the loader runs); false when the time-out passes first.
  bool waitUntilStopped(std::chrono::milliseconds timeout) const;

 private:
  std::vector<SimSdpReply> _answer(std::uint32_t response);
  std::vector<SimSdpReply> _complete();
  std::vector<SimSdpReply> _readRegister(std::uint32_t address, std::uint32_t count);
  std::vector<SimSdpReply> _jump(std::uint32_t address);
  std::uint32_t _registerOrMemoryWord(std::uint32_t address) const;

  mutable std::mutex _lock;
  mutable std::condition_variable _stopped;
  SimSdpFaults _faults;
  std::map<std::uint32_t, std::uint32_t> _registers;
  std::map<std::uint32_t, std::uint8_t> _memory;
  std::uint32_t _statusWord = 0;
  std::uint32_t _writeAddress = 0;
  std::size_t _due = 0;
  std::size_t _received = 0;  // of the running WRITE_FILE
  std::size_t _bytesWritten = 0;
  std::vector<std::vector<std::uint8_t>> _commands;
  std::vector<std::chrono::steady_clock::time_point> _commandTimes;
  std::vector<SimSdpJump> _jumps;
  bool _running = true;
};

}  // namespace qfsim
