#include "sim/sdp/simSdpRom.h"

#include <algorithm>

namespace qfsim {

namespace {

constexpr std::uint8_t kReadRegister = 0x01;
constexpr std::uint8_t kWriteFile = 0x04;
constexpr std::uint8_t kErrorStatus = 0x05;
constexpr std::uint8_t kJumpAddress = 0x0B;
// A register read answers at most this many bytes, whatever count it asks for.
constexpr std::uint32_t kMaxReadBytes = 1024;

std::uint32_t _bigEndian(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::uint32_t(bytes[at]) << 24 | std::uint32_t(bytes[at + 1]) << 16 | std::uint32_t(bytes[at + 2]) << 8 |
         bytes[at + 3];
}

void _putLittleEndian(std::vector<std::uint8_t>& out, std::uint32_t word) {
  out.insert(out.end(),
             {std::uint8_t(word), std::uint8_t(word >> 8), std::uint8_t(word >> 16), std::uint8_t(word >> 24)});
}

SimSdpReply _word(SimSdpReply::Kind kind, std::uint32_t word) {
  SimSdpReply reply{kind, {}};
  _putLittleEndian(reply.bytes, word);
  return reply;
}

}  // namespace

void SimSdpRom::setFaults(const SimSdpFaults& faults) {
  std::lock_guard<std::mutex> hold(_lock);
  _faults = faults;
}

void SimSdpRom::setRegister(std::uint32_t address, std::uint32_t value) {
  std::lock_guard<std::mutex> hold(_lock);
  _registers[address] = value;
}

void SimSdpRom::setStatusWord(std::uint32_t status) {
  std::lock_guard<std::mutex> hold(_lock);
  _statusWord = status;
}

std::vector<SimSdpReply> SimSdpRom::_answer(std::uint32_t response) {
  std::vector<SimSdpReply> replies;
  if (!_faults.shortReply) replies.push_back(_word(SimSdpReply::Kind::Security, kSdpSecurityOpen));
  replies.push_back(_word(SimSdpReply::Kind::Response, response));
  return replies;
}

std::vector<SimSdpReply> SimSdpRom::command(std::span<const std::uint8_t> bytes) {
  std::lock_guard<std::mutex> hold(_lock);
  if (bytes.size() < kSdpCommandBytes) return {};
  _commands.emplace_back(bytes.begin(), bytes.begin() + kSdpCommandBytes);
  _commandTimes.push_back(std::chrono::steady_clock::now());
  if (_commands.size() > _faults.answeredCommands) _faults.silent = true;
  if (!_running || _faults.silent) return {};
  std::uint8_t type = bytes[0];
  std::uint32_t address = _bigEndian(bytes, 2);
  std::uint32_t count = _bigEndian(bytes, 7);
  if (bytes[1] != type) return _answer(kSdpUnknownCommand);
  switch (type) {
    case kErrorStatus:
      if (_faults.ignoreStatusRequests > 0) {
        --_faults.ignoreStatusRequests;
        return {};
      }
      return _answer(_statusWord);
    case kReadRegister:
      return _readRegister(address, count);
    case kWriteFile:
      if (_faults.refuseWrite) return _answer(*_faults.refuseWrite);
      _writeAddress = address;
      _due = count;
      _received = 0;
      return count == 0 ? _complete() : std::vector<SimSdpReply>{};
    case kJumpAddress:
      return _jump(address);
    default:
      return _answer(kSdpUnknownCommand);
  }
}

std::vector<SimSdpReply> SimSdpRom::_complete() {
  if (!_faults.completionStatus) return {};
  return _answer(*_faults.completionStatus);
}

std::uint32_t SimSdpRom::_registerOrMemoryWord(std::uint32_t address) const {
  auto found = _registers.find(address);
  if (found != _registers.end()) return found->second;
  std::uint32_t word = 0;
  for (unsigned i = 0; i < 4; ++i) {
    auto byte = _memory.find(address + i);
    if (byte != _memory.end()) word |= std::uint32_t(byte->second) << (8 * i);
  }
  return word;
}

std::vector<SimSdpReply> SimSdpRom::_readRegister(std::uint32_t address, std::uint32_t count) {
  std::vector<SimSdpReply> replies = _answer(0);
  SimSdpReply& response = replies.back();
  response.bytes.clear();
  for (std::uint32_t at = 0; at < std::min(count, kMaxReadBytes); at += 4) {
    _putLittleEndian(response.bytes, _registerOrMemoryWord(address + at));
  }
  response.bytes.resize(std::min(count, kMaxReadBytes));
  return replies;
}

std::vector<SimSdpReply> SimSdpRom::_jump(std::uint32_t address) {
  bool accepted = _memory.count(address) != 0;
  _jumps.push_back({address, accepted});
  if (!accepted) return _answer(kSdpJumpRefused);
  _running = false;
  _stopped.notify_all();
  std::vector<SimSdpReply> replies = _answer(0);
  replies.pop_back();  // the loader runs: no response follows the security word
  return replies;
}

std::vector<SimSdpReply> SimSdpRom::data(std::span<const std::uint8_t> bytes, std::size_t* taken) {
  std::lock_guard<std::mutex> hold(_lock);
  std::size_t take = std::min(bytes.size(), _due);
  if (_received <= _faults.abortAfterDataBytes) take = std::min(take, _faults.abortAfterDataBytes - _received);
  for (std::size_t i = 0; i < take; ++i) _memory[std::uint32_t(_writeAddress + _received + i)] = bytes[i];
  _received += take;
  _due -= take;
  _bytesWritten += take;
  if (taken) *taken = take;
  bool aborted = _due > 0 && _received >= _faults.abortAfterDataBytes;
  if (aborted) _due = 0;  // the ROM gives up the transfer and waits for a command again
  if (_faults.silent || !_running) return {};
  if (aborted) return _answer(kSdpTransferError);
  if (take > 0 && _due == 0) return _complete();
  return {};
}

std::size_t SimSdpRom::dataDue() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _due;
}

std::vector<std::uint8_t> SimSdpRom::memory(std::uint32_t address, std::size_t length) const {
  std::lock_guard<std::mutex> hold(_lock);
  std::vector<std::uint8_t> bytes(length, 0);
  for (std::size_t i = 0; i < length; ++i) {
    auto found = _memory.find(std::uint32_t(address + i));
    if (found != _memory.end()) bytes[i] = found->second;
  }
  return bytes;
}

std::size_t SimSdpRom::bytesWritten() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _bytesWritten;
}

std::vector<std::vector<std::uint8_t>> SimSdpRom::commands() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _commands;
}

std::vector<std::chrono::steady_clock::time_point> SimSdpRom::commandTimes() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _commandTimes;
}

std::vector<SimSdpJump> SimSdpRom::jumps() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _jumps;
}

bool SimSdpRom::running() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _running;
}

bool SimSdpRom::waitUntilStopped(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> hold(_lock);
  return _stopped.wait_for(hold, timeout, [this] { return !_running; });
}

}  // namespace qfsim
