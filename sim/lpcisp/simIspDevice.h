// The ROM bootloader of an LPC17xx-class microcontroller as its serial in-system-programming
// peer sees it, written from the protocol alone: bytes in, bytes out, no I/O, no thread, no
// clock. It keeps a simulated flash and RAM so that a test can check what was written byte for
// byte, records what it was asked, and can be told to misbehave.
//
// The dialogue:
// - Autobaud: "?" is answered "Synchronized\r\n"; the host's "Synchronized\r\n" is answered
//   "OK\r\n", the crystal frequency line in kHz "OK\r\n". From then on commands are taken.
// - Echo: with echo on (the state after reset; "A 0" / "A 1" switch it) every byte received
//   after the autobaud "?" is sent back at once, command lines and transfer lines alike.
// - Commands: one letter and decimal arguments, ended by LF (a CR before it is dropped),
//   answered by the decimal return code and CR LF, then any data lines:
//     U 23130        unlock flash commands        P a b   prepare sectors a..b
//     E a b          erase prepared sectors        C f r n copy n bytes RAM r -> flash f
//     W a n          write n bytes to RAM a        R a n   read n bytes from flash or RAM
//     A e            echo on (1) or off (0)        B r s   baud rate r, stop bits s
//     K              boot code version (2 lines)   J       part id (1 line)
//     N              device serial number (4 lines)
//     G a T|A        run from a (answered 0, then the chip stays silent)
// - W and R move data as UU-encoded lines of up to 45 bytes; after 20 lines, or at the end, a
//   line with the decimal sum of the block's bytes follows: the receiver answers "OK\r\n" (the
//   block is kept) or "RESEND\r\n" (the block is sent again).
// - Flash programming ANDs data into flash, as NOR flash does: write over erased sectors.
//   P is needed before each E or C, and is used up by it; E and C need U first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qfsim {

// The numbers a chip answers with.
struct IspIdentity {
  std::uint32_t partId = 0x26113F37;
  std::uint32_t bootVersion[2] = {4, 1};                                       // K: the first line, then the second
  std::uint32_t serial[4] = {0x1A2B3C4D, 0x55AA00FF, 0x00000001, 0xFEDCBA98};  // N, in order
};

// Misbehaviour, changeable at any time.
struct IspFaults {
  bool silent = false;                         // answers and echoes nothing at all
  std::map<char, std::uint32_t> failCommands;  // command letter -> return code sent instead
  std::uint32_t resendWriteChecksums = 0;      // answer RESEND to this many good W checksums
  std::string writeChecksumAnswer;             // sent instead of "OK\r\n" for good W blocks
  std::uint32_t wrongReadChecksums = 0;        // send this many wrong checksums during R
  std::int32_t silentAfterDataLines = -1;      // fall silent once this many data lines moved
                                               // (received by W or sent by R)
  std::string crystalAnswer;                   // sent instead of "OK\r\n" after the crystal line
  std::set<char> doubledEcho;                  // with echo on, a command line that starts with
                                               // one of these letters is echoed byte by byte twice
  std::map<char, std::string> answers;         // command letter -> the whole answer (return
                                               // code and data lines) sent instead of running it
  std::map<char, std::uint32_t> replyDelayMs;  // command letter -> the answer (return code and
                                               // data lines) comes this many ms after the line;
                                               // the echo comes at once
};

// A pause in what the chip sends: the bytes from `at` of one receive's output go out `ms` later
// than the ones before them (a chip busy with a command).
struct IspPause {
  std::size_t at;
  std::uint32_t ms;
};

// What the chip was asked and did.
struct IspRecord {
  std::vector<std::string> commands;  // command lines as received, without CR LF
  std::vector<std::string> received;  // every line received (sync, commands, data), without CR LF
  std::uint32_t crystalKHz = 0;
  std::uint32_t dataLines = 0;  // UU data lines received by W and sent by R
  std::uint32_t resendsSent = 0;
  std::uint32_t resendsReceived = 0;
  bool executed = false;
  std::uint32_t executeAddress = 0;
  std::uint32_t syncRate = 0;      // the line rate the autobaud locked on to (0: unknown)
  std::uint32_t garbledBytes = 0;  // bytes that came at another rate and were lost
};

class IspDevice {
 public:
  static constexpr std::uint32_t kFlashSize = 0x80000;
  static constexpr std::uint32_t kRamStart = 0x10000000;
  static constexpr std::uint32_t kRamSize = 0x8000;
  static constexpr std::uint32_t kRamUserStart = 0x10000200;  // below it the bootloader's own
  static constexpr std::uint32_t kUnlockCode = 23130;

  explicit IspDevice(IspIdentity identity = {});

  // Takes bytes from the host and appends what the chip sends back to out; where the chip takes
  // its time over an answer, a pause at that offset of out is appended to pauses (when given).
  void receive(std::string_view bytes, std::string& out, std::vector<IspPause>* pauses = nullptr);

  IspFaults& faults() { return _faults; }
  const IspRecord& record() const { return _record; }
  bool echo() const { return _echo; }
  bool synchronized() const { return _phase >= Phase::commands; }
  const std::vector<std::uint8_t>& flash() const { return _flash; }
  const std::vector<std::uint8_t>& ram() const { return _ram; }
  // Sets flash bytes directly (as a factory would), for reads.
  void loadFlash(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
  // Fills the RAM with the value, as leftovers from earlier work would.
  void fillRam(std::uint8_t value);
  // The state an earlier session left: synchronised, in command mode, with echo as given.
  void leaveInCommandMode(bool echoOn);
  // The rate the host's side of the line runs at now (0: unknown, every byte counts). The
  // autobaud locks on to the rate of the "?"; after it, bytes at another rate are garbage to the
  // chip and are lost, until "B" moves the chip to a new rate.
  void setLineRate(std::uint32_t baud) { _lineRate = baud; }

 private:
  enum class Phase { autobaud, synchronized, crystal, commands, writeData, readAnswer, running };

  void _byte(char c, std::string& out);
  void _line(const std::string& line, std::string& out);
  void _command(const std::string& line, std::string& out);
  std::uint32_t _execute(char letter, const std::vector<std::int64_t>& args, std::string& out);
  std::uint32_t _copy(const std::vector<std::int64_t>& args);
  std::uint32_t _erase(const std::vector<std::int64_t>& args);
  std::uint32_t _startWrite(const std::vector<std::int64_t>& args);
  std::uint32_t _startRead(const std::vector<std::int64_t>& args);
  void _writeLine(const std::string& line, std::string& out);
  void _sendReadBlock(std::string& out);
  void _readAnswer(const std::string& line, std::string& out);
  bool _countDataLine();  // false once the chip has fallen silent
  bool _sectorsPrepared(std::uint32_t first, std::uint32_t last) const;
  std::uint8_t* _memory(std::uint32_t address, std::uint32_t count);

  IspIdentity _identity;
  IspFaults _faults;
  IspRecord _record;
  Phase _phase = Phase::autobaud;
  bool _echo = true;
  bool _unlocked = false;
  std::uint32_t _lineRate = 0;
  int _preparedFirst = -1;
  int _preparedLast = -1;
  std::string _pending;                      // the line being received
  std::vector<IspPause>* _pauses = nullptr;  // of the receive under way
  std::vector<std::uint8_t> _flash;
  std::vector<std::uint8_t> _ram;
  // The transfer under way (W or R): where, how much, what is done, and the open block.
  std::uint32_t _address = 0;
  std::uint32_t _count = 0;
  std::uint32_t _done = 0;
  std::vector<std::uint8_t> _block;
  std::uint32_t _blockLines = 0;
  bool _blockBad = false;
  bool _awaitChecksum = false;
};

// UU encoding of the transfers, as the chip does it (its own implementation).
std::string simUuEncodeLine(const std::uint8_t* bytes, std::size_t n);
// The line's bytes; false for a malformed line.
bool simUuDecodeLine(const std::string& line, std::vector<std::uint8_t>& bytes);

}  // namespace qfsim
